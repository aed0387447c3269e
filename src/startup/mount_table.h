// The mounts this process sees, as /proc/self/mountinfo lists them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct mount_entry {
    uint64_t id = 0;
    std::string device;  // major:minor
    std::string point;   // as the kernel writes it (octal escapes kept)
    std::string type;
};

std::vector<mount_entry> mount_table();
