// Board information, register, spectra-count and date-time commands over TCP
// against the server process on the simulated board (profile "orlu-pha":
// OR5780, 8 channels, serial 1101, firmware 4.22 / 128.70).
#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "CommandTestSupport.h"

using namespace cmdtest;

namespace {

// A register the board keeps as plain storage.
constexpr uint32_t kScratch = 0x8F00;

class BoardCommands : public ServerSuite {
protected:
    static void SetUpTestSuite() { startServer(); }

    static Bytes write(uint64_t maskIn, std::initializer_list<uint32_t> fields, uint64_t maskOut = 0) {
        Request r = maskRequest(maskIn, maskOut);
        for (uint32_t f : fields)
            r.u32(f);
        return request(WRITE_REGISTER, r);
    }
    static uint32_t read(uint32_t address) {
        Reader r(request(READ_REGISTER, maskRequest(0x1, 0x2).u32(address)));
        EXPECT_EQ(r.status(), 0);
        return r.status() == 0 ? r.u32() : 0xDEADBEEF;
    }
};

TEST_F(BoardCommands, BoardInfoSendsEveryFieldInBitOrder) {
    Bytes reply = request(BOARD_INFO, Request().u64((1ull << 23) - 1));
    Reader r(reply);
    ASSERT_EQ(r.status(), 0);
    EXPECT_EQ(reply.size(), 2u + 117u); // 23 fields
    EXPECT_EQ(r.text(12), "OR5780");
    r.i32(); // model code: the board layer's model number, mapped
    EXPECT_EQ(r.u32(), 8u);
    EXPECT_EQ(r.u16(), 4); // board firmware 4.22
    EXPECT_EQ(r.u16(), 22);
    EXPECT_EQ(r.u16(), 0);
    EXPECT_EQ(r.u16(), 128); // channel firmware 128.70
    EXPECT_EQ(r.u16(), 70);
    EXPECT_EQ(r.u16(), 0);
    EXPECT_EQ(r.raw(17), Bytes(17, 0));
    EXPECT_EQ(r.u32(), 1101u);
    EXPECT_EQ(r.i32(), 15); // family 16
    EXPECT_EQ(r.u32(), 0u); // high-voltage channels
    EXPECT_EQ(r.i32(), 2);  // form factor
    EXPECT_EQ(r.u32(), 3u); // information word
    EXPECT_EQ(r.u32(), 14u);
    EXPECT_GT(r.u32(), 0u); // sample period in ps
    EXPECT_EQ(r.u32(), 0u); // LVDS groups of form factor 2
    r.u32();                // virtual traces
    r.u32();                // monitor outputs
    r.u32();                // energy bits
    EXPECT_EQ(r.text(20), "0.99.10");
    EXPECT_EQ(r.u32(), 1u); // time-interval spectra
    EXPECT_EQ(r.left(), 0u);

    // Single fields keep their sizes: serial number alone, version alone.
    Reader serial(request(BOARD_INFO, Request().u64(1ull << 10)));
    EXPECT_EQ(serial.u32(), 1101u);
    EXPECT_EQ(serial.left(), 0u);
    EXPECT_EQ(request(BOARD_INFO, Request().u64(1ull << 21)).size(), 22u);
}

TEST_F(BoardCommands, BoardInfoRefusals) {
    Bytes none = request(BOARD_INFO, Request().u64(0));
    EXPECT_EQ(status(none), 0);
    EXPECT_EQ(none.size(), 2u);
    Bytes unknown = request(BOARD_INFO, Request().u64(((1ull << 23) - 1) | (1ull << 23)));
    EXPECT_EQ(status(unknown), -33);
    EXPECT_EQ(unknown.size(), 2u);
    EXPECT_EQ(status(request(BOARD_INFO, Bytes{1, 0, 0})), -6);
    EXPECT_NE(log("SRV_ConfigurationManagementLog.txt").find("Unsupported dataMask 0xffffff (0x800000 unknown)"),
              std::string::npos);
}

TEST_F(BoardCommands, MaskedWriteKeepsTheBitsOutsideTheMask) {
    struct Case {
        const char* what;
        uint64_t maskIn;
        std::initializer_list<uint32_t> fields;
        uint32_t expected;
    };
    // Each case starts from 0x12345678.
    const Case cases[] = {
        {"bits 8-15", 0x7, {kScratch, 0xAABBCCDD, 0x0000FF00}, 0x1234CC78},
        {"mask 0 rewrites the register", 0x7, {kScratch, 0xAABBCCDD, 0}, 0x12345678},
        {"no mask: the whole register", 0x3, {kScratch, 0xAABBCCDD}, 0xAABBCCDD},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(status(write(0x3, {kScratch, 0x12345678})), 0);
        EXPECT_EQ(status(write(c.maskIn, c.fields)), 0) << c.what;
        EXPECT_EQ(read(kScratch), c.expected) << c.what;
    }

    // Without the address bit both commands use register 0.
    ASSERT_EQ(status(write(0x2, {0x5A})), 0);
    Reader zero(request(READ_REGISTER, maskRequest(0, 0x2)));
    ASSERT_EQ(zero.status(), 0);
    EXPECT_EQ(zero.u32(), 0x5Au);
}

TEST_F(BoardCommands, RegisterRequestRefusals) {
    ASSERT_EQ(status(write(0x3, {kScratch, 1})), 0);
    // An unknown input bit writes nothing.
    EXPECT_EQ(status(write(0xB, {kScratch, 2})), -33);
    EXPECT_EQ(read(kScratch), 1u);
    // An unknown output bit answers -33 after the write.
    Bytes written = write(0x3, {kScratch, 3}, 0x1);
    EXPECT_EQ(status(written), -33);
    EXPECT_EQ(written.size(), 2u);
    EXPECT_EQ(read(kScratch), 3u);
    // Command 7 sends the value only on out-bit 1.
    Bytes bare = request(READ_REGISTER, maskRequest(0x1, 0).u32(kScratch));
    EXPECT_EQ(status(bare), 0);
    EXPECT_EQ(bare.size(), 2u);
    Bytes wrongBit = request(READ_REGISTER, maskRequest(0x1, 0x1).u32(kScratch));
    EXPECT_EQ(status(wrongBit), -33);
    EXPECT_EQ(wrongBit.size(), 2u);
    // Fields the mask promises but the payload lacks.
    EXPECT_EQ(status(write(0x7, {kScratch, 9})), -6);
    EXPECT_EQ(status(request(READ_REGISTER, maskRequest(0x1, 0x2))), -6);
    EXPECT_EQ(read(kScratch), 3u);
}

TEST_F(BoardCommands, SpectraCountOfAChannel) {
    Reader r(request(SPECTRA_COUNT, Request().u64(0x3).i32(0)));
    ASSERT_EQ(r.status(), 0);
    EXPECT_EQ(r.u32(), 1u); // one energy spectrum
    EXPECT_EQ(r.u32(), 0u); // no MCS firmware on this board
    EXPECT_EQ(r.left(), 0u);
    EXPECT_EQ(status(request(SPECTRA_COUNT, Request().u64(0x3).i32(8))), -33);
    EXPECT_EQ(status(request(SPECTRA_COUNT, Request().u64(0x4).i32(0))), -33);
    EXPECT_EQ(status(request(SPECTRA_COUNT, Request().u64(0x3))), -6);
    EXPECT_NE(log("SRV_ConfigurationManagementLog.txt").find("Channel '8' not found."), std::string::npos);
}

TEST_F(BoardCommands, DateTimeIsReadNeverSet) {
    std::time_t before = std::time(nullptr);
    Reader r(request(DATE_TIME, maskRequest(0, 0x1)));
    ASSERT_EQ(r.status(), 0);
    std::string text = r.text(20);
    EXPECT_EQ(r.left(), 0u);
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(text, parts, std::regex(R"((\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d))"))) << text;
    struct tm local = {};
    localtime_r(&before, &local);
    EXPECT_NEAR(std::stoi(parts[1]), local.tm_year + 1900, 1);

    // A set always fails; a text without its terminator is cut to 19 characters.
    Bytes set = request(DATE_TIME, maskRequest(0x1, 0x1).text("2031-01-01T00:00:00ZZZZ", 20));
    EXPECT_EQ(status(set), -1);
    EXPECT_EQ(set.size(), 2u);
    EXPECT_NE(log("SRV_ConfigurationManagementLog.txt").find("Error setting datetime 2031-01-01T00:00:00\n"),
              std::string::npos);
    EXPECT_EQ(status(request(DATE_TIME, maskRequest(0x1, 0))), -6);
    EXPECT_EQ(status(request(DATE_TIME, maskRequest(0x2, 0x1))), -33);
    EXPECT_EQ(status(request(DATE_TIME, maskRequest(0, 0x3))), -33);
    EXPECT_EQ(status(request(DATE_TIME, Bytes(8, 0))), -6);
}

} // namespace
