// What the host grants the caller of a request, decided the way the kernel
// decides it, for callers other than root and the served user.
//
// The kernel checked the caller against the objects it found when it looked
// the path up; the program then reaches objects of its own, with the served
// user's rights. A user who swaps names inside a directory of its own
// between the two would have the program act on an object the caller may
// not use, so for such callers the program checks again, on the
// descriptors it holds: search on every directory it passes, and on the
// object what the request asks for.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace ops {

// A request's caller, with its supplementary groups fetched only when a
// decision needs them.
struct request_caller {
    uid_t uid = 0;
    gid_t gid = 0;
    // The caller's supplementary groups, as the library gives them:
    // count, or -1; list may be null to ask for the count.
    int (*fetch_groups)(int size, gid_t list[]) = nullptr;
    int group_count = -1;  // -1 until fetched
    gid_t groups[64];  // the first group_count are valid

    bool in_group(gid_t group);
};

// Who asks, where the program checks: false for root and the served user
// (and outside a request). Each program points this at its library's
// request context before serving.
using caller_source = bool (*)(request_caller &caller);
void set_caller_source(caller_source source);
bool other_caller(request_caller &caller);

inline constexpr int may_exec = 1;
inline constexpr int may_write = 2;
inline constexpr int may_read = 4;

// The kernel's rule for an object with these attributes: the owner's bits
// for its owner; else the object's access control list where it has one
// and its group class is not empty; else the group's bits for a member of
// its group, the others' bits for everybody else. acl is the object's
// system.posix_acl_access value (size bytes; 0 where it has none). 0, or
// -EACCES.
int access_by_rule(request_caller &caller, const struct stat &st, const void *acl, size_t size, int mask);

// The same for the object that fd (O_PATH is enough) refers to, reading its
// list where the rule needs it.
int caller_may(request_caller &caller, int fd, const struct stat &st, int mask);

// The host's rule for removing or renaming an entry owned by entry_owner
// from directory dir: in a sticky directory only the entry's owner or the
// directory's may. 0, or -EPERM.
int sticky_rule(const request_caller &caller, const struct stat &dir, uid_t entry_owner);

} // namespace ops
