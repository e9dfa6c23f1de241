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

} // namespace srvtest
