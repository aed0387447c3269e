// Files whose names were removed while they were open. Where a name goes
// while its file is open, the library keeps the file under a hidden name
// of its own making (".fuse_hidden" and sixteen hexadecimal digits) until
// the last close, asking the program to rename it there and later to
// remove that name. The program never makes the hidden name on the host:
// it keeps the file by a descriptor under that name instead, applies the
// deletion policy to the name that went, and forgets the file when the
// library removes the hidden name. So nothing the library makes is ever
// left on the host, and a name the policy keeps stays where it was.
#pragma once

#include <sys/types.h>

namespace ops {

// Whether a last component has the shape of the library's hidden names.
bool hidden_shape(const char *name);
// Whether the last component of path has that shape.
bool last_is_hidden(const char *path);

// The object kept under name in directory dir, as a descriptor of its own
// (O_PATH); -1 where none is.
int pinned_copy(int dir, const char *name);

// Keeps object (taken over) under name in directory dir. 0 or minus errno.
int pin(int dir, const char *name, int object);

// Forgets what is kept under name in directory dir; false where nothing was.
bool unpin(int dir, const char *name);

} // namespace ops
