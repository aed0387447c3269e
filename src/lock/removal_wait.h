// At exit the FUSE 2 program waits until something else has removed or
// moved its lock file.
#pragma once

#include "lock/lockfile.h"

extern char lockfile_path[lock_path_size];

// 1: the lock file was deleted or moved; 0: ten seconds passed or other
// events came; -1: no watch, or waiting or reading failed.
int wait_lockfile_removed();

// Returns once the lock file in lockfile_path no longer exists.
void wait_for_lockfile_removal();
