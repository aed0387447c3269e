// Names that both programs export in their dynamic symbol tables, so that
// other tools can find them in a running or installed program.
#pragma once

#include <regex.h>

extern "C" {

// One temporary-name pattern: its compiled form and its text.
struct temp_pattern {
    regex_t compiled;
    const char *text;
};

extern temp_pattern regex_list[4];

char *process_name_by_pid(int pid);
int slash_to_underline(const char *src, char *dst);
int test_lockfile(const char *path);

}
