#pragma once

#include "ops/fuse_compat.h"

// The operation table of this build, handed to the library at set-up.
extern const fuse_operations operations;
