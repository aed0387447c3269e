#include "startup/startup.h"

#include <cstdio>
#include <syslog.h>

void open_system_log()
{
    openlog("BRIX_norra-brix-fuse", LOG_PID | LOG_NDELAY | LOG_NOWAIT, LOG_USER);
    log_debug("norra-brix-fuse is starting.");
}

void log_debug(const char *message)
{
    syslog(LOG_DEBUG, "%s", message);
}

void report_failure(const char *stderr_line, const char *log_sentence)
{
    std::fprintf(stderr, "%s\n", stderr_line);
    syslog(LOG_ERR, "%s", log_sentence);
}
