// Shared pieces of the high-voltage tests: a log folder of the test process,
// a digitizer record opened on the simulated family-7 board with two
// high-voltage channels, and a board opened at the board-access layer only.
#pragma once

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "../support/SimBoards.h"
#include "ZarnDPPLayer.h"
#include "ZarnDigitizer.h"
#include "ZarnHighVoltage.h"
#include "ZarnSimulator.h"

namespace hvtest {

// The log files of the process go to a fresh folder; Read() gives one file.
class LogFolder {
public:
    LogFolder() {
        char pattern[] = "/tmp/high_voltage_XXXXXX";
        const char* made = mkdtemp(pattern);
        folder_ = made != nullptr ? made : "/tmp";
        setenv("ZARN_LOG_DIR", folder_.c_str(), 1);
    }
    std::string Read(const std::string& file) const {
        std::ifstream in(folder_ + "/" + file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    const std::string& path() const { return folder_; }

private:
    std::string folder_;
};

using testsup::Connection;

// The shipped "orlu-pha-hv" profile: family 7, 2 channels, 2 HV channels.
inline c_ConnParams_t OrluHV() { return Connection(0, 1, 0); }

// A digitizer record on the heap, freed when it goes.
class Board : public testsup::OpenedRecord {
public:
    int Open(const c_ConnParams_t& params) { return open(params); }
    int32_t Link() const { return link(); }
    uint32_t Peek(uint32_t address) const { return peek(address); }
};

// A board opened through the board-access layer alone, with no record.
class RawBoard {
public:
    RawBoard(int linkType, int number, int node) {
        result_ = ZARN_DGTZ_OpenDigitizer2(linkType, &number, node, 0, &handle_);
    }
    ~RawBoard() {
        if (result_ == 0)
            ZARN_DGTZ_CloseDigitizer(handle_);
    }
    RawBoard(const RawBoard&) = delete;
    RawBoard& operator=(const RawBoard&) = delete;
    int result() const { return result_; }
    int handle() const { return handle_; }
    uint32_t Read(uint32_t address) const {
        uint32_t value = 0;
        EXPECT_EQ(0, ZARN_DGTZ_ReadRegister(handle_, address, &value));
        return value;
    }
    // A channel block of this board's supply, limits not loaded.
    c_HVChannelBlock_t Channel(uint32_t regBase, uint32_t hvIndex) const {
        c_HVChannelBlock_t block;
        memset(&block, 0, sizeof block);
        block.handle = handle_;
        block.regBase = regBase;
        block.hvIndex = hvIndex;
        return block;
    }

private:
    int handle_ = -1;
    int result_ = -1;
};

// Register address of a supply register of a channel block.
inline uint32_t HVRegister(const c_HVChannelBlock_t& block, uint32_t offset) {
    return 0x1000u | ((block.regBase + block.hvIndex) << 8) | offset;
}

} // namespace hvtest
