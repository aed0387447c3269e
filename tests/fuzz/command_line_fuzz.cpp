// The command-line scan on arbitrary arguments: the input is split at NUL
// bytes into argument strings.
#include "startup/startup.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\0')
            args.emplace_back();
        else
            args.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    startup_state st;
    if (scan_command_line(static_cast<int>(args.size()), argv.data(), st) == 0) {
        // Every kept element is one of the inputs, and the vector ends.
        if (st.fuse_argc > static_cast<int>(args.size()) || st.fuse_argv[st.fuse_argc] != nullptr)
            __builtin_trap();
    }
    release_startup(st);
    for (auto &a : args)
        (void)parse_id(a.c_str());
    return 0;
}
