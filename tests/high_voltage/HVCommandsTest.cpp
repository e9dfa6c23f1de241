// The server's high-voltage commands over TCP, against a server process
// started on the simulated family-7 board with two HV channels.
#include <string>

#include "../server_commands/CommandTestSupport.h"

namespace {

using cmdtest::kChannel;
using cmdtest::kHVChannel;
using cmdtest::kHVRange;
using cmdtest::Reader;
using cmdtest::Request;
using srvtest::Bytes;

using namespace srvtest::command;

class HVCommands : public cmdtest::ServerSuite {
protected:
    /* The board at usb link 1: the "orlu-pha-hv" profile. */
    static void SetUpTestSuite() { startServer({}, {"-t", "usb", "-n", "1"}); }

    static std::string hvLog() { return log("SRV_HVRange.txt"); }

    static Bytes switchRequest(uint64_t in, uint64_t out, int32_t hv) {
        Request r;
        r.u64(in).u64(out).i32(hv);
        return r;
    }
    /* The on-state through command 45 without a new state. */
    static uint32_t onState(int32_t hv) {
        Bytes reply = request(HV_ONOFF, switchRequest(0, 1, hv));
        Reader r(reply);
        EXPECT_EQ(0, r.status());
        return r.u32();
    }
    /* The supply's control register of HV channel hv, read with command 7. */
    static uint32_t controlRegister(int32_t hv) {
        Request r;
        r.u64(1).u64(2).u32(0x1034u | uint32_t(2 + hv) << 8);
        Bytes reply = request(READ_REGISTER, r);
        Reader reader(reply);
        EXPECT_EQ(0, reader.status());
        return reader.u32();
    }
};

TEST_F(HVCommands, ChannelInfoReportsRangesAndPolarity) {
    for (int32_t hv : {0, 1}) {
        Bytes reply = request(HV_CHANNEL_INFO, Request().u64(0x3).i32(hv));
        Reader r(reply);
        ASSERT_EQ(0, r.status());
        EXPECT_EQ(1u, r.u32());
        EXPECT_EQ(hv, r.i32()); /* model ending in 'M': channel 1 negative */
        EXPECT_EQ(0u, r.left());
    }
    Bytes polarityOnly = request(HV_CHANNEL_INFO, Request().u64(0x2).i32(1));
    EXPECT_EQ(6u, polarityOnly.size());

    struct Case {
        Bytes payload;
        int16_t status;
    };
    for (const Case& c : {Case{Request().u64(0x3).i32(2), -33}, Case{Request().u64(0x3).i32(-1), -33},
                          Case{Request().u64(0x7).i32(0), -33}, Case{Request().u64(0x3), -6}}) {
        Bytes reply = request(HV_CHANNEL_INFO, c.payload);
        EXPECT_EQ(c.status, status(reply));
        EXPECT_EQ(2u, reply.size()); /* header and status only */
    }
    EXPECT_NE(std::string::npos, hvLog().find("HV Channel '2' not found."));
    EXPECT_NE(std::string::npos, hvLog().find("Unsupported dataMask 0x7 (0x4 unknown)"));
}

TEST_F(HVCommands, RangeInfoReportsTheLimitsKindAndNames) {
    Bytes reply = request(HV_RANGE_INFO, Request().u64(0xFFFFFF).path({1, kHVChannel, 0, kHVRange}));
    Reader r(reply);
    ASSERT_EQ(0, r.status());
    const double expected[21] = {0,    5100, 0.1,  0,  315, 0.01, 0, 5100, 0.1, 0, 315,
                                 0.01, 0,    5100, 20, 1,   500,  1, 1,    500, 1};
    const char* names[7] = {"VSET", "ISET", "VMON", "IMON", "VMAX", "RAMPUP", "RAMPDOWN"};
    for (int k = 0; k < 21; ++k)
        EXPECT_DOUBLE_EQ(expected[k], r.f64()) << names[k / 3] << " field " << k % 3;
    EXPECT_EQ(0, r.i32());
    EXPECT_EQ("HV_RANGE_HPGE", r.text());
    EXPECT_EQ("HPGe", r.text());
    EXPECT_EQ(0u, r.left());

    /* One field per bit, in bit order: bit 8 is the VMON step, bit 14 the VMAX step. */
    Bytes some =
        request(HV_RANGE_INFO, Request().u64((1u << 8) | (1u << 14) | (1u << 22)).path({0, kHVChannel, 0, kHVRange}));
    Reader s(some);
    ASSERT_EQ(0, s.status());
    EXPECT_DOUBLE_EQ(0.1, s.f64());
    EXPECT_DOUBLE_EQ(20, s.f64());
    EXPECT_EQ("HV_RANGE_HPGE", s.text());
    EXPECT_EQ(0u, s.left());

    /* Five path elements: the fifth is ignored. */
    Bytes five = request(HV_RANGE_INFO, Request().u64(1u << 21).path({0, kHVChannel, 0, kHVRange, 7}));
    ASSERT_EQ(0, status(five));
    EXPECT_EQ(6u, five.size());
}

TEST_F(HVCommands, RangeInfoRefusesPathsThatNameNoRange) {
    struct Case {
        Bytes payload;
        int16_t status;
        const char* message; /* nullptr: none expected */
    };
    const Case cases[] = {
        {Request().u64(1).path({0, kHVChannel}), -33, "Range '-1' not found on HV channel '0'."},
        {Request().u64(1).path({}), -33, "Range '-1' not found on HV channel '-1'."},
        {Request().u64(1).path({0, kHVRange}), -33, "Range '0' not found on HV channel '-1'."},
        {Request().u64(1).path({0, kHVChannel, 1, kHVRange}), -33, "Range '1' not found on HV channel '0'."},
        {Request().u64(1).path({2, kHVChannel, 0, kHVRange}), -33, "Range '0' not found on HV channel '2'."},
        {Request().u64(1).path({0, kHVChannel, -3, kHVRange}), -33, "Range '-3' not found on HV channel '0'."},
        {Request().u64(1).path({0, kHVChannel, 0, kChannel}), -10, nullptr},
        {Request().u64(1ull << 24).path({0, kHVChannel, 0, kHVRange}), -33, "Unsupported dataMask 0x1000000"},
        {Request().u64(1).path({0, 3, 0, 4, 0, 3, 0, 4, 0, 3, 0, 4, 0}), -6, nullptr},
        {Request().u64(1), -6, nullptr},
    };
    for (const Case& c : cases) {
        size_t logBefore = hvLog().size();
        Bytes reply = request(HV_RANGE_INFO, c.payload);
        EXPECT_EQ(c.status, status(reply)) << (c.message ? c.message : "");
        EXPECT_EQ(2u, reply.size());
        std::string added = hvLog().substr(logBefore);
        if (c.message != nullptr)
            EXPECT_NE(std::string::npos, added.find(c.message)) << added;
        else
            EXPECT_EQ(std::string::npos, added.find("not found")) << added;
    }
}

TEST_F(HVCommands, OnOffReportsAndSwitchesTheChannel) {
    ASSERT_EQ(0, status(request(HV_OFF, switchRequest(0, 0, 0))));
    /* Without a new state nothing changes. */
    EXPECT_EQ(0u, onState(0));
    EXPECT_EQ(0u, onState(0));

    Bytes reply = request(HV_ONOFF, Request().u64(1).u64(1).i32(0).u32(1));
    Reader r(reply);
    ASSERT_EQ(0, r.status());
    EXPECT_EQ(0u, r.u32()); /* the state before */
    EXPECT_EQ(1u, onState(0));
    EXPECT_EQ(1u, controlRegister(0) & 1);
    EXPECT_EQ(0u, controlRegister(1) & 1);

    reply = request(HV_ONOFF, Request().u64(1).u64(0).i32(0).u32(0));
    EXPECT_EQ(0, status(reply));
    EXPECT_EQ(2u, reply.size());
    EXPECT_EQ(0u, onState(0));

    struct Case {
        Bytes payload;
        int16_t status;
    };
    for (const Case& c : {Case{Request().u64(2).u64(1).i32(0), -33}, Case{Request().u64(1).u64(1).i32(0), -6},
                          Case{Request().u64(0).u64(3).i32(0), -33}, Case{Request().u64(0).u64(1).i32(2), -10}}) {
        Bytes failed = request(HV_ONOFF, c.payload);
        EXPECT_EQ(c.status, status(failed));
        EXPECT_EQ(2u, failed.size());
    }
    EXPECT_EQ(0u, onState(0));
}

TEST_F(HVCommands, OnAndOffSwitchThroughTheSetPath) {
    ASSERT_EQ(0, status(request(HV_OFF, switchRequest(0, 0, 1))));
    ASSERT_EQ(0, status(request(HV_ON, switchRequest(0, 0, 1))));
    EXPECT_EQ(1u, onState(1));
    EXPECT_EQ(1u, controlRegister(1) & 1);
    ASSERT_EQ(0, status(request(HV_OFF, switchRequest(0, 0, 1))));
    EXPECT_EQ(0u, onState(1));

    /* An input bit: refused before anything is done. */
    EXPECT_EQ(-33, status(request(HV_ON, switchRequest(1, 0, 1))));
    EXPECT_EQ(0u, onState(1));
    EXPECT_NE(std::string::npos, hvLog().find("Unsupported cmdMaskIn 0x1 (0x1 unknown)"));
    /* An output bit: the switch happens, the answer is -33. */
    EXPECT_EQ(-33, status(request(HV_ON, switchRequest(0, 1, 1))));
    EXPECT_EQ(1u, onState(1));
    EXPECT_EQ(-33, status(request(HV_OFF, switchRequest(0, 4, 1))));
    EXPECT_EQ(0u, onState(1));

    /* The channel is not checked by the command: the parameter look-up fails. */
    size_t logBefore = hvLog().size();
    EXPECT_EQ(-10, status(request(HV_ON, switchRequest(0, 0, 2))));
    EXPECT_EQ(-10, status(request(HV_OFF, switchRequest(0, 0, -1))));
    EXPECT_NE(std::string::npos, hvLog().substr(logBefore).find("Parameter 'DPPL_PARAM_HVCH_ON' with code"));
    EXPECT_EQ(-6, status(request(HV_ON, Request().u64(0).u64(0))));
}

} // namespace
