// Base names of temporary files, which are deleted even when deletion
// through the mount is off.
#pragma once

extern int patterns_compiled;

void compile_patterns();
void free_patterns();

// 1 when the last component of path matches one of the patterns, else 0.
// Allocates nothing; safe from many threads once the patterns are compiled.
int is_temporary_name(const char *path);
