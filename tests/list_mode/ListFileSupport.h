// Reading a text list file back in the list-mode tests: the title line of
// all three columns, then one whole event line each.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace listtest {

struct ListedEvent {
    uint64_t timeTag = 0;
    uint16_t energy = 0;
    uint32_t flags = 0;
};

// The events of a text list file with every column; false when the file
// holds anything else, such as a cut line.
inline bool parseTextListFile(const std::string& text, std::vector<ListedEvent>* events) {
    const std::string header = "TIMETAG\t\tENERGY\tFLAGS\t\n";
    if (text.compare(0, header.size(), header) != 0 || text.back() != '\n')
        return false;
    std::istringstream lines(text.substr(header.size()));
    for (std::string line; std::getline(lines, line);) {
        unsigned long long timeTag = 0;
        unsigned energy = 0, flags = 0;
        if (std::sscanf(line.c_str(), "%llu\t%u\t0x%8X\t", &timeTag, &energy, &flags) != 3)
            return false;
        // Written back, the values give the line again: nothing is cut.
        char again[64];
        std::snprintf(again, sizeof again, "%llu\t%u\t0x%08X\t", timeTag, energy, flags);
        if (line != again)
            return false;
        events->push_back({timeTag, static_cast<uint16_t>(energy), flags});
    }
    return true;
}

} // namespace listtest
