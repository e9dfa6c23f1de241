// Helpers of the simulated-board tests: a plain test data format, a decoder
// of the board aggregates it produces, scoped boards and profile files.
#pragma once

#include "ZarnComm.h"
#include "ZarnDigitizer.h"
#include "ZarnSimEncoder.h"
#include "ZarnSimulator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

// Test format: unit aggregate = {0x80000000 | size, count}, then per event
// {channel << 24 | flags, time tag low, time tag high, energy, samples,
// samples...}. Registered for a DPP code by TestEncoderScope.
extern const ZarnSim_Encoder_t kTestEncoder;

struct TestEvent {
    uint32_t channel, flags, energy;
    uint64_t timeTag;
    std::vector<int16_t> samples;
};

struct Decoded {
    std::vector<TestEvent> events;
    uint32_t aggregates = 0;
    std::vector<uint32_t> counters;
    bool wellFormed = true; // every board aggregate whole and consistent
};

// Walks board aggregates of the test format.
Decoded DecodeBuffer(const uint32_t* words, size_t count);

// Registers the test encoder for a DPP code for the scope's lifetime.
struct TestEncoderScope {
    explicit TestEncoderScope(uint32_t dppCode);
    ~TestEncoderScope();
    uint32_t code;
};

// Sets an environment variable for the scope's lifetime.
struct EnvScope {
    EnvScope(const char* name, const std::string& value);
    ~EnvScope();
    std::string name, old;
    bool had;
};

// Writes a profiles file in a fresh temporary folder; the path of the file.
std::string WriteProfiles(const std::string& name, const std::string& content);

// An open ZarnDigitizer board, closed at the end of the scope.
struct OpenBoard {
    OpenBoard(int linkType, int linkNumber, int node = 0, uint32_t base = 0);
    ~OpenBoard();
    int handle = -1;
    int32_t link = -1;
    int result = 0;
};

// Reads one whole transfer through ZarnComm_MBLTRead, checking the protocol
// on every call; returns the words.
std::vector<uint32_t> ReadTransfer(int32_t link, uint32_t bufferWords);

// Reads transfers until the board gives no more data.
Decoded DrainBoard(int32_t link, uint32_t bufferWords = 1u << 20);

} // namespace simtest
