// The harness: its arguments, and the private mount namespace that every
// mount test runs in (its own /dev with a system-log receiver, its own
// /var/lib, a watchdog and a reaper of lock helpers).
#include "harness_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

harness_config config;
bool usable = false;
std::string skip_reason;
std::string run_root;

std::mutex &fork_lock()
{
    static std::mutex &lock = *new std::mutex;
    return lock;
}

void die(const char *what)
{
    std::fprintf(stderr, "harness: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

namespace {

void bind_device(const std::string &stage, const char *name)
{
    std::string target = stage + "/" + name;
    int fd = ::open(target.c_str(), O_CREAT | O_WRONLY, 0666);
    if (fd >= 0)
        ::close(fd);
    if (mount((std::string("/dev/") + name).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        die("bind a device");
}

// A private /dev holding only what the programs need, with our own log
// receiver at /dev/log; a private /var/lib with an empty brix directory.
void enter_namespace()
{
    if (unshare(CLONE_NEWNS) != 0)
        die("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        die("make mounts private");

    char root_template[] = "/tmp/nbf-run-XXXXXX";
    if (!mkdtemp(root_template))
        die("mkdtemp");
    run_root = root_template;
    std::string stage = run_root + "/dev";
    std::string varlib = run_root + "/varlib";
    ::mkdir(stage.c_str(), 0755);
    ::mkdir(varlib.c_str(), 0755);
    if (mount("tmpfs", stage.c_str(), "tmpfs", 0, "mode=0755") != 0)
        die("mount tmpfs for /dev");
    for (const char *name : {"fuse", "null", "zero", "urandom"})
        bind_device(stage, name);
    if (mount(stage.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0)
        die("move the private /dev");
    ::mkdir("/dev/shm", 01777);
    (void)!::symlink("/proc/self/fd", "/dev/fd");
    (void)!::symlink("/proc/self/fd/0", "/dev/stdin");
    (void)!::symlink("/proc/self/fd/1", "/dev/stdout");
    (void)!::symlink("/proc/self/fd/2", "/dev/stderr");

    start_log_receiver();
    pthread_atfork([] { fork_lock().lock(); }, [] { fork_lock().unlock(); }, [] { fork_lock().unlock(); });

    if (mount(varlib.c_str(), "/var/lib", nullptr, MS_BIND, nullptr) != 0)
        die("bind /var/lib");
    ::mkdir("/var/lib/brix", 0755);

    ::mkdir("/sys/fs/fuse/connections", 0755);
    mount("fusectl", "/sys/fs/fuse/connections", "fusectl", 0, nullptr);
    start_watchdog();
    start_reaper();
}

} // namespace

void remove_tree(const std::string &path)
{
    // rm goes by descriptor, so trees deeper than a path can name (a test
    // makes one) go too; a mount inside the tree is not the tree's to empty.
    if (!path.empty())
        run_command("rm -rf --one-file-system -- '" + path + "'");
}

bool harness_init(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--program=", 0) == 0)
            config.program = arg.substr(10);
        else if (arg.rfind("--launcher=", 0) == 0)
            config.launcher = arg.substr(11);
        else if (arg.rfind("--fuse=", 0) == 0)
            config.fuse_version = std::atoi(arg.c_str() + 7);
        else if (arg.rfind("--passthrough=", 0) == 0)
            config.passthrough = arg == "--passthrough=1";
        else if (arg.rfind("--recommended=", 0) == 0 || arg.rfind("--faster=", 0) == 0) {
            bool recommended = arg[2] == 'r';
            std::istringstream options(arg.substr(arg.find('=') + 1));
            for (std::string option; options >> option;)
                (recommended ? config.recommended : config.faster).push_back(option);
        }
    }
    if (config.program.empty() || config.launcher.empty()) {
        std::fprintf(stderr, "usage: %s --program=PATH --launcher=PATH --fuse=2|3\n", argv[0]);
        return false;
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        skip_reason = "/dev/fuse is missing: FUSE mounts cannot be tested here";
    } else if (geteuid() != 0) {
        skip_reason = "mount tests run as root";
    } else {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        enter_namespace();
        usable = true;
        std::atexit([] { remove_tree(run_root); });
    }
    return true;
}
