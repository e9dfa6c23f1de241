/* Acquisitions on the shipped simulated boards, opened by the library from
 * the shipped definitions: everything the board generates is decoded, time
 * stamps run on across many roll-overs of the boards' time tags, waveforms
 * show the generated pulses, and a recorded run replays event for event
 * with one end-of-run mark on every enabled channel. */
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>
#include <vector>

#include "AcqSupport.h"
#include "ZarnROBuffDumper.h"

using namespace acqtest;

namespace {

struct BoardCase {
    const char* name;
    c_ConnParams_t params;
    bool rollOverFlags; /* the format announces roll-overs in its events */
};

class LiveRun : public testing::TestWithParam<BoardCase> {};

TEST_P(LiveRun, EveryGeneratedEventIsDecodedWithItsTimeRunningOn) {
    LiveBoard b;
    ASSERT_EQ(b.open(GetParam().params), 0);
    const uint32_t channels = b->descriptor.NumChannels;
    ASSERT_EQ(ZarnSim_SetClockMode(b.link(), ZARN_SIM_CLOCK_AS_FAST_AS_READ), 0);
    ASSERT_EQ(ZarnSim_SetSeed(b.link(), 3), 0);
    ASSERT_EQ(ZarnSim_SetRate(b.link(), -1, 20), 0); /* a few seconds of board time a read */
    ASSERT_EQ(c_bstarta(b.get()), 0);

    std::vector<uint64_t> decoded(channels, 0), last(channels, 0), pileups(channels, 0), saturated(channels, 0);
    uint64_t rollOvers = 0;
    auto consume = [&] {
        for (uint32_t ch = 0; ch < channels; ++ch) {
            for (uint32_t i = 0; i < b->channels[ch].nEvents; ++i) {
                const c_DPPEvent_t& e = b->channels[ch].events[i];
                ASSERT_GE(e.timeStamp, last[ch]) << "channel " << ch;
                last[ch] = e.timeStamp;
                pileups[ch] += (e.flags & EVTFLAG_PILEUP) != 0;
                saturated[ch] += (e.flags & EVTFLAG_SATURATED) != 0;
                rollOvers += (e.flags & EVTFLAG_ROLLOVER) != 0;
            }
            decoded[ch] += b->channels[ch].nEvents;
        }
    };
    for (int read = 0; read < 80; ++read) {
        int32_t bytes = 0;
        ASSERT_EQ(c_getDPPEvents(b.get(), &bytes), 0);
        ASSERT_GT(bytes, 0);
        consume();
    }
    ASSERT_EQ(c_bstopa(b.get()), 0);
    consume();

    const uint64_t rollOverPs = (1ull << b->descriptor.TimeTagBits) * (uint64_t)(b->descriptor.SamplePeriod * 1000);
    for (uint32_t ch = 0; ch < channels; ++ch) {
        uint64_t generated = 0, piled = 0, lost = 0;
        ASSERT_EQ(ZarnSim_GetChannelCounts(b.link(), ch, &generated, &piled, &lost), 0);
        EXPECT_EQ(decoded[ch], generated - lost) << "channel " << ch;
        EXPECT_LE(pileups[ch], piled) << "channel " << ch;
        EXPECT_GE(pileups[ch] + saturated[ch], piled) << "channel " << ch;
        EXPECT_GT(last[ch], 3 * rollOverPs) << "channel " << ch; /* several turns of the time tag */
        EXPECT_EQ(b->evtCount[ch], decoded[ch]);
    }
    if (GetParam().rollOverFlags) {
        EXPECT_GT(rollOvers, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, LiveRun,
                         testing::Values(BoardCase{"OrluPulseHeight", OrluPha(), true},
                                         BoardCase{"PembPulseShape", PembPsd14(), false},
                                         BoardCase{"PembPulseHeight", PembPha14(), false}),
                         [](const testing::TestParamInfo<BoardCase>& info) { return info.param.name; });

TEST(LiveWaveforms, ShowTheGeneratedPulse) {
    LiveBoard b;
    ASSERT_EQ(b.open(OrluPha()), 0);
    ASSERT_EQ(ZarnSim_SetClockMode(b.link(), ZARN_SIM_CLOCK_AS_FAST_AS_READ), 0);
    ASSERT_EQ(ZarnSim_SetSeed(b.link(), 4), 0);
    c_Parameter_t* waveforms = c_pfind(b.get(), DPPL_PARAM_WAVEFORMS);
    ASSERT_NE(waveforms, nullptr);
    ASSERT_EQ(c_pset(b.get(), waveforms, 1), 0);
    c_Parameter_t* preTrigger = c_pfindc(b.get(), 0, DPPL_PARAM_CH_PRETRG);
    ASSERT_NE(preTrigger, nullptr);
    const uint32_t pre = (uint32_t)(preTrigger->value / b->descriptor.SamplePeriod);
    ASSERT_EQ(c_bstarta(b.get()), 0);
    int32_t bytes = 0;
    ASSERT_EQ(c_getDPPEvents(b.get(), &bytes), 0);
    uint32_t checked = 0;
    for (uint32_t ch = 0; ch < b->descriptor.NumChannels; ++ch) {
        for (uint32_t i = 0; i < b->channels[ch].nEvents; ++i) {
            const c_DPPEvent_t& e = b->channels[ch].events[i];
            ASSERT_NE(e.waveform, nullptr);
            const c_Waveform_t& w = *e.waveform;
            ASSERT_GT(w.nSamples, pre + 100);
            ASSERT_LE(w.nSamples, w.traces[0].capacity);
            EXPECT_EQ(w.traces[0].probe, DPPL_PROBE_INPUT);
            const int16_t* s = (const int16_t*)w.traces[0].samples;
            const uint8_t* window = (const uint8_t*)w.traces[3].samples;
            EXPECT_EQ(window[pre], 1);
            EXPECT_EQ(window[pre - 1], 0);
            if (e.flags & (EVTFLAG_PILEUP | EVTFLAG_SATURATED))
                continue;
            int32_t peak = *std::max_element(s, s + w.nSamples);
            int32_t baseline = s[0];
            if (baseline + (int32_t)e.energy >= 16383 - 20)
                continue; /* clipped at the ADC's full scale */
            EXPECT_NEAR(peak - baseline, (int32_t)e.energy, 20) << "channel " << ch << " event " << i;
            checked++;
        }
    }
    EXPECT_GT(checked, 10u);
}

TEST(RecordAndReplay, TheReplayDeliversTheRecordedEventsAndOneEndOfRunMark) {
    TempFile base("run");
    std::vector<std::vector<c_DPPEvent_t>> live;
    std::string path;
    uint32_t channels = 0;
    {
        LiveBoard b;
        ASSERT_EQ(b.open(OrluPha()), 0);
        channels = b->descriptor.NumChannels;
        ASSERT_EQ(ZarnSim_SetClockMode(b.link(), ZARN_SIM_CLOCK_AS_FAST_AS_READ), 0);
        ASSERT_EQ(c_bdsetbf(&b->writer, base.path().c_str()), 0);
        ASSERT_EQ(c_bdnext(b.get(), &b->writer, BD_MODE_CREATE), 0);
        path = b->writer.fileName;
        b->dumpEnabled = 1;
        ASSERT_EQ(c_bstarta(b.get()), 0);
        live.resize(channels);
        auto keep = [&] {
            for (uint32_t ch = 0; ch < channels; ++ch)
                live[ch].insert(live[ch].end(), b->channels[ch].events,
                                b->channels[ch].events + b->channels[ch].nEvents);
        };
        for (int read = 0; read < 6; ++read) {
            ASSERT_EQ(c_getDPPEvents(b.get(), NULL), 0);
            keep();
        }
        ASSERT_EQ(c_bstopa(b.get()), 0); /* its drain is recorded too */
        keep();
        ASSERT_EQ(c_bdclose(&b->writer), 0);
    }
    struct Unlink {
        std::string path;
        ~Unlink() { unlink(path.c_str()); }
    } cleanup{path};

    c_Digitizer_t* replay = new c_Digitizer_t;
    ASSERT_EQ(c_newFileDigitizer(replay, path.c_str()), 0);
    ASSERT_EQ(c_bstarta(replay), 0);
    std::vector<size_t> seen(channels, 0);
    uint64_t largest = 0;
    int reads = 0;
    for (; reads < 100; ++reads) {
        int32_t bytes = 0;
        ASSERT_EQ(c_getDPPEvents(replay, &bytes), 0);
        if (bytes == 0)
            break;
        for (uint32_t ch = 0; ch < channels; ++ch)
            for (uint32_t i = 0; i < replay->channels[ch].nEvents; ++i) {
                const c_DPPEvent_t& e = replay->channels[ch].events[i];
                ASSERT_LT(seen[ch], live[ch].size());
                const c_DPPEvent_t& l = live[ch][seen[ch]++];
                EXPECT_EQ(e.energy, l.energy);
                EXPECT_EQ(e.timeStamp, l.timeStamp);
                EXPECT_EQ(e.flags, l.flags);
                EXPECT_EQ(e.sizeWords, l.sizeWords);
                largest = std::max(largest, e.timeStamp);
            }
    }
    for (uint32_t ch = 0; ch < channels; ++ch)
        EXPECT_EQ(seen[ch], live[ch].size()) << "channel " << ch;
    /* The read that found the end: one synthetic mark on every enabled channel. */
    for (uint32_t ch = 0; ch < channels; ++ch) {
        ASSERT_EQ(replay->channels[ch].nEvents, 1u) << "channel " << ch;
        EXPECT_EQ(replay->channels[ch].events[0].flags, EVTFLAG_END_OF_RUN | EVTFLAG_PSEUDO);
        EXPECT_EQ(replay->channels[ch].events[0].timeStamp, largest + 1);
    }
    replay->lastDataTime -= 1000; /* long past the end: a replay sends no idle flush */
    ASSERT_EQ(c_getDPPEvents(replay, NULL), 0);
    for (uint32_t ch = 0; ch < channels; ++ch)
        EXPECT_EQ(replay->channels[ch].nEvents, 0u);
    /* A stop rewinds: the next read starts at the first recorded buffer. */
    ASSERT_EQ(c_bstopas(replay), 0);
    EXPECT_EQ(replay->acqStatus, ACQSTATUS_STOPPED);
    ASSERT_EQ(c_bstarta(replay), 0);
    ASSERT_EQ(c_getDPPEvents(replay, NULL), 0);
    bool first = false;
    for (uint32_t ch = 0; ch < channels && !first; ++ch)
        first = replay->channels[ch].nEvents > 0 && replay->channels[ch].events[0].timeStamp == live[ch][0].timeStamp;
    EXPECT_TRUE(first);
    /* Channels stop and start on a replay, whose run parameters are pinned. */
    EXPECT_EQ(c_cstopa(replay, 1), 0);
    EXPECT_EQ(replay->channels[1].acqStatus, ACQSTATUS_STOPPED);
    EXPECT_EQ(c_cstarta(replay, 1), 0);
    EXPECT_EQ(replay->channels[1].acqStatus, ACQSTATUS_RUNNING);
    c_freeDgtz(replay);
    delete replay;
}

} // namespace
