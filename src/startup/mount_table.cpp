#include "startup/mount_table.h"

#include <fstream>
#include <sstream>

std::vector<mount_entry> mount_table()
{
    std::vector<mount_entry> mounts;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        // id parent major:minor root point options [optional fields] - type ...
        std::istringstream fields(line);
        mount_entry entry;
        std::string parent, root, options, field;
        fields >> entry.id >> parent >> entry.device >> root >> entry.point >> options;
        while (fields >> field && field != "-") {
        }
        fields >> entry.type;
        mounts.push_back(entry);
    }
    return mounts;
}
