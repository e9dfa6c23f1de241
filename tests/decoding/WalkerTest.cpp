/* The board-aggregate walk: every size in a buffer is checked against the
 * bytes read, so short, truncated, oversized or corrupted buffers are refused
 * (-39) or yield nothing, never read past the buffer and never stall; and a
 * seeded fuzz of random and mutated buffers never brings the library down. */
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "DecodeSupport.h"
#include "ZarnFirmwareTable.h"

using namespace dectest;

namespace {

constexpr uint32_t kOrluFormat = (1u << 28) | (1u << 29); /* time tag and energy */

/* A valid channel aggregate of n events on the pulse-height format. */
std::vector<uint32_t> orluUnit(uint32_t events) {
    std::vector<uint32_t> words = {0x80000000u | (2 + 2 * events), kOrluFormat};
    for (uint32_t i = 0; i < events; ++i) {
        words.push_back(100 + i);
        words.push_back(1000 + i);
    }
    return words;
}

class Walker : public testing::Test {
protected:
    Walker() : r(OrluPha()) {
        for (uint32_t ch = 0; ch < 8; ++ch)
            r.channel(ch, DPPL_PARAM_CH_GAINREG, 1);
        r.allocate(32, 0, 0);
        for (uint32_t ch = 0; ch < 8; ++ch)
            r->channels[ch].nEvents = 9; /* stale counts of an earlier read */
    }
    int walk(const std::vector<uint32_t>& words, int64_t bytes = -1) {
        r.load(words, bytes);
        return r.walk();
    }
    Record r;
};

TEST_F(Walker, BuffersOfFourWordsOrFewerHoldNothing) {
    for (uint32_t bytes : {0u, 3u, 4u, 15u, 16u}) {
        EXPECT_EQ(walk({0xA0000004u, 0x1, 0, 0, 0x80000004u}, bytes), 0) << bytes;
        EXPECT_EQ(r->channels[0].nEvents, 0u) << bytes;
    }
}

TEST_F(Walker, TrailingBytesAndAnEmptyAggregateAreIgnored) {
    std::vector<uint32_t> buffer = BoardAggregate({{1, orluUnit(2)}});
    std::vector<uint32_t> empty = {0xA0000004u, 0, 0, 0};
    buffer.insert(buffer.end(), empty.begin(), empty.end());
    buffer.insert(buffer.end(), empty.begin(), empty.end());
    ASSERT_EQ(walk(buffer, (int64_t)buffer.size() * 4 - 3), 0);
    EXPECT_EQ(r->channels[1].nEvents, 2u);
    EXPECT_EQ(r->channels[0].nEvents, 0u);
}

TEST_F(Walker, MalformedSizesAreRefused) {
    std::vector<uint32_t> valid = BoardAggregate({{0, orluUnit(1)}, {3, orluUnit(2)}});
    struct Case {
        const char* name;
        std::vector<uint32_t> words;
    };
    auto with = [&](size_t index, uint32_t value) {
        std::vector<uint32_t> w = valid;
        w[index] = value;
        return w;
    };
    const size_t second = 4 + orluUnit(1).size();
    Case cases[] = {
        {"board aggregate of size 0", with(0, 0xA0000000u)},
        {"board aggregate shorter than its header", with(0, 0xA0000003u)},
        {"board aggregate beyond the buffer", with(0, 0xA0000000u | (uint32_t)(valid.size() + 1))},
        {"board aggregate ending inside a unit", with(0, 0xA0000000u | (uint32_t)(valid.size() - 1))},
        {"empty mask with a longer aggregate", {0xA0000006u, 0, 0, 0, 0, 0}},
        {"unit aggregate of size 0", with(4, 0x80000000u)},
        {"unit aggregate beyond its board aggregate", with(second, 0x80000000u | 60)},
        {"unit aggregate ending before its board aggregate", with(1, 0x1)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(walk(c.words), DPPL_ERR_INVALID_EVENT) << c.name;
        EXPECT_EQ(r->channels[0].nEvents, 9u) << c.name; /* counts untouched */
    }
    EXPECT_EQ(walk(valid), 0);
    EXPECT_EQ(r->channels[3].nEvents, 2u);
}

TEST_F(Walker, ReadBytesBeyondTheBufferAreNotWalked) {
    std::vector<uint32_t> buffer = BoardAggregate({{0, orluUnit(1)}});
    r.load(buffer);
    r->roBuffer.ROBytes = r->roBuffer.ROAllocSize + 4096; /* a read reporting more than fits */
    /* The walk ends at the buffer's end: the zeros after the aggregate are no
     * aggregate. */
    EXPECT_EQ(r.walk(), DPPL_ERR_INVALID_EVENT);
}

TEST(WalkerMask, AMaskBitBeyondTheChannelsIsRefused) {
    Format f = OrluPha();
    f.channels = 4;
    Record r(f);
    r.allocate(4, 0, 0);
    r.load(BoardAggregate({{5, {0x80000003u, 1u << 28, 7}}}));
    EXPECT_EQ(r.walk(), DPPL_ERR_INVALID_EVENT);
    r.load(BoardAggregate({{3, {0x80000003u, 1u << 28, 7}}}));
    EXPECT_EQ(r.walk(), 0);
    EXPECT_EQ(r->channels[3].nEvents, 1u);
}

/* The DPP codes a descriptor can carry, each with the library's row or NULL:
 * the lists below follow the firmware rows, so a new firmware is covered
 * with no edit here. */
std::vector<std::pair<int32_t, const ZarnFirmware_t*>> everyDppCode() {
    std::vector<std::pair<int32_t, const ZarnFirmware_t*>> codes;
    for (int32_t code = 0; code <= 255; ++code)
        codes.emplace_back(code, ZarnFirmware_Find(code));
    return codes;
}

TEST(WalkerDispatch, FormatsWithoutADecoderAreUnsupported) {
    int unknown = 0;
    for (const auto& [code, row] : everyDppCode()) {
        if (row != NULL)
            continue;
        unknown++;
        Format f = OrluPha();
        f.dppCode = code;
        Record r(f);
        r.allocate(4, 0, 0);
        r.load(BoardAggregate({{0, orluUnit(1)}}));
        EXPECT_EQ(r.walk(), DPPL_ERR_INVALID_DPP_CODE) << code;
    }
    EXPECT_GT(unknown, 0);
    /* Each aggregate walker serves only the formats whose row names it. */
    const std::pair<ZarnWalkerKind_t, int (*)(c_Digitizer_t*, c_ReadoutBuffer_t*)> walkers[] = {
        {ZARN_WALKER_CHANNEL, GENERIC_GetEvents_Channel},
        {ZARN_WALKER_COUPLE, GENERIC_GetEvents_Couple},
        {ZARN_WALKER_GROUP, GENERIC_GetEvents_Group}};
    for (const auto& [code, row] : everyDppCode()) {
        if (row == NULL)
            continue;
        for (const auto& [kind, walker] : walkers) {
            if (kind == row->walker)
                continue;
            Format f = OrluPha();
            f.dppCode = code;
            Record r(f);
            r.allocate(4, 0, 0);
            r.load(BoardAggregate({{0, orluUnit(1)}}));
            EXPECT_EQ(walker(r.get(), &r->roBuffer), DPPL_ERR_INVALID_DPP_CODE) << code << " walker " << kind;
        }
    }
}

/* Random buffers, and valid buffers of every format with corrupted words,
 * cut short or with words dropped: the walk answers success or one of the
 * malformed-buffer codes, keeps its counts within the room it has, and
 * never touches memory outside the buffer and the event arrays (the
 * sanitizers watch). */
TEST(WalkerFuzz, CorruptedBuffersNeverCrash) {
    struct Target {
        Format format;
        const ZarnSim_Encoder_t* encoder;
        uint32_t config;
    } targets[] = {
        {OrluPha(16), &ZarnSim_OrluPHAEncoder, (1u << 16) | (1u << 18) | (1u << 19)},
        {OrluPha(7), &ZarnSim_OrluPHAEncoder, (1u << 11) | (1u << 16) | (1u << 18) | (1u << 19)},
        {PembPsd(), &ZarnSim_PembPSDEncoder, (1u << 16) | (1u << 17) | (1u << 18) | (1u << 19)},
        {PembPha(), &ZarnSim_PembPHAEncoder, (1u << 16) | (1u << 18) | (1u << 19) | (1u << 20)},
    };
    const std::set<int> allowed = {0, DPPL_ERR_INVALID_EVENT, DPPL_ERR_EVENT_BUFFER_OVERFLOW, DPPL_ERR_INVALID_TRACE};
    std::mt19937 rng(20240611);
    int cases = 0, accepted = 0;
    for (const Target& t : targets) {
        Record r(t.format);
        for (uint32_t ch = 0; ch < t.format.channels; ++ch)
            r.channel(ch, DPPL_PARAM_CH_GAINREG, 1);
        r.allocate(24, 12, 24); /* half the events carry 24-sample traces */
        Encoder enc(*t.encoder, t.format);
        enc.regs[0x8000] = t.config;
        std::vector<Pulse> pulses = MakePulses(rng(), {0, 1, 2, 5}, 12, 1u << 20, 16383, 24);
        const std::vector<uint32_t> valid = enc.buffer(pulses, 6);
        for (int i = 0; i < 1000; ++i, ++cases) {
            std::vector<uint32_t> words = valid;
            switch (i % 4) {
            case 0: /* random words, biased toward plausible headers */
                words.resize(1 + rng() % 64);
                for (uint32_t& w : words)
                    w = rng() % 3 == 0 ? (0xA0000000u | (rng() % 80))
                        : rng() % 2    ? (0x80000000u | (rng() % 40))
                                       : rng();
                break;
            case 1: /* a few words flipped */
                for (int k = 0, n = 1 + (int)(rng() % 4); k < n; ++k)
                    words[rng() % words.size()] ^= 1u << (rng() % 32);
                break;
            case 2: /* cut short */ words.resize(rng() % words.size()); break;
            default: /* a word dropped and one replaced by a random size */
                words.erase(words.begin() + (long)(rng() % words.size()));
                words[rng() % words.size()] = rng() % 2 ? rng() % 100 : 0x80000000u | (rng() % 100);
                break;
            }
            r.load(words);
            int code = r.walk();
            ASSERT_TRUE(allowed.count(code)) << "code " << code << " in case " << i;
            accepted += code == 0;
            for (uint32_t ch = 0; ch < t.format.channels; ++ch)
                ASSERT_LE(r->channels[ch].nEvents, r->channels[ch].capacity);
        }
        r.load(valid);
        EXPECT_EQ(r.walk(), 0) << t.format.dppCode; /* the record is still sound */
    }
    EXPECT_EQ(cases, 4000);
    EXPECT_GT(accepted, 0);
}

} // namespace
