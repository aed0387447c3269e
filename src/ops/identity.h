// Who asks, against whom every request is served as. Every host call runs
// as the served user, so a file another user creates through the mount is
// the served user's: its set-id bits would lend that user's rights. And a
// server that kept root's capabilities keeps set-id bits on its writes,
// where the host clears them for a writer without that privilege.
#pragma once

#include <sys/types.h>

// The user id the server runs as once its privileges are dropped; -1 before.
extern int served_uid;

namespace ops {

// The mode for a new file or special file (a mode without file type is a
// regular file's): without its set-user-ID bit, nor
// the set-group-ID bit of a regular file, when the caller is neither root
// nor the served user.
mode_t creation_mode(mode_t mode);

// Before a write into fd: when the caller is not root and the server may
// keep set-id bits, clears the set-user-ID bit and a group-executable
// set-group-ID bit as the host does for an unprivileged writer. 0 or minus
// errno.
int clear_set_id_for_writer(int fd);

} // namespace ops
