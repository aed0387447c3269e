#include "ops/identity.h"
#include "startup/startup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

namespace {

int report_id_failure(const char *call, const char *what)
{
    const char *text = std::strerror(errno);
    std::fprintf(stderr, "cannot %s: %s\n", call, text);
    syslog(LOG_ERR, "Failed to set %s: %s.", what, text);
    return -1;
}

} // namespace

int served_uid = -1;

void raise_descriptor_limit()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        syslog(LOG_ERR, "Failed to raise the open-file limit: %s.", std::strerror(errno));
}

int drop_privileges(int uid, int gid)
{
    // The group becomes the only supplementary group, before the ids change
    // and the right to change them is gone.
    const gid_t groups[1] = {static_cast<gid_t>(gid)};
    if (setgroups(1, groups) < 0)
        return report_id_failure("setgroups", "groups");
    if (setgid(static_cast<gid_t>(gid)) < 0)
        return report_id_failure("setgid", "gid");
    if (setuid(static_cast<uid_t>(uid)) < 0)
        return report_id_failure("setuid", "uid");
    served_uid = uid;
    return 0;
}
