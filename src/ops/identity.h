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

// Whether the kernel, which checks callers itself (default_permissions),
// is to be asked to check them by access control lists (--posix-acl); set
// before serving.
void want_access_lists(bool wanted);
bool access_lists_wanted();

// Once the kernel leaves the umask of creations to the program (it does
// where it checks by access control lists, which a directory's default
// list replaces the umask in): the umask a creation applies where its
// directory has no default list. 0 otherwise.
void mask_creations(bool masks);
mode_t creation_umask();

// Points the path helper's checks of other callers at the library's
// request context; call before serving.
void watch_callers();

// The library hides a file whose name goes while it is open: it asks
// whether a hidden name is free (getattr, ENOENT) and, in the same
// request, renames the file to it. note_free_hidden_name marks the request
// after such an answer; hiding_step tells whether a rename to path is that
// step. The mark lives in the library's record of the request being served,
// which the library fills anew for every request, so no other request (a
// user's look-up of a hidden-looking name, then a rename to it) can carry
// it.
void note_free_hidden_name(const char *path);
bool hiding_step(const char *path);

} // namespace ops
