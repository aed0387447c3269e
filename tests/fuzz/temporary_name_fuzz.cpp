// The temporary-name test on arbitrary paths of any length.
#include "policy/patterns.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string path(reinterpret_cast<const char *>(data), size);
    int result = is_temporary_name(path.c_str());
    if (result != 0 && result != 1)
        __builtin_trap();
    return 0;
}
