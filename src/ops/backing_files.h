// The server's side of passing open files through to the kernel: which host
// files are registered as backing files, and for how many opens.
//
// The kernel serves one file either through its backing file for every
// open or through the server for every open (it fails an open that mixes
// the two with EIO), and gives it one backing file. So each host file
// (device and inode) open through the mount has one entry here while any
// open of it lasts: its backing id, or 0 where the file is served as
// before; the last release closes the id.
#pragma once

namespace ops {

// The socket of the broker that registers backing files (-1: none); the
// previous one is closed. Set before the event loop and after it.
void set_backing_broker(int channel);
bool have_backing_broker();

// For an open of fd's host file with these open flags: the backing id to
// answer it with, or 0 to serve it without. Registers the file where it is
// its first open. Files that are not regular, programs being started,
// files the served user may not write, and executables opened without
// write access (a host file held open for writing cannot be started on
// the host) are served without.
int backing_for_open(int fd, int open_flags);

// For the release of an open of fd's host file (before fd is closed).
void backing_for_release(int fd);

} // namespace ops
