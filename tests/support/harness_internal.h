// What the harness's parts share among themselves; tests include harness.h.
#pragma once

#include "harness.h"

#include <mutex>
#include <string>

using clock_type = std::chrono::steady_clock;

// Set by harness_init: whether mount tests can run, and why not.
extern bool usable;
extern std::string skip_reason;
extern std::string run_root;  // per-process scratch directory on the host

// Tests fork processes that go on allocating, while the harness threads
// allocate too. The sanitizers' allocators of this toolchain take none of
// their locks across fork, so a child forked while a harness thread held one
// waits for it forever: the harness threads allocate only while holding this
// mutex, and fork takes it first.
std::mutex &fork_lock();

[[noreturn]] void die(const char *what);
void remove_tree(const std::string &path);

// The system-log receiver at /dev/log (system_log.cpp).
void start_log_receiver();

// The watchdog (watchdog.cpp): aborts the FUSE connections of a test that
// overran its time, so that whatever waits on them gets ENOTCONN instead of
// hanging.
void start_watchdog();
void arm_watchdog(int seconds);
void watch_mount(const std::string &mountpoint);
bool disarm_watchdog();

// The lock helpers' reaper (reaper.cpp).
void start_reaper();

// The FUSE connection number of the mount at mountpoint, or "" (mounts.cpp).
std::string connection_of(const std::string &mountpoint);
