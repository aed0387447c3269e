// Deletion through the mount: off unless --allow-delete was given, in which
// case unlink and rmdir report success and leave the host alone (temporary
// names excepted).
#pragma once

extern int allow_delete;

namespace ops {

int unlink(const char *path);
int rmdir(const char *path);

} // namespace ops
