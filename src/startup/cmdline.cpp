#include "policy/deletion.h"
#include "startup/startup.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

int parse_id(const char *text)
{
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0')
        return -1;
    // Only the low 32 bits count, read as a signed number.
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

int scan_command_line(int argc, char **argv, startup_state &st)
{
    if (argc <= 0)
        return scan_no_arguments;
    // At most argc elements are kept, so the vector stays null-terminated.
    st.fuse_argv = static_cast<char **>(std::calloc(static_cast<size_t>(argc) + 1, sizeof(char *)));
    if (!st.fuse_argv)
        return scan_out_of_memory;
    st.fuse_argc = 0;
    st.uid = -1;

    int i = 0;
    while (i < argc) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "-u") == 0 || std::strcmp(arg, "-g") == 0) {
            if (i + 1 >= argc)
                break;
            (arg[1] == 'u' ? st.uid : st.gid) = parse_id(argv[i + 1]);
            i += 2;
        } else if (std::strcmp(arg, "--allow-delete") == 0) {
            allow_delete = 1;
            i += 1;
        } else if (std::strcmp(arg, "--posix-acl") == 0) {
            st.posix_acl = true;
            i += 1;
        } else {
            st.fuse_argv[st.fuse_argc++] = argv[i];
            i += 1;
        }
    }
    return 0;
}
