// FUSE mounts as this process sees them.
#include "harness_internal.h"

#include "startup/mount_table.h"

#include <sys/mount.h>

std::string connection_of(const std::string &mountpoint)
{
    for (const mount_entry &m : mount_table())
        if (m.point == mountpoint && m.type.rfind("fuse", 0) == 0)
            return m.device.substr(m.device.find(':') + 1);
    return {};
}

int count_mounts(const std::string &mountpoint)
{
    int count = 0;
    for (const mount_entry &m : mount_table())
        count += m.point == mountpoint && m.type.rfind("fuse", 0) == 0;
    return count;
}

int waiting_requests(const std::string &mountpoint)
{
    std::string connection = connection_of(mountpoint);
    std::string count = connection.empty() ? "" : read_file("/sys/fs/fuse/connections/" + connection + "/waiting");
    return count.empty() ? -1 : std::atoi(count.c_str());
}

bool is_fuse_mount(const std::string &mountpoint)
{
    return count_mounts(mountpoint) > 0;
}

void lazy_unmount(const std::string &mountpoint)
{
    while (is_fuse_mount(mountpoint))
        if (umount2(mountpoint.c_str(), MNT_DETACH) != 0)
            break;
}
