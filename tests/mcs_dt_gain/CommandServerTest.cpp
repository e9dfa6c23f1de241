// Commands 46 to 52 over TCP against the server process: on the default
// simulated board (no MCS firmware), on a copy of the definitions whose
// pulse-height board has MCS and ADC-temperature parameters, and during real
// acquisitions that fill the time-interval spectrum and drive the gain
// stabiliser's temperature mode.
#include <cmath>
#include <fstream>

#include "../endtoend/EndToEndSupport.h"
#include "../server_commands/CommandTestSupport.h"
#include "../support/SimBoards.h"
#include "ZarnParameters.h"

using namespace cmdtest;
using namespace srvtest;
using namespace std::chrono_literals;

namespace {

const int16_t kOk = 0, kDeserialize = -6, kInvalid = -10, kUnsupported = -33;

// Server parameter codes.
enum : int32_t {
    kFactor = 1036, // PARAM_CH_FGAIN_TEMP
    kGainStabMode = 4003,
    kGainStabTime = 4006,
    kGainStabPpmc = 4007,
    kMcsChannels = 4100,
    kMcsCurrentChannel = 4107,
    kDTBins = 4200,
    kDTStep = 4201,
};

Request dataRequest(uint64_t mask, std::initializer_list<int32_t> path) {
    Request r;
    r.u64(mask).path(path);
    return r;
}

Request maskPathRequest(uint64_t in, uint64_t out, std::initializer_list<int32_t> path) {
    Request r = maskRequest(in, out);
    r.path(path);
    return r;
}

Request setValue(std::initializer_list<int32_t> path, double value) {
    Request r = dataRequest(1, path);
    r.f64(value);
    return r;
}

Request startAll() {
    Request r = maskRequest(0, 0);
    r.u32(0xFF);
    return r;
}

uint64_t u64At(Reader& reader) {
    uint64_t low = reader.u32();
    return low | (static_cast<uint64_t>(reader.u32()) << 32);
}

// --------------------------------------------------- the default board

class DefaultBoard : public ServerSuite {
protected:
    static void SetUpTestSuite() { startServer({{"ZARN_LOG_LEVEL", "8"}}); }

    static double get(std::initializer_list<int32_t> path) {
        Bytes reply = request(GET_PARAMETER, dataRequest(1, path));
        Reader reader(reply);
        EXPECT_EQ(reader.status(), kOk);
        return reader.status() == kOk ? reader.f64() : NAN;
    }
};

TEST_F(DefaultBoard, McsCommandsAnswerThatTheBoardHasNoMcsSpectrum) {
    struct Case {
        uint16_t command;
        Bytes payload;
        int16_t status;
    } cases[] = {
        {GET_MCS, dataRequest(7, {0, 2, 0, 10}), kInvalid},
        {GET_MCS, dataRequest(1, {0, 2, 0, 9}), kInvalid},  // energy-spectrum type
        {GET_MCS, dataRequest(1, {9, 2, 0, 10}), kInvalid}, // no channel 9
        {GET_MCS, Request().u64(1), kDeserialize},
        {CLEAR_MCS, maskPathRequest(0, 0, {0, 2, 0, 10}), kInvalid},
        {CLEAR_MCS, maskPathRequest(1, 0, {0, 2, 0, 10}), kUnsupported},
        {CLEAR_MCS, maskRequest(0, 0), kDeserialize},
        {MCS_SWEEP, Request(maskRequest(0, 0)).i32(0), kInvalid},
        {MCS_SWEEP, Request(maskRequest(0, 0)).i32(99), kInvalid},
        {MCS_SWEEP, Request(maskRequest(0, 0)).i32(-1), kInvalid},
        {MCS_SWEEP, Request(maskRequest(2, 0)).i32(0), kUnsupported},
        {MCS_SWEEP, maskRequest(0, 0), kDeserialize},
    };
    for (const Case& c : cases) {
        Bytes reply = request(c.command, c.payload);
        EXPECT_EQ(status(reply), c.status) << "command " << c.command;
        EXPECT_EQ(reply.size(), 2u) << "a failed request gets its status only";
    }
    EXPECT_NE(log("SRV_MCSLog.txt").find("Invalid MCS spectrum index '0'."), std::string::npos);
    EXPECT_NE(log("SRV_MCSLog.txt").find("Parameter 'DPPL_PARAM_CH_MCS_SWEEP_SIGNAL' with code"), std::string::npos);
}

TEST_F(DefaultBoard, TimeIntervalSpectrumIsReadSetAndClearedByItsIndexPath) {
    Bytes reply = request(GET_DT, dataRequest(0xF, {0, 16}));
    ASSERT_EQ(status(reply), kOk);
    ASSERT_EQ(reply.size(), 2u + 1024 * 8 + 8 + 4 + 4) << "1024 bins by default";
    Reader all(reply);
    uint64_t sum = 0;
    for (int i = 0; i < 1024; i++)
        sum += u64At(all);
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(u64At(all), 0u); // entries
    EXPECT_EQ(all.u32(), 0u);  // disabled after the open
    EXPECT_EQ(all.u32(), 0u);  // reference channel 0

    // Bit 2 alone enables and keeps the reference; bit 3 alone changes it.
    EXPECT_EQ(status(request(SET_DT, Request(dataRequest(0x4, {0, 16})).u32(7))), kOk);
    EXPECT_EQ(status(request(SET_DT, Request(dataRequest(0x8, {0, 16})).u32(3))), kOk);
    reply = request(GET_DT, dataRequest(0xC, {0, 16}));
    Reader fields(reply);
    ASSERT_EQ(fields.status(), kOk);
    EXPECT_EQ(fields.u32(), 1u);
    EXPECT_EQ(fields.u32(), 3u);

    struct Case {
        uint16_t command;
        Bytes payload;
        int16_t status;
    } cases[] = {
        {GET_DT, dataRequest(0x10, {0, 16}), kUnsupported},
        {GET_DT, dataRequest(1, {}), kInvalid},
        {GET_DT, dataRequest(1, {0}), kInvalid},
        {GET_DT, dataRequest(1, {0, 9}), kInvalid},
        {GET_DT, dataRequest(1, {1, 16}), kInvalid},
        {GET_DT, dataRequest(1, {-1, 16}), kInvalid},
        {GET_DT, Request().u64(1), kDeserialize},
        {SET_DT, Request(dataRequest(0x1, {0, 16})).u64(0), kUnsupported},
        {SET_DT, dataRequest(0x4, {0, 16}), kDeserialize}, // the field is missing
        {SET_DT, Request(dataRequest(0x4, {1, 16})).u32(0), kInvalid},
        {CLEAR_DT, maskPathRequest(0, 0, {0, 9}), kInvalid},
        {CLEAR_DT, maskPathRequest(4, 0, {0, 16}), kUnsupported},
        {CLEAR_DT, maskPathRequest(0, 0, {2, 16}), kInvalid},
        {CLEAR_DT, maskPathRequest(0, 1, {0, 16}), kUnsupported}, // cleared all the same
        {CLEAR_DT, maskPathRequest(0, 0, {5, 16, 0, 16}), kOk},   // the last pair counts
    };
    for (const Case& c : cases) {
        Bytes r = request(c.command, c.payload);
        EXPECT_EQ(status(r), c.status) << "command " << c.command;
        EXPECT_EQ(r.size(), 2u);
    }
    // Nothing of the refused sets was stored.
    reply = request(GET_DT, dataRequest(0xC, {0, 16}));
    Reader kept(reply);
    EXPECT_EQ(kept.u32(), 1u);
    EXPECT_EQ(kept.u32(), 3u);
    EXPECT_NE(log("SRV_DTSpectrumLog.txt").find("Getting DeltaT Spectrum Info."), std::string::npos);

    // The bin count follows its parameter, held to the record by its range.
    ASSERT_EQ(status(request(SET_PARAMETER, setValue({kDTBins, 7, 0, 16}, 16))), kOk);
    EXPECT_EQ(request(GET_DT, dataRequest(1, {0, 16})).size(), 2u + 16 * 8);
    ASSERT_EQ(status(request(SET_PARAMETER, setValue({kDTBins, 7, 0, 16}, 100000))), kOk);
    EXPECT_DOUBLE_EQ(get({kDTBins, 7, 0, 16}), 4096);
    EXPECT_EQ(request(GET_DT, dataRequest(1, {0, 16})).size(), 2u + 4096 * 8);

    EXPECT_EQ(status(request(SET_DT, Request(dataRequest(0xC, {0, 16})).u32(0).u32(0))), kOk);
    EXPECT_EQ(status(request(SET_PARAMETER, setValue({kDTBins, 7, 0, 16}, 1024))), kOk);
}

TEST_F(DefaultBoard, GainStabilizerIsSwitchedByCommand28AndResetByCommand49) {
    const uint64_t kGainStabBit = 0x400;
    EXPECT_EQ(status(request(SET_SPECTRUM, Request(dataRequest(kGainStabBit, {0, 2, 0, 9})).u32(1))), kOk);
    Bytes reply = request(GET_SPECTRUM, dataRequest(kGainStabBit, {0, 2, 0, 9}));
    ASSERT_EQ(status(reply), kOk);
    EXPECT_EQ(Reader(reply).u32(), 1u);

    EXPECT_EQ(status(request(RESET_GAIN_STAB, maskPathRequest(0, 0, {0, 2, 0, 9}))), kOk);
    EXPECT_DOUBLE_EQ(get({kFactor, 7, 0, 2}), 1.0);
    struct Case {
        Bytes payload;
        int16_t status;
    } cases[] = {
        {maskPathRequest(1, 0, {0, 2, 0, 9}), kUnsupported}, {maskPathRequest(0, 2, {0, 2, 0, 9}), kUnsupported},
        {maskPathRequest(0, 0, {0, 2, 1, 9}), kInvalid},     {maskPathRequest(0, 0, {8, 2, 0, 9}), kInvalid},
        {maskPathRequest(0, 0, {0, 2, 0, 10}), kInvalid},    {maskRequest(0, 0), kDeserialize},
    };
    for (const Case& c : cases)
        EXPECT_EQ(status(request(RESET_GAIN_STAB, c.payload)), c.status);

    EXPECT_EQ(status(request(SET_SPECTRUM, Request(dataRequest(kGainStabBit, {0, 2, 0, 9})).u32(2))), kOk);
    reply = request(GET_SPECTRUM, dataRequest(kGainStabBit, {0, 2, 0, 9}));
    EXPECT_EQ(Reader(reply).u32(), 0u);
}

// An acquisition of the simulated board fills the time-interval spectrum of
// channel 0 against channel 1; command 52 clears it; the server quits
// cleanly with the carried time stamps it allocated.
TEST(TimeIntervalAcquisition, ARunFillsTheSpectrumAndClearingEmptiesIt) {
    uint16_t port = freePort();
    ServerProcess server({"-p", std::to_string(port)});
    ASSERT_TRUE(server.waitReady()) << server.log();
    Client client(port);
    auto status = [&](uint16_t command, const Bytes& payload) {
        auto reply = client.request(command, payload);
        return reply ? reply->status() : int16_t{1};
    };
    // The simulated events are a millisecond or so apart: bins of 1 ms.
    ASSERT_EQ(status(SET_PARAMETER, setValue({kDTStep, 7, 0, 16}, 1000000)), kOk);
    ASSERT_EQ(status(SET_PARAMETER, setValue({kDTBins, 7, 0, 16}, 4096)), kOk);
    ASSERT_EQ(status(SET_DT, Request(dataRequest(0xC, {0, 16})).u32(1).u32(0)), kOk);
    ASSERT_EQ(status(START, startAll()), kOk);

    auto entries = [&] {
        auto reply = client.request(GET_DT, dataRequest(0x2, {0, 16}));
        if (!reply || reply->status() != kOk)
            return uint64_t{0};
        Reader r(reply->payload);
        return u64At(r);
    };
    EXPECT_TRUE(waitFor([&] { return entries() >= 50; }, 20000ms)) << server.log("SRVBoardThreadLog.txt");
    ASSERT_EQ(status(STOP, startAll()), kOk);

    auto reply = client.request(GET_DT, dataRequest(0x3, {0, 16}));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->status(), kOk);
    Reader r(reply->payload);
    uint64_t sum = 0;
    for (int i = 0; i < 4096; i++)
        sum += u64At(r);
    EXPECT_EQ(sum, u64At(r)) << "every entry lies in a bin";
    EXPECT_GT(sum, 0u);

    ASSERT_EQ(status(CLEAR_DT, maskPathRequest(0, 0, {0, 16})), kOk);
    EXPECT_EQ(entries(), 0u);
    ASSERT_EQ(status(QUIT, maskRequest(0, 0)), kOk);
    EXPECT_EQ(server.waitExit(20000ms), 0) << server.output();
}

// ------------------------------------------------ a board with MCS firmware

// The shipped definitions with MCS parameters on every channel of the
// pulse-height boards and an ADC temperature (45) with its reference (35).
class PatchedDefinitions {
public:
    PatchedDefinitions() {
        fs::copy(MORVANE_DEFINITIONS_DIR, dir_.path(), fs::copy_options::recursive);
        for (const auto& entry : fs::directory_iterator(dir_.path())) {
            std::string name = entry.path().filename().string();
            if (name.rfind("Orlu", 0) == 0 && entry.path().extension() == ".xml")
                patch(entry.path());
        }
    }
    std::string path() const { return dir_.path().string(); }

private:
    static std::string range(const char* codename, double min, double max, double def) {
        std::ostringstream line;
        line << "    <Parameter codename=\"" << codename << "\" type=\"RANGE\" name=\"" << codename
             << "\" regaddr=\"0\" acqon=\"TRUE\" min=\"" << min << "\" max=\"" << max << "\" incr=\"1\" defval=\""
             << def << "\"/>\n";
        return line.str();
    }
    static void insertBefore(std::string& text, const std::string& anchor, const std::string& lines) {
        size_t at = text.find(anchor);
        ASSERT_NE(at, std::string::npos) << anchor;
        text.insert(at, lines);
    }
    static void patch(const fs::path& file) {
        std::string text = readFile(file);
        std::string channel;
        for (const char* name : {"DPPL_PARAM_CH_MCS_SW_DWELL_ENABLE", "DPPL_PARAM_CH_MCS_HW_DWELL_ENABLE",
                                 "DPPL_PARAM_CH_MCS_SW_SWEEP_ENABLE", "DPPL_PARAM_CH_MCS_HW_SWEEP_ENABLE",
                                 "DPPL_PARAM_CH_MCS_MODE", "DPPL_PARAM_CH_MCS_SWEEP_SIGNAL"})
            channel += range(name, 0, 1, 0);
        channel += range("DPPL_PARAM_CH_MCS_CHANNELS", 1, 32768, 8);
        channel += range("DPPL_PARAM_CH_MCS_DWELL_TIME", 1, 1000000, 1000);
        channel += range("DPPL_PARAM_CH_MCS_CURRENT_CHANNEL", 0, 32767, 0);
        insertBefore(text, "  </ChannelParameters>", channel);
        insertBefore(text, "  </BoardParameters>",
                     range("DPPL_PARAM_TEMP_ADC0", -50, 150, 45) + range("DPPL_PARAM_TEMP_ADC0_REF", -50, 150, 35));
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }
    TempDir dir_;
};

class McsBoard : public ServerSuite {
protected:
    static void SetUpTestSuite() {
        definitions_ = new PatchedDefinitions;
        startServer({{"DRAVIKDIR", definitions_->path()}, {"ZARN_LOG_LEVEL", "8"}});
    }
    static void TearDownTestSuite() {
        ServerSuite::TearDownTestSuite();
        delete definitions_;
        definitions_ = nullptr;
    }
    struct Mcs {
        std::vector<uint32_t> counts;
        uint32_t state = 99, pass = 99;
    };
    static Mcs getMcs(int32_t channel) {
        Bytes reply = request(GET_MCS, dataRequest(0x7, {channel, 2, 0, 10}));
        Reader reader(reply);
        EXPECT_EQ(reader.status(), kOk);
        Mcs m;
        if (reader.status() != kOk)
            return m;
        // The counts have no count of their own: what is left after them is
        // the one-byte state and the pass.
        size_t slots = (reader.left() - 5) / 4;
        for (size_t i = 0; i < slots; i++)
            m.counts.push_back(reader.u32());
        m.state = reader.raw(1)[0];
        m.pass = reader.u32();
        EXPECT_EQ(reader.left(), 0u);
        return m;
    }
    static double get(std::initializer_list<int32_t> path) {
        Bytes reply = request(GET_PARAMETER, dataRequest(1, path));
        Reader reader(reply);
        EXPECT_EQ(reader.status(), kOk);
        return reader.status() == kOk ? reader.f64() : NAN;
    }
    static inline PatchedDefinitions* definitions_ = nullptr;
};

TEST_F(McsBoard, Command46SendsTheSweepsSlotsStateAndPass) {
    Mcs m = getMcs(0);
    EXPECT_EQ(m.counts, std::vector<uint32_t>(8, 0));
    EXPECT_EQ(m.state, 0u);
    EXPECT_EQ(m.pass, 1u);
    ASSERT_EQ(status(request(SET_PARAMETER, setValue({kMcsChannels, 7, 3, 2, 0, 10}, 3))), kOk);
    EXPECT_EQ(getMcs(3).counts.size(), 3u);
    EXPECT_EQ(getMcs(0).counts.size(), 8u);
    Bytes reply = request(GET_MCS, dataRequest(0x8 | 0x4, {0, 2, 0, 10}));
    EXPECT_EQ(status(reply), kUnsupported);
    EXPECT_EQ(reply.size(), 2u);
}

TEST_F(McsBoard, SweepSignalsAndClearsReachTheChannel) {
    // A sweep signal on a channel that doesn't run resets its current MCS
    // channel to 0.
    ASSERT_EQ(status(request(SET_PARAMETER, setValue({kMcsCurrentChannel, 7, 0, 2, 0, 10}, 5))), kOk);
    ASSERT_DOUBLE_EQ(get({kMcsCurrentChannel, 7, 0, 2, 0, 10}), 5);
    EXPECT_EQ(status(request(MCS_SWEEP, Request(maskRequest(0, 0)).i32(0))), kOk);
    EXPECT_DOUBLE_EQ(get({kMcsCurrentChannel, 7, 0, 2, 0, 10}), 0);
    EXPECT_EQ(status(request(MCS_SWEEP, Request(maskRequest(0, 1)).i32(0))), kUnsupported);
    EXPECT_EQ(status(request(MCS_SWEEP, Request(maskRequest(0, 0)).i32(8))), kInvalid);

    // Starts set state and pass 1, stops state 3; command 48 clears.
    ASSERT_EQ(status(request(START, startAll())), kOk);
    Mcs m = getMcs(2);
    EXPECT_EQ(m.state, 1u);
    EXPECT_EQ(m.pass, 1u);
    ASSERT_EQ(status(request(STOP, startAll())), kOk);
    EXPECT_EQ(getMcs(2).state, 3u);
    EXPECT_EQ(status(request(CLEAR_MCS, maskPathRequest(0, 1, {2, 2, 0, 10}))), kUnsupported);
    m = getMcs(2);
    EXPECT_EQ(m.state, 0u) << "cleared before the mask was refused";
    EXPECT_EQ(m.pass, 1u);
    EXPECT_EQ(status(request(CLEAR_MCS, maskPathRequest(0, 0, {2, 2, 0, 10}))), kOk);
    EXPECT_NE(log("SRV_MCSLog.txt").find("Getting MCS Spectrum Info."), std::string::npos);
}

TEST_F(McsBoard, TemperatureModeSetsTheFactorFromTheAdcTemperature) {
    // 45 degrees against a reference of 35 at 100 ppm per degree: 0.999.
    ASSERT_EQ(status(request(SET_PARAMETER, setValue({kGainStabMode, 7, 0, 2, 0, 9}, 2))), kOk);
    ASSERT_EQ(status(request(SET_PARAMETER, setValue({kGainStabPpmc, 7, 0, 2, 0, 9}, 100))), kOk);
    ASSERT_EQ(status(request(SET_PARAMETER, setValue({kGainStabTime, 7, 0, 2, 0, 9}, 1))), kOk);
    ASSERT_EQ(status(request(SET_SPECTRUM, Request(dataRequest(0x400, {0, 2, 0, 9})).u32(1))), kOk);
    ASSERT_EQ(status(request(START, startAll())), kOk);
    bool corrected = waitFor([] { return std::fabs(get({kFactor, 7, 0, 2}) - 0.999) < 1e-9; }, 15000ms);
    EXPECT_TRUE(corrected) << log("SRV_GainStabilizer.txt") << log("SRVBoardThreadLog.txt");
    EXPECT_DOUBLE_EQ(get({kFactor, 7, 1, 2}), 1.0) << "channel 1's stabiliser is off";
    // The interval's correction reached channel 0's gain register while the
    // board runs (fine gain 1.0 times the factor, filter lengths in samples).
    auto reg = [](uint32_t address) {
        Reader r(request(READ_REGISTER, Request(maskRequest(0x1, 0x2)).u32(address)));
        return r.status() == kOk ? r.u32() : 0xDEADBEEFu;
    };
    const double decayTimesRise = static_cast<double>(reg(0x1068) & 0xFFFF) * (reg(0x105C) & 0xFFFF);
    const int shift = static_cast<int>(reg(0x1080) & 0x3F);
    EXPECT_EQ(reg(0x10C4) & 0xFFFF, static_cast<uint32_t>(std::ldexp(0.999, shift) * 65535.0 / decayTimesRise));
    ASSERT_EQ(status(request(STOP, startAll())), kOk);
    EXPECT_NE(log("SRV_GainStabilizer.txt").find("New Fine Gain correction value 0.999000 set."), std::string::npos);

    // Disabling keeps the factor; command 49 on a disabled stabiliser applies
    // it again unchanged.
    ASSERT_EQ(status(request(SET_SPECTRUM, Request(dataRequest(0x400, {0, 2, 0, 9})).u32(0))), kOk);
    EXPECT_EQ(status(request(RESET_GAIN_STAB, maskPathRequest(0, 0, {0, 2, 0, 9}))), kOk);
    EXPECT_NEAR(get({kFactor, 7, 0, 2}), 0.999, 1e-9);
}

// ------------------------------------- the correction reaches the gain register

// The boards whose firmware computes a gain register from the fine gain (its
// shift at 0x1n80 bits 0-5, the gain at 0x1nC4): asked of each board the
// server opens, through the library and the plug-in, by setting channel 1's
// fine gain and reading its gain register back.
std::vector<BoardCase> fineGainBoards() {
    std::vector<BoardCase> boards;
    for (const BoardCase& board : kBoards) {
        for (const testsup::SimProfile& profile : testsup::shippedProfiles().boards) {
            testsup::OpenedRecord record;
            if (profile.name != board.name || testsup::openProfile(record.get(), profile) != 0)
                continue;
            c_Parameter_t* fineGain = c_pfindc(record.get(), 1, DPPL_PARAM_CH_FGAIN);
            c_Parameter_t* gainRegister = c_pfindc(record.get(), 1, DPPL_PARAM_CH_GAINREG);
            double before = 0.0, after = 0.0;
            if (fineGain != NULL && gainRegister != NULL && c_pget(record.get(), gainRegister, &before) == 0 &&
                c_pset(record.get(), fineGain, 1.25) == 0 && c_pget(record.get(), gainRegister, &after) == 0 &&
                after != before)
                boards.push_back(board);
        }
    }
    return boards;
}

class FineGainRegister : public ::testing::TestWithParam<BoardCase> {};

// While the board acquires, the stabiliser applies a new correction factor
// (command 49) without a refusal, and it reaches channel 1's gain register:
// shift and gain are those of the fine gain times the factor, from the filter
// lengths the board holds; channel 0 keeps its gain.
TEST_P(FineGainRegister, ChangesWithTheFactorDuringAcquisition) {
    const BoardCase& board = GetParam();
    const int32_t ch = 1;
    const int32_t kFineGain = 1035; // PARAM_CH_ENERGY_FINE_GAIN
    uint16_t port = freePort();
    std::vector<std::string> arguments = {"-p", std::to_string(port)};
    arguments.insert(arguments.end(), board.options.begin(), board.options.end());
    ServerProcess server(arguments);
    ASSERT_TRUE(server.waitReady()) << server.log();
    Client client(port);
    // A stop waits for the board thread's cycle: give a busy machine time.
    auto call = [&](uint16_t command, const Bytes& payload) {
        std::optional<Reply> reply;
        if (client.send(packet(command, payload)))
            reply = client.receive(30000ms);
        return reply ? reply->payload : Bytes{0xFF, 0x7F};
    };
    auto value = [&](int32_t code, int32_t channel) {
        Reader r(call(GET_PARAMETER, dataRequest(1, {code, 7, channel, 2})));
        return r.status() == kOk ? r.f64() : NAN;
    };
    auto reg = [&](uint32_t address) {
        Reader r(call(READ_REGISTER, Request(maskRequest(0x1, 0x2)).u32(address)));
        return r.status() == kOk ? r.u32() : 0xDEADBEEFu;
    };
    const uint32_t base = 0x1000u | (static_cast<uint32_t>(ch) << 8);
    Request start = maskRequest(0, 0);
    start.u32((1u << board.channels) - 1);

    ASSERT_EQ(Reader(call(SET_PARAMETER, setValue({kFineGain, 7, ch, 2}, 1.25))).status(), kOk);
    ASSERT_EQ(Reader(call(START, start)).status(), kOk);
    const uint32_t before = reg(base | 0xC4) & 0xFFFF;
    const uint32_t otherBefore = reg(0x10C4) & 0xFFFF;

    ASSERT_EQ(Reader(call(SET_PARAMETER, setValue({kFactor, 7, ch, 2}, 0.9))).status(), kOk);
    ASSERT_EQ(Reader(call(RESET_GAIN_STAB, maskPathRequest(0, 0, {ch, 2, 0, 9}))).status(), kOk)
        << server.log("SRV_GainStabilizer.txt") << server.log("SRVParameterLog.txt");

    const double gain = value(kFineGain, ch) * value(kFactor, ch);
    EXPECT_NEAR(gain, 1.125, 1e-9);
    const double decay = reg(base | 0x68) & 0xFFFF; // filter lengths in samples
    const double rise = reg(base | 0x5C) & 0xFFFF;
    const uint32_t shift = reg(base | 0x80) & 0x3F;
    EXPECT_EQ(shift, static_cast<uint32_t>(std::log2(decay * rise / gain)));
    const uint32_t after = reg(base | 0xC4) & 0xFFFF;
    EXPECT_EQ(after, static_cast<uint32_t>(std::ldexp(gain, static_cast<int>(shift)) * 65535.0 / (decay * rise)));
    EXPECT_NE(after, before);
    EXPECT_EQ(reg(0x10C4) & 0xFFFF, otherBefore) << "channel 0 has its own factor";

    ASSERT_EQ(Reader(call(STOP, start)).status(), kOk);
    const std::string thread = server.log("SRVBoardThreadLog.txt");
    EXPECT_EQ(thread.find("Error in handleGainStabilization."), std::string::npos);
    EXPECT_EQ(server.log("SRVParameterLog.txt").find("Can't set simple parameter 'Energy fine gain'"),
              std::string::npos);
    ASSERT_EQ(Reader(call(QUIT, maskRequest(0, 0))).status(), kOk);
    EXPECT_EQ(server.waitExit(20000ms), 0) << server.output();
}

INSTANTIATE_TEST_SUITE_P(Shipped, FineGainRegister, ::testing::ValuesIn(fineGainBoards()), caseName);

} // namespace
