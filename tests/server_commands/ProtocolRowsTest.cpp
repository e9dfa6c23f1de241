// Requests where the protocol reference and the server once disagreed, sent
// over TCP to the built server on every simulated board it can open: a set of
// a read-only parameter, a list file format no flush can write, two saves
// without a name in one second, and the waveform of a restarted channel before
// the run stores its own.
#include <algorithm>
#include <chrono>
#include <optional>
#include <regex>
#include <thread>

#include "../endtoend/EndToEndSupport.h"
#include "CommandTestSupport.h"

using namespace cmdtest;

namespace {

using srvtest::BoardCase;
using srvtest::kBoards;

const int32_t kPLLLocked = 35;  // board parameter, read-only on every firmware
const int32_t kDCOffset = 1004; // channel parameter, writable
const uint64_t kListFormat = 1u << 1;

class ProtocolRows : public ::testing::TestWithParam<BoardCase> {
protected:
    void SetUp() override {
        ASSERT_TRUE(srvtest::simulatorServes(GetParam()));
        uint16_t port = srvtest::freePort();
        std::vector<std::string> arguments = {"-p", std::to_string(port)};
        arguments.insert(arguments.end(), GetParam().options.begin(), GetParam().options.end());
        server_ = std::make_unique<srvtest::ServerProcess>(arguments);
        ASSERT_TRUE(server_->waitReady()) << server_->log();
        client_ = std::make_unique<srvtest::Client>(port);
        ASSERT_TRUE(client_->connected());
    }

    Bytes request(uint16_t command, const Bytes& payload) { return requestOver(*client_, command, payload); }
    int16_t status(uint16_t command, const Bytes& payload) { return Reader(request(command, payload)).status(); }
    double value(std::initializer_list<int32_t> path) {
        Reader reply(request(GET_PARAMETER, parameterRequest(1, path)));
        EXPECT_EQ(reply.status(), 0);
        return reply.status() == 0 ? reply.f64() : 0.0;
    }

    std::unique_ptr<srvtest::ServerProcess> server_;
    std::unique_ptr<srvtest::Client> client_;
};

// A set that the board can't take is a failure the client is told of; a set
// out of range is taken as the nearest value of the range.
TEST_P(ProtocolRows, ReadOnlyParameterIsRefusedAndNothingChanges) {
    Reader info(request(PARAMETER_INFO, parameterRequest(1u << 2, {kPLLLocked, kCode})));
    ASSERT_EQ(info.status(), 0);
    EXPECT_EQ(info.u32() & 0x18u, 0x8u) << "readable, not writable";
    double before = value({kPLLLocked, kCode});
    for (double wanted : {0.0, 1.0}) {
        SCOPED_TRACE(wanted);
        Request set = parameterRequest(1, {kPLLLocked, kCode});
        set.f64(wanted);
        Bytes reply = request(SET_PARAMETER, set);
        EXPECT_EQ(Reader(reply).status(), -37);
        EXPECT_EQ(reply.size(), 2u);
        EXPECT_EQ(value({kPLLLocked, kCode}), before);
    }
    EXPECT_NE(server_->log("SRVParametersLog.txt").find("is read-only: it can't be set."), std::string::npos);

    // A writable parameter still takes a value, clamped into its range.
    Reader range(request(PARAMETER_INFO, parameterRequest((1u << 7) | (1u << 8), {0, kChannel, kDCOffset, kCode})));
    if (range.status() != 0)
        return; // no DC offset on this firmware
    double max = (range.f64(), range.f64());
    Request set = parameterRequest(1, {0, kChannel, kDCOffset, kCode});
    set.f64(max + 1000.0);
    EXPECT_EQ(status(SET_PARAMETER, set), 0);
    EXPECT_LE(value({0, kChannel, kDCOffset, kCode}), max);
}

// A list file format no flush can write is refused at command 35 and stores
// nothing of the request; the known formats are taken.
TEST_P(ProtocolRows, UnknownListFormatIsRefusedWhenSet) {
    auto format = [&]() {
        Request get;
        get.u64(kListFormat).i32(0);
        Reader reply(request(GET_LIST, get));
        EXPECT_EQ(reply.status(), 0);
        return reply.status() == 0 ? reply.i32() : -1;
    };
    int32_t before = format();
    for (int32_t bad : {3, -1, 7}) {
        SCOPED_TRACE(bad);
        Request set;
        set.u64(kListFormat | 1u).i32(0).u32(1).i32(bad); // enabled, then the format
        EXPECT_EQ(status(SET_LIST, set), -44);
        EXPECT_EQ(format(), before);
        Request enabled;
        enabled.u64(1u).i32(0);
        Reader reply(request(GET_LIST, enabled));
        ASSERT_EQ(reply.status(), 0);
        EXPECT_EQ(reply.u32(), 0u) << "the enable of the refused request was not stored";
    }
    for (int32_t good : {0, 1, 2}) {
        Request set;
        set.u64(kListFormat).i32(0).i32(good);
        EXPECT_EQ(status(SET_LIST, set), 0);
        EXPECT_EQ(format(), good);
    }
    EXPECT_NE(server_->log("SRV_ListLog.txt").find("Unknown list file format 7"), std::string::npos);
}

// Saves without a name are named by their UTC time stamp; a second one in the
// same second gets a numbered name instead of failing, and the newest of them
// is the one command 33 lists first.
TEST_P(ProtocolRows, SavesWithoutANameInOneSecondAreAllKept) {
    const int kSaves = 3;
    for (int i = 0; i < kSaves; i++)
        ASSERT_EQ(status(SAVE_CONFIGURATION, maskRequest(0, 0)), 0) << "save " << i;
    Reader list(request(LIST_CONFIGURATIONS, maskRequest(0, 1u << 3)));
    ASSERT_EQ(list.status(), 0);
    uint32_t count = list.u32();
    std::vector<std::string> names;
    for (uint32_t i = 0; i < count; i++)
        names.push_back(list.text());
    // Two saves of the same second, or of two seconds next to each other.
    std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}( \(\d+\))?)");
    int unnamed = 0;
    for (const std::string& name : names)
        unnamed += std::regex_match(name, stamp) ? 1 : 0;
    EXPECT_EQ(unnamed, kSaves);
    ASSERT_FALSE(names.empty());
    // Within one second the numbered names are the later saves: newest first.
    if (names[0].find(" (") != std::string::npos)
        EXPECT_EQ(names[0].substr(0, 19), names[1].substr(0, 19));
    // A name a client gives twice is still refused.
    Request named = maskRequest(1, 0);
    named.text("twice");
    EXPECT_EQ(status(SAVE_CONFIGURATION, named), 0);
    EXPECT_EQ(status(SAVE_CONFIGURATION, named), -43);
}

// Command 30 between an acquisition start and the first waveform the run
// stores: n is 0 before the channel's first waveform since the board was
// opened, and after a restart the sample count of its last waveform, every
// sample 0. Where the firmware has an energy skim, a skim window no energy
// falls into keeps the run from storing a waveform, so that the reply is
// looked at for as long as the test likes; on every board a restart with a
// longer record length answers the old count of zero samples until the first
// waveform of the new length, and never the old waveform.
TEST_P(ProtocolRows, WaveformAfterARestartIsTheLastCountOfZeroSamples) {
    const int32_t kRecordLength = 0; // board parameter, ns
    const int32_t kSkimEnable = 1069, kSkimLow = 1070, kSkimHigh = 1071;
    auto setBoard = [&](int32_t code, double v) {
        Request r = parameterRequest(1, {code, kCode});
        r.f64(v);
        return status(SET_PARAMETER, r);
    };
    auto setChannel0 = [&](int32_t code, double v) {
        Request r = parameterRequest(1, {0, kChannel, code, kCode});
        r.f64(v);
        return status(SET_PARAMETER, r);
    };
    const bool skims =
        Reader(request(GET_PARAMETER, parameterRequest(1, {0, kChannel, kSkimEnable, kCode}))).status() == 0;
    // No energy lies below 65535 and above 0 at once: nothing is stored.
    auto skimEverything = [&](bool on) {
        if (on) {
            ASSERT_EQ(setChannel0(kSkimLow, 65535.0), 0);
            ASSERT_EQ(setChannel0(kSkimHigh, 0.0), 0);
        }
        ASSERT_EQ(setChannel0(kSkimEnable, on ? 1.0 : 0.0), 0);
    };
    struct Waveform {
        size_t samples = 0;
        bool zero = true;
    };
    // Channel 0's four traces, 6 bytes a sample.
    auto waveform = [&]() -> std::optional<Waveform> {
        Request r;
        r.u64(0xF).i32(0);
        Bytes reply = request(GET_WAVEFORM, r);
        if (Reader(reply).status() != 0 || (reply.size() - 2) % 6 != 0)
            return std::nullopt;
        Waveform w;
        w.samples = (reply.size() - 2) / 6;
        w.zero = std::all_of(reply.begin() + 2, reply.end(), [](uint8_t b) { return b == 0; });
        return w;
    };
    // Channel 0 alone where channels start one by one: waveforms of every
    // event of every channel are a heavy load for a sanitised server on a
    // busy machine. The standard-waveform firmware starts the whole board.
    Request channels = maskRequest(0, 0);
    channels.u32(GetParam().waveformsOnly ? (1u << GetParam().channels) - 1u : 1u);
    auto run = [&](bool on) {
        ASSERT_EQ(status(on ? START : STOP, channels), 0) << server_->log("SRVBoardThreadLog.txt");
    };
    // A run whose skim stores no waveform: for as long as it is watched,
    // command 30 answers that many samples, every one 0.
    auto watchRunThatStoresNothing = [&](size_t samples) {
        ASSERT_NO_FATAL_FAILURE(skimEverything(true));
        ASSERT_NO_FATAL_FAILURE(run(true));
        auto until = srvtest::Clock::now() + std::chrono::milliseconds(300);
        while (srvtest::Clock::now() < until) {
            auto w = waveform();
            ASSERT_TRUE(w);
            ASSERT_EQ(w->samples, samples);
            ASSERT_TRUE(w->zero) << "the start clears the traces";
        }
        ASSERT_NO_FATAL_FAILURE(run(false));
        ASSERT_NO_FATAL_FAILURE(skimEverything(false));
    };

    ASSERT_EQ(setBoard(srvtest::PARAM_WAVEFORMS, 1.0), 0);
    ASSERT_EQ(setBoard(kRecordLength, 200.0), 0);
    if (skims) {
        ASSERT_NO_FATAL_FAILURE(watchRunThatStoresNothing(0)) << "no waveform since the board was opened";
    }

    // The first waveform.
    run(true);
    std::optional<Waveform> first;
    ASSERT_TRUE(srvtest::waitFor(
        [&] {
            first = waveform();
            return first && first->samples > 0 && !first->zero;
        },
        std::chrono::milliseconds(20000)));
    run(false);

    if (skims) {
        ASSERT_NO_FATAL_FAILURE(watchRunThatStoresNothing(first->samples));
    }

    ASSERT_EQ(setBoard(kRecordLength, 400.0), 0);
    run(true);
    std::optional<Waveform> next;
    ASSERT_TRUE(srvtest::waitFor(
        [&] {
            next = waveform();
            if (next && next->zero) {
                EXPECT_EQ(next->samples, first->samples) << "before the run's first waveform";
            }
            return next && !next->zero;
        },
        std::chrono::milliseconds(20000)));
    EXPECT_GT(next->samples, first->samples) << "the run's own waveform, of the longer record length";
    run(false);
}

// The register-level device records waveforms of its record length, whose
// default is 0: with waveforms on, command 30 answers 0 with no samples until
// the record length is set, and then one block of samples per trace.
TEST(ProtocolDevice, WaveformsNeedARecordLength) {
    uint16_t port = srvtest::freePort();
    srvtest::ServerProcess server({"-p", std::to_string(port), "-h"});
    ASSERT_TRUE(server.waitReady()) << server.log();
    srvtest::Client client(port);
    ASSERT_TRUE(client.connected());
    auto ask = [&](uint16_t command, const Bytes& payload) { return requestOver(client, command, payload); };
    auto set = [&](int32_t code, double v) {
        Request r = parameterRequest(1, {code, kCode});
        r.f64(v);
        return Reader(ask(SET_PARAMETER, r)).status();
    };
    auto samples = [&]() {
        Request r;
        r.u64(0x3).i32(0); // both analog traces
        Bytes reply = ask(GET_WAVEFORM, r);
        EXPECT_EQ(Reader(reply).status(), 0);
        return (reply.size() - 2) / 4;
    };
    Request start = maskRequest(0, 0);
    start.u32(0x3);
    ASSERT_EQ(set(22, 1.0), 0); // waveforms on
    ASSERT_EQ(Reader(ask(START, start)).status(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(samples(), 0u) << "record length 0: no samples";
    ASSERT_EQ(Reader(ask(STOP, start)).status(), 0);

    ASSERT_EQ(set(0, 2000.0), 0); // record length, ns
    ASSERT_EQ(Reader(ask(START, start)).status(), 0);
    size_t n = 0;
    for (int i = 0; i < 40 && n == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        n = samples();
    }
    EXPECT_EQ(n, 200u) << "2000 ns of 10 ns samples";
    EXPECT_EQ(Reader(ask(STOP, start)).status(), 0);
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, ProtocolRows, ::testing::ValuesIn(kBoards), srvtest::caseName);

} // namespace
