// A descriptor's object as a path, for host calls that have no descriptor
// form or do not take an O_PATH descriptor (extended attributes, chmod,
// truncate, umount, reopening): the kernel's own link to it, which leads to
// the object itself, never through a symbolic link.
#pragma once

#include <cstring>

namespace ops {

struct fd_path {
    // By hand, so that a process forked from a threaded one may use it.
    explicit fd_path(int fd)
    {
        static constexpr char prefix[] = "/proc/self/fd/";
        std::memcpy(text, prefix, sizeof prefix - 1);
        char digits[12];
        int count = 0;
        do
            digits[count++] = static_cast<char>('0' + fd % 10);
        while ((fd /= 10) > 0);
        char *out = text + sizeof prefix - 1;
        while (count > 0)
            *out++ = digits[--count];
        *out = '\0';
    }
    char text[32];
};

} // namespace ops
