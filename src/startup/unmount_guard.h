// The mount outlives neither its event loop nor its process. Mounted by
// root, it can be removed only with root's rights, which the serving
// process gives up; so a small process forked before the privilege drop
// keeps them, does nothing but wait, and removes exactly this mount when the
// loop ends or the server dies (its end of a pipe closes either way). It
// ignores the terminal's signals, holds nothing of the mount while it waits
// (which would make a plain unmount fail as busy), and keeps no capability
// but the one to unmount. It shares the mount point's lock until it is
// done, so that no new instance mounts there before.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

// What tells one mount from another one made at the same place later. The
// kernel reuses mount ids and device numbers; since Linux 6.8 it also gives
// each mount an id of its own for good.
struct mount_identity {
    uint64_t id = 0;         // as /proc/self/mountinfo shows it
    uint64_t unique_id = 0;  // 0 where the kernel has none
    dev_t device = 0;
};

// The identity of the mount whose root path is, without asking its
// filesystem anything (a dead or a not yet serving mount answers too).
// 0, or -1 with errno.
int identify_mount(const char *path, mount_identity &out);

// The mount point and file-system type that /proc/self/mountinfo shows for
// the mount with this id; false when there is none.
bool find_mount(uint64_t id, std::string &point, std::string &type);

// Detaches the mount at path if it is still the one identified (where the
// kernel gives no lasting id: the same id, device and a FUSE file-system
// type). 0 when it was removed, -1 otherwise.
int unmount_if_same(const char *path, const mount_identity &identity);

// Forks the guard for the mount at mountpoint; call after the mount and
// before the privilege drop. A guard that cannot be started leaves the
// mount as it would be without one. Given the FUSE device (else -1), the
// guard also starts the broker that registers backing files for open files
// as the served user (startup/backing_broker.h).
void start_unmount_guard(const char *mountpoint, int device, uid_t uid, gid_t gid);

// After the loop, before the library's own unmount: a server that gave up
// root's rights lets the guard remove the mount now, since the library's
// attempt could only fail, and say so on standard error.
void unmount_unless_privileged();

// After the library's own unmount: the guard removes the mount if it is
// still there, and ends. Waits for it; does nothing once it has ended.
void stop_unmount_guard();
