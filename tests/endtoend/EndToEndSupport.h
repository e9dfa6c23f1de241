// What the end-to-end suites share: the table of every simulated board that
// the server can open from its command line, the energy spectrum as command
// 27 sends it, and the independent decode of a run's raw-data file through
// the library.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <vector>

#include "../server/ServerRequests.h"
#include "../support/SimProfiles.h"
#include "ZarnDPPLayer.h"
#include "ZarnRecordMemory.h"

namespace srvtest {

inline const int16_t SUCCESS = 0;

struct BoardCase {
    const char* name; // the profile's name in SimulatedBoards.xml
    std::vector<std::string> options;
    const char* model;
    uint32_t serial;
    uint32_t channels;
    bool waveformsOnly; // standard-waveform firmware: no spectra
    uint32_t family;
    uint32_t dppCode;
    bool simulated; // the simulator has the firmware's row: the board yields data
};

// Every simulated board that the server can open from its command line, made
// from the profiles: its options follow from the profile's address, what it
// can do from the library's firmware table.
inline const std::vector<BoardCase>& boardsTheServerOpens() {
    static const std::vector<BoardCase> boards = [] {
        std::vector<BoardCase> cases;
        for (const testsup::SimProfile& p : testsup::shippedProfiles().boards) {
            std::vector<std::string> options = testsup::serverOptions(p);
            if (!options.empty())
                cases.push_back({p.name.c_str(), options, p.info.ModelName, p.info.SerialNumber, p.info.Channels,
                                 testsup::waveformsOnly(p), p.info.FamilyCode, p.dppCode, testsup::simulatorServes(p)});
        }
        return cases;
    }();
    return boards;
}

inline const std::vector<BoardCase>& kBoards = boardsTheServerOpens();

// The boards whose firmware processes pulses: spectra, list mode, stop
// criteria and channels that start and stop one by one. Every board of the
// table but the standard-waveform firmware's.
inline std::vector<BoardCase> pulseProcessingBoards() {
    std::vector<BoardCase> boards;
    for (const BoardCase& board : kBoards)
        if (!board.waveformsOnly)
            boards.push_back(board);
    return boards;
}

// A board whose firmware the simulator lacks opens but never yields data:
// its tests fail at once instead of waiting for data that can't come.
inline ::testing::AssertionResult simulatorServes(const BoardCase& board) {
    if (board.simulated)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << board.name << ": the simulator has no row for firmware code "
                                         << board.dppCode << " (family " << board.family << ")";
}

// Flags of an event that the server does not histogram: pseudo events,
// 0x400, pile-up, bit 18 and multichannel-scaling data.
inline const uint32_t kNotHistogrammed = EVTFLAG_PSEUDO | 0x400u | EVTFLAG_PILEUP | (1u << 18) | EVTFLAG_MCS;

// One channel's energy spectrum as command 27 sends it.
struct Spectrum {
    std::vector<uint32_t> counts;
    uint32_t overflows = 0;
    uint32_t underflows = 0;
    uint64_t entries = 0;
    uint64_t histogrammed() const { return entries + overflows + underflows; }
    bool operator==(const Spectrum& other) const {
        return counts == other.counts && overflows == other.overflows && underflows == other.underflows &&
               entries == other.entries;
    }
};

// What the run's raw-data file holds, per channel, decoded by the library.
struct Recorded {
    std::vector<uint64_t> histogrammable; // events the spectrum must count
    std::vector<uint64_t> listable;       // events list mode keeps by default: every one with a pulse
};

// Decodes the raw-data file to its end. The library's replay reads it
// buffer by buffer as the server's replay does, but nothing of the server
// takes part.
inline Recorded decodeRunFile(const fs::path& rawData, uint32_t channels) {
    Recorded recorded;
    recorded.histogrammable.assign(channels, 0);
    recorded.listable.assign(channels, 0);
    auto* d = new c_Digitizer_t;
    _resetDgtz(d);
    EXPECT_EQ(c_newFileDigitizer(d, rawData.c_str()), 0) << rawData;
    EXPECT_EQ(c_bstarta(d), 0);
    for (int reads = 0; reads < 1000000; reads++) {
        int32_t bytes = 0;
        if (c_getDPPEvents(d, &bytes) != 0) {
            ADD_FAILURE() << "the run file can't be decoded";
            break;
        }
        if (bytes == 0)
            break;
        for (uint32_t ch = 0; ch < channels; ch++) {
            const c_ChannelRecord_t& channel = d->channels[ch];
            for (uint32_t i = 0; i < channel.nEvents; i++) {
                uint32_t flags = channel.events[i].flags;
                recorded.histogrammable[ch] += (flags & kNotHistogrammed) == 0;
                recorded.listable[ch] += (flags & EVTFLAG_PSEUDO) == 0;
            }
        }
    }
    c_freeDgtz(d);
    delete d;
    return recorded;
}

// Ends the server twice: a request left half sent holds the command loop,
// SIGINT begins the shutdown, and SIGTERM, once the server says it ends,
// gives the shutdown up. The process must end by that second signal.
inline void endTwiceDuringAHalfSentRequest(ServerProcess& server, Client& client) {
    Bytes half = packet(command::BOARD_INFO, masks(0x1, 0));
    half.resize(6);
    ASSERT_TRUE(client.send(half));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(kill(server.pid(), SIGINT), 0);
    ASSERT_TRUE(waitFor([&] { return server.standardOutput().find("ends on SIGINT") != std::string::npos; },
                        std::chrono::milliseconds(5000)));
    ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
    EXPECT_EQ(server.waitExit(std::chrono::milliseconds(5000)), 128 + SIGTERM) << server.output();
}

// A case shows as its profile's name in test output.
inline void PrintTo(const BoardCase& board, std::ostream* out) { *out << board.name; }

inline std::string caseName(const testing::TestParamInfo<BoardCase>& info) {
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

// A channel's energy spectrum as the client receives it.
inline Spectrum fetchSpectrum(Client& client, uint32_t channel) {
    Spectrum s;
    auto reply = client.request(command::GET_SPECTRUM, spectrumRequest(0x1 | 0x10 | 0x20 | 0x40, channel));
    EXPECT_TRUE(reply && reply->status() == SUCCESS) << "channel " << channel;
    if (!reply || reply->status() != SUCCESS || reply->payload.size() < 2 + 16)
        return s;
    const Bytes& p = reply->payload;
    size_t bins = (p.size() - 2 - 16) / 4;
    for (size_t bin = 0; bin < bins; bin++)
        s.counts.push_back(getU32(p, 2 + 4 * bin));
    size_t at = 2 + 4 * bins;
    s.overflows = getU32(p, at);
    s.underflows = getU32(p, at + 4);
    s.entries = getU64(p, at + 8);
    return s;
}

// A server on the board of the case, started with its command line (and the
// environment given), a client connected to it, and what the suites ask of
// them. The server is told to quit when the test ends.
class ServerOnBoard : public ::testing::TestWithParam<BoardCase> {
protected:
    void startServer(const std::map<std::string, std::string>& environment = {}) {
        ASSERT_TRUE(simulatorServes(GetParam()));
        port_ = freePort();
        std::vector<std::string> options = GetParam().options;
        options.push_back("-p");
        options.push_back(std::to_string(port_));
        server_ = std::make_unique<ServerProcess>(options, environment);
        ASSERT_TRUE(server_->waitReady()) << server_->log() << server_->log("SRV_CommonLog.txt");
        client_ = std::make_unique<Client>(port_);
        ASSERT_TRUE(client_->connected());
    }
    void TearDown() override {
        if (client_ && client_->connected()) {
            EXPECT_EQ(status(command::QUIT, masks(0, 0)), SUCCESS);
            EXPECT_EQ(server_->waitExit(std::chrono::milliseconds(60000)), 0) << boardLog();
        }
    }

    // Every server pins its board thread to the same processor, so beside
    // other test runs a start or stop, which waits for the board thread's
    // cycle and drain, may take far longer than on its own: its reply is
    // awaited for a minute.
    int16_t status(uint16_t command, const Bytes& payload = {}) {
        auto reply = client_->request(command, payload, std::chrono::milliseconds(60000));
        EXPECT_TRUE(reply) << "command " << command;
        return reply ? reply->status() : INT16_MIN;
    }
    std::string boardLog() const {
        return server_->log("SRVBoardThreadLog.txt") + server_->log("ZarnDPPLayerLog.txt") +
               server_->log("ZarnBoard_GENERICLog.txt") + server_->log("SRV_ListLog.txt");
    }
    uint32_t allChannels() const { return (1u << GetParam().channels) - 1u; }
    Spectrum spectrum(uint32_t channel) { return fetchSpectrum(*client_, channel); }
    // The raw-data file that the run file names, in the server's folder.
    fs::path recordedFile(const std::string& runFile) {
        std::istringstream words(readFile(server_->workDir() / "Run" / runFile));
        std::string boardName, rawFile;
        words >> boardName >> rawFile;
        EXPECT_EQ(boardName, std::string(GetParam().model) + "_" + std::to_string(GetParam().serial));
        return server_->workDir() / rawFile;
    }

    uint16_t port_ = 0;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
};

} // namespace srvtest
