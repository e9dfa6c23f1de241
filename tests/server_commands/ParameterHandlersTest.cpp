// The parameter-command handlers called in-process on the fake board of the
// server-parameter tests (software-only library parameters, every kind of
// board object): the lookup of an index path, the value table of each kind
// of parameter, lists longer than an information record, values outside
// their list, and the channel signals with the library calls recorded.
#include <cmath>
#include <string>
#include <vector>

#include "../server_params/ServerParamsSupport.h"
#include "CommandTestSupport.h"
#include "SRV_CommandTable.h"
#include "SRV_ParameterCommands.h"

using namespace cmdtest;
using srvtest::FakeBoardTest;

// The library's channel signals, recorded: the server reaches them by name,
// so this program's definitions stand in for the library's.
namespace {
struct SignalCall {
    uint16_t command;
    int32_t channel;
    uint32_t mode;
};
std::vector<SignalCall> signalCalls;
int signalResult = 0;
} // namespace

extern "C" int c_cautosetstart(c_Digitizer_t*, int32_t channel, uint32_t mode) {
    signalCalls.push_back({START_AUTOSET, channel, mode});
    return signalResult;
}
extern "C" int c_cautosetstop(c_Digitizer_t*, uint32_t channel, uint32_t mode) {
    signalCalls.push_back({STOP_AUTOSET, static_cast<int32_t>(channel), mode});
    return signalResult;
}
extern "C" int c_csampleadvance(c_Digitizer_t*, int32_t channel) {
    signalCalls.push_back({SAMPLE_ADVANCE, channel, 0});
    return signalResult;
}

namespace {

// Server codes of the fixture's tree.
enum : int32_t { kThreshold = 1000, kEnabled = 1002, kGate = 1003, kTrigger = 1004 };
constexpr int kGateValues = 25;

// A list of 25 values 0, 10, ... 240 named "V0" ... "V24".
c_Parameter_t* gateList(void* owner) {
    c_Parameter_t* p = srvtest::softParam(owner, DPPL_PARAM_CH_GATE, "DPPL_PARAM_CH_GATE", 0, 240, 0);
    p->type = C_PARAM_TYPE_LIST;
    p->count = kGateValues;
    for (int i = 0; i < kGateValues; i++) {
        p->values[i].value = 10.0 * i;
        std::snprintf(p->values[i].codename, sizeof p->values[i].codename, "V%d", i);
        std::snprintf(p->values[i].name, sizeof p->values[i].name, "Value %d", i);
    }
    return p;
}

struct Answer {
    int16_t status = 0;
    Bytes payload; // after the header: the status, then the fields
    Reader read() const { return Reader(payload); }
};

class ParameterHandlers : public FakeBoardTest {
protected:
    std::string folder() const override { return srvtest::fixture("commands"); }

    void SetUp() override {
        FakeBoardTest::SetUp();
        for (int ch = 0; ch < 2; ch++) {
            ASSERT_EQ(_pcinsert(dig->channels[ch].coll, gateList(&dig->channels[ch]), DPPL_PARAM_CH_GATE), 0);
            c_Parameter_t* enabled = srvtest::channelParam(ch, DPPL_PARAM_CH_ENABLED);
            std::snprintf(enabled->values[0].name, sizeof enabled->values[0].name, "False");
            std::snprintf(enabled->values[1].name, sizeof enabled->values[1].name, "True");
        }
        ASSERT_EQ(c_ticket_init(&board->boardLock), 0);
        ASSERT_EQ(SRV_InitServerParameters(board), SRV_SUCCESS) << srvtest::readLog("SRV_CommonLog.txt");
        signalCalls.clear();
        signalResult = 0;
    }
    void TearDown() override {
        c_ticket_delete(&board->boardLock);
        FakeBoardTest::TearDown();
    }

    // Runs a command as the command loop does; a command without a reply is
    // answered with the header and the status.
    Answer call(uint16_t command, const Bytes& request) {
        uint32_t size = 0;
        SRVStatus_t status = 1;
        void* reply = SRV_RunCommand(SRV_FindCommand(command), board, request.data(),
                                     static_cast<uint32_t>(request.size()), nullptr, &size, &status);
        EXPECT_NE(status, 1) << "the handler left the status unwritten";
        if (reply == nullptr)
            reply = SRV_BuildStatusReply(command, status, &size);
        Bytes bytes(static_cast<uint8_t*>(reply), static_cast<uint8_t*>(reply) + size);
        c_free(reply);
        EXPECT_EQ(srvtest::getU32(bytes, 0), size);
        EXPECT_EQ(srvtest::getU16(bytes, 6), command);
        Answer answer;
        answer.payload.assign(bytes.begin() + 8, bytes.end());
        answer.status = answer.read().status();
        EXPECT_EQ(answer.status, status) << "a reply with fields must carry status 0";
        return answer;
    }

    SRVParameter_t* channelParameter(int32_t channel, int32_t code) {
        return SRV_GetChannelParameter(board, channel, code);
    }
};

TEST_F(ParameterHandlers, IndexPathFindsTheParameterOfItsObject) {
    // Each path with the parameter it addresses (from the object getters), or
    // NULL for -10.
    SRVParameter_t* const missing = nullptr;
    struct Case {
        std::vector<int32_t> path;
        SRVParameter_t* expected;
        bool found;
    };
    auto found = [](std::vector<int32_t> path, SRVParameter_t* param) { return Case{path, param, true}; };
    auto refused = [&](std::vector<int32_t> path) { return Case{path, missing, false}; };
    const Case cases[] = {
        found({1, kCode}, SRV_GetBoardParameter(board, 1)),
        found({1, kChannel, kThreshold, kCode}, channelParameter(1, kThreshold)),
        refused({kThreshold, kCode}),              // a channel parameter without its channel
        refused({2, kChannel, kThreshold, kCode}), // the channel count
        refused({-1, kChannel, kThreshold, kCode}),
        found({0, kChannel, kThreshold, kCode, 1, kChannel}, channelParameter(1, kThreshold)), // the later pair wins
        found({1, kChannel, kThreshold, kCode, 5}, channelParameter(1, kThreshold)),           // a lone last element
        refused({0, kBoard, 1, kCode}), // type 1 addresses no owner
        refused({0, 8, 1, kCode}),
        refused({999, kCode}),               // a code of no category
        refused({1, kChannel, 1005, kCode}), // inside the range, no parameter
        found({1, kChannel, 0, kSpectrum, 0, kROI, 4300, kCode}, SRV_GetROIParameter(board, 1, 0, 0, 4300)),
        refused({1, kChannel, 0, kSpectrum, 1, kROI, 4300, kCode}),
        found({0, kChannel, 0, kMCS, 4100, kCode}, SRV_GetMCSSpectrumParameter(board, 0, 0, 4100)),
        refused({1, kChannel, 0, kMCS, 4100, kCode}), // channel 1 has no MCS firmware
        found({0, kHVChannel, 1, kHVRange, 3100, kCode}, SRV_GetHVRangeParameter(board, 0, 1, 3100)),
        refused({0, kHVChannel, 2, kHVRange, 3100, kCode}),
        found({4, kVTrace, 2100, kCode}, SRV_GetVirtualTraceParameter(board, 4, 2100)),
        refused({5, kVTrace, 2100, kCode}),
        found({0, kLVDS, 2000, kCode}, SRV_GetLVDSGroupParameter(board, 0, 2000)),
        found({0, kMonOut, 5000, kCode}, SRV_GetMonOutParameter(board, 0, 5000)),
        found({0, kDT, 4200, kCode}, SRV_GetDTSpectrumParameter(board, 0, 4200)),
        refused({1, kDT, 4200, kCode}),
    };
    for (const Case& c : cases) {
        std::string shown;
        for (int32_t e : c.path)
            shown += std::to_string(e) + " ";
        if (c.found) {
            ASSERT_NE(c.expected, nullptr) << "the fixture lacks the parameter of " << shown;
        }
        SRVParameter_t* result = reinterpret_cast<SRVParameter_t*>(&shown);
        int status = SRVParameters_FindByCode(board, c.path.data(), static_cast<uint32_t>(c.path.size()), &result);
        EXPECT_EQ(status, c.found ? 0 : -10) << shown;
        EXPECT_EQ(result, c.expected) << shown;
    }
    EXPECT_EQ(SRVParameters_GetParameterType(board, 4300), kROI);
    EXPECT_EQ(SRVParameters_GetParameterType(board, 999), kCode);
    EXPECT_NE(srvtest::readLog("SRVParametersLog.txt").find("Parameter type for id '999' not found."),
              std::string::npos);
    EXPECT_NE(srvtest::readLog("SRV_CommonLog.txt").find("Invalid channel '-1'. Can't find parameter '1000'."),
              std::string::npos);
}

TEST_F(ParameterHandlers, ValueTableOfEachKind) {
    SRVParameter_t* range = channelParameter(0, kThreshold);
    SRVParameter_t* list = channelParameter(0, kEnabled);
    SRVParameter_t* complex = channelParameter(0, kTrigger);
    ASSERT_NE(range, nullptr);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(complex, nullptr);
    EXPECT_EQ(SRVParameters_GetKind(range), 0);
    EXPECT_EQ(SRVParameters_GetKind(list), 1);
    EXPECT_EQ(SRVParameters_GetKind(complex), 1);
    EXPECT_EQ(SRVParameters_GetKind(nullptr), -1);

    struct Case {
        SRVParameter_t* param;
        double value;
        int codenameStatus;
        const char* codename;
        const char* description;
    };
    const Case cases[] = {
        {range, 12.5, 0, "Range parameter.", "12.500"}, {list, 1, 0, "TRUE", "True"}, {list, 0.5, -37, "", ""},
        {complex, 0, 0, "NOT DEFINED", "Not defined."}, {complex, 0.5, -37, "", ""},
    };
    for (const Case& c : cases) {
        char codename[kText] = {};
        char description[kText] = {};
        EXPECT_EQ(SRVParameters_GetValueCodename(c.param, c.value, codename), c.codenameStatus) << c.param->name;
        EXPECT_EQ(SRVParameters_GetValueDescription(c.param, c.value, description), c.codenameStatus);
        EXPECT_STREQ(codename, c.codename);
        EXPECT_STREQ(description, c.description);
    }
    // A huge range value is cut, never written past the text.
    char description[kText] = {};
    EXPECT_EQ(SRVParameters_GetValueDescription(range, 1e300, description), 0);
    EXPECT_EQ(std::strlen(description), 46u);

    double value = -1;
    EXPECT_EQ(SRVParameters_GetValueFromCodename(list, "TRUE", &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(SRVParameters_GetValueFromCodename(complex, "NOT DEFINED", &value), 0);
    EXPECT_EQ(value, 0); // the first value
    EXPECT_EQ(SRVParameters_GetValueFromCodename(complex, "TRUE", &value), -10);
    EXPECT_EQ(SRVParameters_GetValueFromCodename(list, "MAYBE", &value), -10);
    EXPECT_EQ(SRVParameters_GetValueFromCodename(range, "TRUE", &value), -37);
    EXPECT_EQ(SRVParameters_GetValueFromCodename(nullptr, "TRUE", &value), -17);
    EXPECT_EQ(SRVParameters_GetValueCodename(list, 1, nullptr), -17);
    EXPECT_NE(srvtest::readLog("SRVParametersLog.txt").find("Value codename 'MAYBE' not found for parameter 'Enable'."),
              std::string::npos);
}

TEST_F(ParameterHandlers, ListLongerThanTheRecordIsDescribedByItsFirstTwenty) {
    Answer info = call(PARAMETER_INFO, parameterRequest(0x3C00, {0, kChannel, kGate, kCode}));
    ASSERT_EQ(info.status, 0);
    Reader r = info.read();
    ASSERT_EQ(r.u32(), 20u);
    for (int v = 0; v < 20; v++)
        EXPECT_EQ(r.f64(), 10.0 * v);
    ASSERT_EQ(r.u32(), 20u);
    for (int v = 0; v < 20; v++)
        EXPECT_EQ(r.text(), "V" + std::to_string(v));
    EXPECT_EQ(r.u32(), 20u);
    EXPECT_EQ(r.left(), 20 * kText);

    // The values past the record are still set and named.
    Request set = parameterRequest(0x2, {0, kChannel, kGate, kCode});
    set.text("V24");
    EXPECT_EQ(call(SET_PARAMETER, set).status, 0);
    Answer got = call(GET_PARAMETER, parameterRequest(0x7, {0, kChannel, kGate, kCode}));
    ASSERT_EQ(got.status, 0);
    Reader g = got.read();
    EXPECT_EQ(g.f64(), 240);
    EXPECT_EQ(g.text(), "V24");
    EXPECT_EQ(g.text(), "Value 24");
}

TEST_F(ParameterHandlers, GetOfAValueOutsideItsListFailsOnlyForItsNames) {
    srvtest::channelParam(0, DPPL_PARAM_CH_ENABLED)->value = 0.5;
    Answer value = call(GET_PARAMETER, parameterRequest(0x1, {0, kChannel, kEnabled, kCode}));
    ASSERT_EQ(value.status, 0);
    EXPECT_EQ(value.read().f64(), 0.5);
    for (uint64_t mask : {0x3ull, 0x4ull}) {
        Answer named = call(GET_PARAMETER, parameterRequest(mask, {0, kChannel, kEnabled, kCode}));
        EXPECT_EQ(named.status, -37);
        EXPECT_EQ(named.payload.size(), 2u);
    }
    EXPECT_NE(srvtest::readLog("SRVParametersLog.txt").find("Value '0.500000' not found for parameter 'Enable'."),
              std::string::npos);
}

TEST_F(ParameterHandlers, AutoSetPassesItsOptionsAsModeBits) {
    Request start = maskRequest(0x7, 0);
    start.i32(1).u32(5).u32(0).u32(7);
    EXPECT_EQ(call(START_AUTOSET, start).status, 0);
    Request stop = maskRequest(0x2, 0);
    stop.i32(0).u32(3);
    EXPECT_EQ(call(STOP_AUTOSET, stop).status, 0);
    ASSERT_EQ(signalCalls.size(), 2u);
    EXPECT_EQ(signalCalls[0].command, START_AUTOSET);
    EXPECT_EQ(signalCalls[0].channel, 1);
    EXPECT_EQ(signalCalls[0].mode, 0xAu);
    EXPECT_EQ(signalCalls[1].command, STOP_AUTOSET);
    EXPECT_EQ(signalCalls[1].mode, 0x4u);
}

TEST_F(ParameterHandlers, ChannelSignalsRefuseBadRequestsBeforeTheLibrary) {
    struct Case {
        uint16_t command;
        Bytes request;
        int16_t status;
    };
    auto channelRequest = [](uint64_t in, uint64_t out, int32_t channel) {
        Request r = maskRequest(in, out);
        r.i32(channel);
        return r.bytes();
    };
    const Case refused[] = {
        {START_AUTOSET, channelRequest(0, 0, 2), -33}, // channel count of the board
        {STOP_AUTOSET, channelRequest(0, 0, -1), -33},
        {SAMPLE_ADVANCE, channelRequest(0, 0, 64), -33},
        {START_AUTOSET, channelRequest(0x8, 0, 0), -33}, // unknown cmdMaskIn bit
        {SAMPLE_ADVANCE, channelRequest(0x1, 0, 0), -33},
        {START_AUTOSET, channelRequest(0x1, 0, 0), -6}, // option word missing
        {SAMPLE_ADVANCE, maskRequest(0, 0), -6},        // channel missing
    };
    for (const Case& c : refused)
        EXPECT_EQ(call(c.command, c.request).status, c.status);
    EXPECT_TRUE(signalCalls.empty());

    // An unknown output bit answers -33 after the signal was sent.
    EXPECT_EQ(call(SAMPLE_ADVANCE, channelRequest(0, 1, 1)).status, -33);
    ASSERT_EQ(signalCalls.size(), 1u);
    EXPECT_EQ(signalCalls[0].channel, 1);

    signalResult = -42;
    EXPECT_EQ(call(STOP_AUTOSET, channelRequest(0, 0, 0)).status, -25);
    EXPECT_EQ(call(SAMPLE_ADVANCE, channelRequest(0, 0, 0)).status, -25);
    EXPECT_NE(srvtest::readLog("SRVParametersLog.txt").find("DPPLayer error (-42) stopping auto-set."),
              std::string::npos);
}

} // namespace
