// The per-mount-point lock: one instance serves a mount point at a time.
#pragma once

#include <sys/types.h>

inline constexpr char lock_directory[] = "/var/lib/brix/.lock";
inline constexpr size_t lock_path_size = 1024;
inline constexpr size_t flat_name_size = 256;

// The descriptor that holds this process's mount-point lock, -1 before.
extern int held_lock_descriptor;

// Writes the lock file's path for mountpoint into path (lock_path_size
// bytes). Returns -1, leaving path alone, when the mount point does not fit
// the flattened-name buffer.
int lock_file_path(const char *mountpoint, char *path);

// Builds the lock file's path into path, creates the lock directory with
// dir_mode and takes the lock. Returns 0 when held, -1 otherwise.
int take_mount_lock(const char *mountpoint, char *path, mode_t dir_mode);

// Per program: finds the mount point on the FUSE command line and takes its
// lock. 0 when held or when there is no mount point, -1 on failure.
int check_lockfile(int argc, char **argv);
