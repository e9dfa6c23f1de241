// The server's command table against what is written about it: every command
// has its row in the protocol reference (docs/protocol.md) with the form the
// server reads, the reference documents no command the server lacks, and
// the tests' command-code constants name commands the server has.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "CommandRows.h"

using srvtest::CommandRow;
using srvtest::commandRows;

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The rows of the command table of the protocol reference: code -> form
// (the third column, as written: M, D, own, or - for what the server never
// receives).
std::map<int, std::string> protocolRows() {
    std::istringstream doc(readText(MORVANE_SOURCE_DIR "/docs/protocol.md"));
    std::map<int, std::string> rows;
    const std::regex row(R"(^\|\s*(\d+)\s*\|[^|]*\|\s*([^|\s]+)\s*\|)");
    bool inCommands = false, inTable = false;
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("## ", 0) == 0) {
            inCommands = line == "## Commands";
            inTable = false;
        } else if (inCommands && line.rfind("| code | command | form |", 0) == 0) {
            inTable = true;
        } else if (inTable) {
            std::smatch match;
            if (line.rfind("|", 0) != 0)
                inTable = false;
            else if (std::regex_search(line, match, row))
                rows[std::stoi(match[1])] = match[2];
        }
    }
    return rows;
}

std::string lowered(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

TEST(CommandTable, EveryCommandHasItsProtocolRowWithItsForm) {
    const std::map<int, std::string> documented = protocolRows();
    ASSERT_FALSE(documented.empty()) << "no command table in docs/protocol.md";
    std::set<int> served;
    for (const CommandRow& command : commandRows()) {
        SCOPED_TRACE(testing::Message() << "command " << command.code << " " << command.name);
        served.insert(command.code);
        auto row = documented.find(command.code);
        ASSERT_NE(row, documented.end()) << "missing from the protocol reference";
        EXPECT_EQ(lowered(row->second), lowered(command.form)) << "the reference gives another request form";
    }
    for (const auto& [code, form] : documented) {
        if (form != "-") // a packet the server sends, never serves
            EXPECT_EQ(served.count(code), 1u)
                << "the reference documents command " << code << ", which the server does not serve";
    }
}

// Each constant of the tests' command codes is a command the server serves,
// or a packet that the reference says the server only sends; no two share a
// code.
TEST(CommandTable, TheTestsCommandCodesAreTheServers) {
    std::string support = readText(MORVANE_SOURCE_DIR "/tests/server/ServerTestSupport.h");
    size_t begin = support.find("namespace command {");
    ASSERT_NE(begin, std::string::npos);
    std::string block = support.substr(begin, support.find('}', begin) - begin);
    std::set<int> known;
    for (const CommandRow& command : commandRows())
        known.insert(command.code);
    for (const auto& [code, form] : protocolRows())
        if (form == "-")
            known.insert(code);
    const std::regex constant(R"(([A-Z_]+)\s*=\s*(\d+))");
    std::set<int> seen;
    for (std::sregex_iterator it(block.begin(), block.end(), constant), end; it != end; ++it) {
        int code = std::stoi((*it)[2]);
        EXPECT_EQ(known.count(code), 1u) << (*it)[1] << " = " << code << " is no command of the server";
        EXPECT_TRUE(seen.insert(code).second) << (*it)[1] << " = " << code << " repeats a code";
    }
    EXPECT_FALSE(seen.empty());
}

} // namespace
