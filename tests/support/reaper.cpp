// Each open file that holds a record lock gets a helper process of its own
// from the lock manager, which detaches and lands on this process: reaped
// here as they end.
#include "harness_internal.h"

#include <dirent.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// Each open file that holds a record lock gets a helper process of its own,
// which detaches and, when the file closes, ends as a child of this process:
// reap those as they come, or a long locking run fills the process table.
// Children that tests wait for are left alone.
void reap_lock_helpers()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> no_fork(fork_lock());
        for (pid_t child : children_of(getpid()))
            if (proc_status_field(child, "State").rfind("Z", 0) == 0 &&
                proc_status_field(child, "Name") == "ulockmgr_server")
                waitpid(child, nullptr, WNOHANG);
    }
}

} // namespace

void start_reaper()
{
    std::thread(reap_lock_helpers).detach();
}

std::vector<pid_t> children_of(pid_t pid)
{
    std::vector<pid_t> children;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    while (dirent *task = dir ? readdir(dir) : nullptr) {
        std::istringstream list(read_file(tasks + "/" + task->d_name + "/children"));
        pid_t child;
        while (list >> child)
            children.push_back(child);
    }
    if (dir)
        closedir(dir);
    return children;
}
