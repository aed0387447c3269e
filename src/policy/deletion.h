// Deletion through the mount: off unless --allow-delete was given; without
// it unlink and rmdir report success and leave the host alone (temporary
// names excepted).
#pragma once

extern int allow_delete;

namespace ops {

int unlink(const char *path);
int rmdir(const char *path);

// The library's step when a name goes while its file is open (a removal,
// or a rename over it): it asks to rename from to a hidden name of its own,
// to. The file is kept under that name by a descriptor, never on the host
// (ops/hidden_pins.h), and from goes as a removal through the mount would
// go. 0 or minus errno.
int hide_open_file(const char *from, const char *to);

} // namespace ops
