// The commands the server serves, one entry per row of the server's command
// table (server/commands/SRV_Commands.def), so that a test that goes over
// every command covers a new one with no edit of its own.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace srvtest {

struct CommandRow {
    uint16_t code;
    const char* name;
    bool needsBoard;  // refused with -7 while no board is open
    const char* form; // M, D or OWN
};

inline const std::vector<CommandRow>& commandRows() {
    static const std::vector<CommandRow> rows = {
#define SRV_COMMAND(code, name, handler, board, form, ...) {code, #name, std::strcmp(#board, "BOARD") == 0, #form},
#include "../../server/commands/SRV_Commands.def"
#undef SRV_COMMAND
    };
    return rows;
}

// Codes that no row serves, so that a new command's code leaves the list by
// itself: every free code from 0 to two past the highest row, then codes far
// beyond (0xFFFF is the code a failed receive leaves behind).
inline std::vector<uint16_t> codesWithoutCommand() {
    uint16_t highest = 0;
    for (const CommandRow& row : commandRows())
        highest = row.code > highest ? row.code : highest;
    std::vector<uint16_t> codes;
    for (uint32_t code = 0; code <= highest + 2u; code++) {
        bool served = false;
        for (const CommandRow& row : commandRows())
            served = served || row.code == code;
        if (!served)
            codes.push_back(static_cast<uint16_t>(code));
    }
    for (uint16_t far : {200, 0x1234, 0xFFFE, 0xFFFF})
        if (far > highest + 2u)
            codes.push_back(far);
    return codes;
}

} // namespace srvtest
