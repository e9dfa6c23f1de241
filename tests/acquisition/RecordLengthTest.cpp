/* Record lengths at the edges of every simulated board whose firmware records
 * waveforms, opened by the library from the shipped definitions: from the
 * smallest record length through values between the steps and odd ones, every
 * read succeeds, the events decoded are the events the board produced (its
 * own count), and each waveform is as long as the board sent it. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "../support/SimProfiles.h"
#include "AcqSupport.h"

using namespace acqtest;

namespace {

struct BoardCase {
    std::string name;
    c_ConnParams_t params;
    /* Standard waveform firmware: every trigger is an event on every channel. */
    bool perTrigger;
    /* The Draq family's waveform blocks hold three samples of a channel; a
     * record of the register's length is sent as the whole blocks it holds
     * (every other board sends it as the next whole unit). */
    bool dropsPartial;
};

/* Every profile that the library opens by its address, on a firmware the
 * library supports. */
std::vector<BoardCase> boardsTheLibraryOpens() {
    std::vector<BoardCase> boards;
    for (const testsup::SimProfile& p : testsup::shippedProfiles().boards) {
        if (p.noConnection || !testsup::librarySupports(p))
            continue;
        std::string name = p.name;
        std::replace(name.begin(), name.end(), '-', '_');
        bool waveformsOnly = testsup::waveformsOnly(p);
        boards.push_back({name, testsup::connectionOf(p), waveformsOnly, waveformsOnly && p.info.FamilyCode == 4});
    }
    return boards;
}

void PrintTo(const BoardCase& board, std::ostream* out) { *out << board.name; }

class RecordLength : public testing::TestWithParam<BoardCase> {};

/* Record lengths in nanoseconds for a board whose smallest record length is
 * min and whose steps are step long: the smallest, the one after it, values
 * between the steps, odd values and one below the smallest. */
std::vector<double> lengthsOf(double min, double step, double period) {
    std::vector<double> lengths = {min, min + step, min + step / 2, 1.0, 201, 333, 1001, 1008, 1010};
    for (double samples : {17.0, 25.0, 127.0})
        lengths.push_back(samples * period);
    return lengths;
}

TEST_P(RecordLength, EveryReadSucceedsAndDeliversWhatTheBoardProduced) {
    const BoardCase& board = GetParam();
    LiveBoard b;
    ASSERT_EQ(b.open(board.params), 0);
    /* The samples the board's waveforms come in (the library's firmware row). */
    const uint32_t unit = ZarnFirmware_WaveformStep(b.get());
    const uint32_t channels = b->descriptor.NumChannels;
    const double period = b->descriptor.SamplePeriod;
    ASSERT_EQ(ZarnSim_SetClockMode(b.link(), ZARN_SIM_CLOCK_AS_FAST_AS_READ), 0);
    ASSERT_EQ(ZarnSim_SetRate(b.link(), -1, 2000), 0);
    c_Parameter_t* waveforms = c_pfind(b.get(), DPPL_PARAM_WAVEFORMS);
    if (waveforms != NULL) /* standard waveform firmware always records them */
        ASSERT_EQ(c_pset(b.get(), waveforms, 1), 0);
    c_Parameter_t* recordLength = c_pfind(b.get(), DPPL_PARAM_RECLEN);
    ASSERT_NE(recordLength, nullptr);

    for (double length : lengthsOf(recordLength->min, recordLength->incr, period)) {
        SCOPED_TRACE(testing::Message() << "record length " << length << " ns");
        ASSERT_EQ(c_pset(b.get(), recordLength, length), 0);
        /* Buffers sized again later (any other setting may do it) must still
         * hold what the board sends. */
        ASSERT_EQ(c_brealloc(b.get()), 0);
        const uint32_t registerSamples = (b.peek(0x1020) & 0x3FFF) * 8;
        const uint32_t expected =
            board.dropsPartial ? registerSamples / unit * unit : (registerSamples + unit - 1) / unit * unit;

        std::vector<uint64_t> decoded(channels, 0);
        uint64_t withWaveform = 0;
        auto consume = [&] {
            for (uint32_t ch = 0; ch < channels; ++ch) {
                const c_ChannelRecord_t& rec = b->channels[ch];
                for (uint32_t i = 0; i < rec.nEvents; ++i) {
                    const c_Waveform_t* w = rec.events[i].waveform;
                    ASSERT_NE(w, nullptr) << "channel " << ch;
                    ASSERT_EQ(w->nSamples, expected) << "channel " << ch;
                    withWaveform++;
                }
                decoded[ch] += rec.nEvents;
            }
        };
        ASSERT_EQ(c_bstarta(b.get()), 0);
        for (int read = 0; read < 8; ++read) {
            ASSERT_EQ(c_getDPPEvents(b.get(), NULL), 0) << "read " << read;
            consume();
        }
        ASSERT_EQ(c_bstopa(b.get()), 0);
        consume();
        /* The stop reads once; what the board still holds comes in the reads
         * after it, as the server's stop takes them. */
        for (int read = 0; read < 1000; ++read) {
            int32_t bytes = 0;
            ASSERT_EQ(c_getDPPEvents(b.get(), &bytes), 0) << "read " << read << " after the stop";
            consume();
            if (bytes == 0)
                break;
        }
        std::vector<uint64_t> delivered(channels, 0);
        uint64_t triggers = 0;
        for (uint32_t ch = 0; ch < channels; ++ch) {
            uint64_t generated = 0, piled = 0, lost = 0;
            ASSERT_EQ(ZarnSim_GetChannelCounts(b.link(), ch, &generated, &piled, &lost), 0);
            delivered[ch] = generated - lost;
            triggers += delivered[ch];
        }
        for (uint32_t ch = 0; ch < channels; ++ch)
            EXPECT_EQ(decoded[ch], board.perTrigger ? triggers : delivered[ch]) << "channel " << ch;
        EXPECT_GT(withWaveform, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, RecordLength, testing::ValuesIn(boardsTheLibraryOpens()),
                         [](const testing::TestParamInfo<BoardCase>& info) { return info.param.name; });

} // namespace
