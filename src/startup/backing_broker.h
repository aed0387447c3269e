// The kernel reads and writes an open file's data itself once the server
// has registered the file's host descriptor as a backing file with the FUSE
// device. Registering takes CAP_SYS_ADMIN, which the serving process gives
// up, and the kernel then does that file's I/O with the registering
// process's credentials, after reopening it with each client's open flags
// and no permission check. So a broker of its own does the registering and
// nothing else: it runs as the served user and group with CAP_SYS_ADMIN as
// its only capability (and, where the served user is root, the right root
// has to keep set-id bits on its writes), holds a copy of the device, and
// answers only the socket pair the server keeps. It registers regular files
// open for reading and writing, so that the server has proved with its own
// rights that it may write them, a bounded number at a time, and closes
// only ids it registered.
#pragma once

#include <cstdint>
#include <sys/types.h>

// One request or reply on the broker's socket. A registration carries the
// descriptor (SCM_RIGHTS); its reply's value is the id, or minus errno.
struct backing_message {
    int32_t op;
    int32_t value;
};

inline constexpr int32_t backing_register = 1;
inline constexpr int32_t backing_release = 2;

// How many ids the broker holds at once; further files are served by the
// server itself.
inline constexpr size_t max_backing_ids = 65536;

// The server's side: sends one request (with fd where it is not -1) and
// returns the reply's value, or -EPIPE when the broker is gone.
int32_t ask_backing_broker(int channel, backing_message message, int fd);

// Serves the socket until the server closes its end, then closes the
// device and ends the process. Never returns.
[[noreturn]] void run_backing_broker(int channel, int device, uid_t uid, gid_t gid);
