#include "policy/patterns.h"
#include "startup/startup.h"

#include <sys/stat.h>

namespace {

int start_and_serve(int argc, char **argv, startup_state &st)
{
    if (!launcher_accepted(st))
        return 0;
    if (!patterns_compiled)
        compile_patterns();
    switch (scan_command_line(argc, argv, st)) {
    case scan_no_arguments:
        return -1;
    case scan_out_of_memory:
        report_failure("calloc failed.", "Failed to allocate the argument vector.");
        return 1;
    }
    if (st.uid < 0 || st.gid < 0)
        return -1;
    // Modes given to host calls from here on apply unmasked.
    umask(0);
    raise_descriptor_limit();
    return serve_mount(st);
}

} // namespace

int main(int argc, char **argv)
{
    open_system_log();
    startup_state st;
    int status = start_and_serve(argc, argv, st);
    release_startup(st);
    free_patterns();
    finish_process();
    return status;
}
