// The inotify event scan on arbitrary bytes: it must never read past them.
// The bytes are copied into a block of exactly their size so that the
// address sanitizer catches any overrun.
#include "lock/inotify_scan.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto bytes = std::make_unique<char[]>(size);
    std::memcpy(bytes.get(), data, size);
    int wd = 1;
    if (size >= sizeof wd)
        std::memcpy(&wd, data, sizeof wd);
    int result = scan_inotify_events(bytes.get(), size, wd);
    if (result != 0 && result != 1)
        __builtin_trap();
    return 0;
}
