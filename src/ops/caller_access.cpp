#include "ops/caller_access.h"

#include "ops/fd_path.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/xattr.h>

namespace ops {

namespace {

caller_source source = nullptr;

// The stored form of an access control list: a version word, then entries.
struct acl_entry {
    uint16_t tag;
    uint16_t perm;
    uint32_t id;
};
constexpr uint32_t acl_version = 2;
constexpr uint16_t acl_user_obj = 0x01, acl_user = 0x02, acl_group_obj = 0x04, acl_group = 0x08,
                   acl_mask = 0x10, acl_other = 0x20;

// The kernel's walk through a list (entries come sorted by tag): the owner's
// entry for the owner, a named user's entry, else the groups the caller
// belongs to (any that grants), else the others' entry; named entries and
// groups are limited by the mask. 1 where it grants, 0 where it refuses,
// -1 where the value is not a list.
int acl_grants(request_caller &caller, const struct stat &st, const void *value, size_t size, int want)
{
    if (size < sizeof(uint32_t) || (size - sizeof(uint32_t)) % sizeof(acl_entry) != 0)
        return -1;
    uint32_t version;
    std::memcpy(&version, value, sizeof version);
    if (version != acl_version)
        return -1;
    size_t count = (size - sizeof version) / sizeof(acl_entry);
    auto entry = [&](size_t i) {
        acl_entry e;
        std::memcpy(&e, static_cast<const char *>(value) + sizeof version + i * sizeof e, sizeof e);
        return e;
    };
    auto grants = [want](unsigned perm) { return (perm & static_cast<unsigned>(want)) == static_cast<unsigned>(want); };
    auto masked = [&](size_t i) {
        for (size_t j = i + 1; j < count; ++j)
            if (entry(j).tag == acl_mask)
                return grants(entry(i).perm & entry(j).perm) ? 1 : 0;
        return grants(entry(i).perm) ? 1 : 0;
    };
    bool group_found = false;
    for (size_t i = 0; i < count; ++i) {
        acl_entry e = entry(i);
        switch (e.tag) {
        case acl_user_obj:
            if (caller.uid == st.st_uid)
                return grants(e.perm) ? 1 : 0;
            break;
        case acl_user:
            if (e.id == caller.uid)
                return masked(i);
            break;
        case acl_group_obj:
        case acl_group:
            if (caller.in_group(e.tag == acl_group ? e.id : st.st_gid)) {
                group_found = true;
                if (grants(e.perm))
                    return masked(i);
            }
            break;
        case acl_mask:
            break;
        case acl_other:
            return !group_found && grants(e.perm) ? 1 : 0;
        default:
            return 0;
        }
    }
    return 0;
}

// Objects seen without a list, each as it was (its change time moves with
// any change of its list, mode or owner), so that a directory passed again
// and again costs no read of its list. Per worker thread: no lock.
struct without_list {
    dev_t device;
    ino_t inode;
    struct timespec changed;
};
constexpr size_t remembered = 256;
thread_local without_list seen_without_list[remembered];

without_list &slot_of(const struct stat &st)
{
    return seen_without_list[(st.st_ino ^ (st.st_dev << 7)) % remembered];
}

bool known_without_list(const struct stat &st)
{
    const without_list &s = slot_of(st);
    return s.inode == st.st_ino && s.device == st.st_dev && s.changed.tv_sec == st.st_ctim.tv_sec &&
           s.changed.tv_nsec == st.st_ctim.tv_nsec && st.st_ino != 0;
}

} // namespace

bool request_caller::in_group(gid_t group)
{
    if (group == gid)
        return true;
    if (group_count < 0) {
        group_count = fetch_groups ? fetch_groups(static_cast<int>(sizeof groups / sizeof groups[0]), groups) : 0;
        // More groups than fit: the library then reports how many there are.
        if (group_count < 0 || group_count > static_cast<int>(sizeof groups / sizeof groups[0]))
            group_count = group_count < 0 ? 0 : static_cast<int>(sizeof groups / sizeof groups[0]);
    }
    for (int i = 0; i < group_count; ++i)
        if (groups[i] == group)
            return true;
    return false;
}

void set_caller_source(caller_source given)
{
    source = given;
}

bool other_caller(request_caller &caller)
{
    return source && source(caller);
}

int access_by_rule(request_caller &caller, const struct stat &st, const void *acl, size_t size, int mask)
{
    mode_t mode = st.st_mode;
    if (caller.uid == st.st_uid)
        return (mask & ~(mode >> 6) & 7) ? -EACCES : 0;
    if (size > 0 && (mode & S_IRWXG)) {
        int granted = acl_grants(caller, st, acl, size, mask);
        if (granted >= 0)
            return granted ? 0 : -EACCES;
    }
    // Only where the group's and the others' bits differ does membership
    // matter, and only then are the caller's groups fetched.
    if ((mask & (mode ^ (mode >> 3)) & 7) && caller.in_group(st.st_gid))
        mode >>= 3;
    return (mask & ~mode & 7) ? -EACCES : 0;
}

int caller_may(request_caller &caller, int fd, const struct stat &st, int mask)
{
    // Owners and empty group classes need no list.
    if (caller.uid == st.st_uid || !(st.st_mode & S_IRWXG) || known_without_list(st))
        return access_by_rule(caller, st, nullptr, 0, mask);
    // Lists hold a few entries; one that does not fit here is read whole.
    char small[256];
    ssize_t size = getxattr(fd_path(fd).text, "system.posix_acl_access", small, sizeof small);
    if (size == -1 && (errno == ENODATA || errno == EOPNOTSUPP))
        slot_of(st) = {st.st_dev, st.st_ino, st.st_ctim};
    if (size == -1 && errno == ERANGE) {
        ssize_t needed = getxattr(fd_path(fd).text, "system.posix_acl_access", nullptr, 0);
        if (needed > 0) {
            auto *whole = new char[static_cast<size_t>(needed)];
            size = getxattr(fd_path(fd).text, "system.posix_acl_access", whole, static_cast<size_t>(needed));
            int result = access_by_rule(caller, st, whole, size > 0 ? static_cast<size_t>(size) : 0, mask);
            delete[] whole;
            return result;
        }
    }
    return access_by_rule(caller, st, small, size > 0 ? static_cast<size_t>(size) : 0, mask);
}

int sticky_rule(const request_caller &caller, const struct stat &dir, uid_t entry_owner)
{
    if (!(dir.st_mode & S_ISVTX) || caller.uid == entry_owner || caller.uid == dir.st_uid)
        return 0;
    return -EPERM;
}

} // namespace ops
