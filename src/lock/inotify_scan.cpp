#include "lock/inotify_scan.h"

#include <cstring>
#include <sys/inotify.h>

int scan_inotify_events(const char *buffer, size_t length, int wd)
{
    size_t at = 0;
    while (length - at >= sizeof(inotify_event)) {
        inotify_event event;
        std::memcpy(&event, buffer + at, sizeof event);  // the buffer has no alignment
        if (event.len > length - at - sizeof event)
            return 0;
        if (event.wd == wd && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)))
            return 1;
        at += sizeof event + event.len;
    }
    return 0;
}
