#pragma once

#include <cstddef>

// Scans the bytes of one inotify read. 1 when an event of watch wd reports
// the watched file deleted or moved, else 0. Never reads past length.
int scan_inotify_events(const char *buffer, size_t length, int wd);
