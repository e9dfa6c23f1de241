/* The texts of the decoders' refusals: each family's decoder names the place
 * of a malformed aggregate (its channel, its couple of channels) in its own
 * log file, and the formats whose message has the size bare keep it so. */
#include <gtest/gtest.h>

#include <string>

#include "../support/LogFolder.h"
#include "DecodeSupport.h"
#include "ZarnDecoderChecks.h"

using namespace dectest;

namespace {

constexpr uint32_t kOrluTimeTag = 1u << 28, kOrluEnergy = 1u << 29;
constexpr uint32_t kPembTimeTag = 1u << 29, kPembCharge = 1u << 30;

struct DecoderCase {
    const char* name;
    Format format;
    uint32_t unit; /* mask bit of the unit aggregate: a channel, or a couple */
    std::vector<uint32_t> aggregate;
    const char* logFile;
    const char* text;
};

TEST(RefusalText, NamesThePlaceInTheFamilysLog) {
    const DecoderCase cases[] = {
        {"Orlu",
         OrluPha(),
         3,
         {0x80000005u, kOrluTimeTag | kOrluEnergy, 1, 2, 3},
         "ZarnBoard_OrluLog.txt",
         "[3] Size of Aggregate (5) doesn't give integer number of events"},
        {"Orlu",
         OrluPha(),
         2,
         {4, kOrluTimeTag, 1, 2},
         "ZarnBoard_OrluLog.txt",
         "[2] Invalid aggregate header word 0x4"},
        {"PembPsd",
         PembPsd(),
         1,
         {0x80000005u, kPembTimeTag | kPembCharge, 1, 2, 3},
         "ZarnBoard_PembLog.txt",
         "[2|3] Size of Aggregate (5) doesn't give integer number of events"},
        {"PembPha",
         PembPha(),
         2,
         {0x80000005u, kPembTimeTag | kPembCharge, 1, 2, 3},
         "ZarnBoard_PembLog.txt",
         "[4|5] Size of Aggregate 5 doesn't give integer number of events"},
        {"PembPsd", PembPsd(), 0, {0x80000003u, 0, 1}, "ZarnBoard_PembLog.txt", "[0|1] Found EvtSize=0 in header"},
    };
    for (const DecoderCase& c : cases) {
        testsup::LogFolder logs("refusal-text-");
        Record r(c.format);
        r.allocate(4, 0, 0);
        r.load(BoardAggregate({{c.unit, c.aggregate}}));
        EXPECT_EQ(r.walk(), DPPL_ERR_INVALID_EVENT) << c.name;
        EXPECT_NE(logs.Read(c.logFile).find(c.text), std::string::npos) << c.name << ": " << c.text;
    }
}

/* The text of the one message of a log file: what follows "<source>:<line> ". */
std::string messageText(const std::string& log) {
    size_t at = log.find("RefusalTextTest:");
    if (at == std::string::npos)
        return "";
    size_t start = log.find(' ', at) + 1, end = log.find('\n', start);
    return log.substr(start, end - start);
}

TEST(RefusalText, EachPlaceKindPrefixesTheMessage) {
    static const c_LogModule_t log = {"RefusalTextLog.txt", "RefusalTextTest"};
    struct Case {
        GENERIC_DecoderPlace_t at;
        const char* text;
    } cases[] = {
        {GENERIC_BoardPlace(&log, nullptr), "Number of events 5 exceeds the number of available events (4)"},
        {GENERIC_ChannelPlace(&log, nullptr, 7), "[7] Number of events 5 exceeds the number of available events (4)"},
        {GENERIC_CouplePlace(&log, nullptr, 6, 7),
         "[6|7] Number of events 5 exceeds the number of available events (4)"},
        {GENERIC_GroupPlace(&log, nullptr, 8, 15),
         "[8:15] Number of events 5 exceeds the number of available events (4)"},
    };
    for (const Case& c : cases) {
        testsup::LogFolder logs("refusal-text-");
        EXPECT_EQ(GENERIC_RefuseEventRoom(c.at, 5, 4), DPPL_ERR_EVENT_BUFFER_OVERFLOW);
        EXPECT_EQ(messageText(logs.Read("RefusalTextLog.txt")), c.text);
    }
}

} // namespace
