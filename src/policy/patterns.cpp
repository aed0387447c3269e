#include "policy/patterns.h"

#include "exports.h"

#include <cstring>
#include <libgen.h>

temp_pattern regex_list[4] = {
    {{}, "^[-\\.]*[0-9][0-9]*[-\\.]+[0-9][0-9]*$"},
    {{}, "^moffice[0-9][0-9]*\\.tmp$"},
    {{}, "^\\.moffice_wr_check[0-9][0-9]*$"},
    {{}, "^[0-9a-fA-F][0-9a-fA-F]*-[0-9a-fA-F][0-9a-fA-F]*-[0-9a-fA-F][0-9a-fA-F]*-"
         "[0-9a-fA-F][0-9a-fA-F]*-[0-9a-fA-F][0-9a-fA-F]*$"},
};

int patterns_compiled = 0;

namespace {

constexpr int pattern_count = sizeof regex_list / sizeof regex_list[0];

// regcomp leaves nothing usable behind when it fails (it can only run out of
// memory on these texts); such an entry never matches and is never freed.
bool pattern_usable[pattern_count];

} // namespace

void compile_patterns()
{
    for (int i = 0; i < pattern_count; ++i)
        pattern_usable[i] = regcomp(&regex_list[i].compiled, regex_list[i].text,
                                    REG_EXTENDED | REG_ICASE | REG_NEWLINE | REG_NOSUB) == 0;
    patterns_compiled = 1;
}

void free_patterns()
{
    if (!patterns_compiled)
        return;
    for (int i = 0; i < pattern_count; ++i) {
        if (pattern_usable[i])
            regfree(&regex_list[i].compiled);
        pattern_usable[i] = false;
    }
    patterns_compiled = 0;
}

int is_temporary_name(const char *path)
{
    if (!path)
        return 0;
    size_t length = std::strlen(path);
    if (length == 0 || length >= 4096)
        return 0;
    char copy[4096] = {};
    std::memcpy(copy, path, length + 1);
    const char *name = basename(copy);  // POSIX form: may modify copy
    if (!patterns_compiled)
        compile_patterns();
    for (int i = 0; i < pattern_count; ++i)
        if (pattern_usable[i] && regexec(&regex_list[i].compiled, name, 1, nullptr, 0) == 0)
            return 1;
    return 0;
}
