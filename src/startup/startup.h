// Start-up steps shared by both programs, and the two steps each program
// provides for itself (serve_mount, finish_process).
#pragma once

struct startup_state {
    int uid = -1;                 // -1 while absent or invalid
    int gid = -1;
    int fuse_argc = 0;
    char **fuse_argv = nullptr;   // owned; elements point into argv
    char *parent_name = nullptr;  // owned, from process_name_by_pid
    bool posix_acl = false;       // --posix-acl: the kernel checks by access control lists
};

// Results of scan_command_line other than 0.
constexpr int scan_no_arguments = -1;
constexpr int scan_out_of_memory = -2;

void open_system_log();
void log_debug(const char *message);
// A failed start-up step: one line on standard error, one sentence at LOG_ERR.
void report_failure(const char *stderr_line, const char *log_sentence);

// True when PROCESS_CHECK_CALLER holds an accepted code or the parent
// process is the launching daemon. May store the parent's name in st.
bool launcher_accepted(startup_state &st);

// Decimal id as the command line gives it; -1 when it is not a whole number.
int parse_id(const char *text);

// Takes -u, -g, --allow-delete and --posix-acl out of argv; everything
// else goes to st.fuse_argv in order. Returns 0 or one of the scan_ results.
int scan_command_line(int argc, char **argv, startup_state &st);

// setgroups, setgid, setuid in that order; reports the first failure and
// returns -1, else 0.
int drop_privileges(int uid, int gid);

// Every file open through the mount holds a descriptor of the serving
// process, and every request needs one: raises the soft open-file limit to
// the hard one, which stays what the launcher gave. Logs a failure only.
void raise_descriptor_limit();

void release_startup(startup_state &st);

// Per program: everything from the FUSE set-up to the teardown; returns the
// exit status.
int serve_mount(const startup_state &st);
// Per program: the last steps before main returns.
void finish_process();
