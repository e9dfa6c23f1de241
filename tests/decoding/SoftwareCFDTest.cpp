/* The software constant-fraction discrimination and the rise time, on
 * waveforms whose crossing and edges are known exactly, and the CFD as the
 * pulse-shape decoder applies it. */
#include <gtest/gtest.h>

#include <string.h>

#include "DecodeSupport.h"
#include "ZarnParameters_Collections.h"

using namespace dectest;

namespace {

/* Baseline 100, a rise of 40 counts a sample from sample 50 to 100, then flat. */
std::vector<int16_t> ramp(uint32_t samples) {
    std::vector<int16_t> s(samples);
    for (uint32_t i = 0; i < samples; ++i)
        s[i] = (int16_t)(i < 50 ? 100 : i < 100 ? 100 + 40 * (i - 50) : 2100);
    return s;
}

/*
 * Inverted (positive pulse, polarity 0), fraction 0.4 and delay 8: the CFD
 * signal about its baseline is -16 (i - 50) from sample 50 and 24 i - 1520
 * from sample 58, so it crosses zero at 63 1/3: 24 1/3 samples after sample
 * 39 (pre-trigger 40 - 1). At 4 ns a sample that is 97333 ps.
 */
constexpr int64_t kRampFineTimePs = 97333;

class SoftwareCFD : public testing::Test {
protected:
    SoftwareCFD() : r(PembPsd()) { r.allocate(2, 2, 128); }
    int64_t run(const std::vector<int16_t>& in, uint32_t preTrigger, uint32_t preGate) {
        out.assign(in.size(), 0);
        return GENERIC_CalcSoftwareCFDTime(r.get(), 0, 8, 0.4, 0, in.data(), out.data(), (uint32_t)in.size(),
                                           preTrigger, preGate, 1);
    }
    Record r;
    std::vector<int16_t> out;
};

TEST_F(SoftwareCFD, FindsTheCrossingOfAKnownEdge) {
    int64_t fine = run(ramp(128), 40, 10);
    EXPECT_NEAR((double)fine, (double)kRampFineTimePs, 1.0);
    /* The output trace shows the CFD signal about its baseline (truncated:
     * within a count of the exact value). */
    EXPECT_NEAR(out[10], 0, 1);
    EXPECT_NEAR(out[55], -80, 1);
    EXPECT_NEAR(out[64], 16, 1);
}

TEST_F(SoftwareCFD, SmoothingKeepsASlowEdgeInPlace) {
    /* A 2-sample moving average delays a linear edge by half a sample. */
    std::vector<int16_t> in = ramp(128);
    out.assign(in.size(), 0);
    int64_t fine = GENERIC_CalcSoftwareCFDTime(r.get(), 0, 8, 0.4, 1, in.data(), out.data(), 128, 40, 10, 1);
    EXPECT_NEAR((double)fine, (double)kRampFineTimePs + 0.5 * 4000, 500.0);
}

TEST_F(SoftwareCFD, WithoutABaselineWindowOrACrossingThereIsNoFineTime) {
    EXPECT_EQ(run(ramp(128), 11, 10), -1);                      /* 0.9 x 1 sample: no baseline */
    EXPECT_EQ(run(ramp(128), 10, 40), -1);                      /* pre-gate beyond the pre-trigger */
    EXPECT_EQ(run(std::vector<int16_t>(128, 300), 40, 10), -1); /* flat */
    /* The edge at the very end: no fourth sample for the fit, no crossing,
     * and nothing read past the trace. */
    std::vector<int16_t> late(66, 100);
    for (uint32_t i = 58; i < 66; ++i)
        late[i] = (int16_t)(100 + 400 * (i - 57));
    EXPECT_EQ(run(late, 40, 10), -1);
    /* A work area shorter than the waveform is refused. */
    std::vector<int16_t> longer = ramp(256);
    EXPECT_EQ(run(longer, 40, 10), -1);
}

TEST(RiseTime, TenToNinetyPercentOfTheInputTrace) {
    std::vector<int16_t> samples(64, 100);
    for (uint32_t i = 20; i < 64; ++i)
        samples[i] = (int16_t)(i <= 30 ? 100 + 100 * (i - 20) : 1100);
    c_Waveform_t w;
    memset(&w, 0, sizeof w);
    w.nSamples = 64;
    w.traces[1] = {DPPL_PROBE_INPUT, samples.data(), 64};
    w.traces[0] = {3, samples.data(), 64};         /* the first input-signal trace counts */
    EXPECT_EQ(c_CalcRiseTime(0, &w, 0, 10), 8000); /* 200 at sample 21, 1000 at 29 */
    EXPECT_EQ(c_CalcRiseTime(0, &w, 10, 10), 0);   /* an empty baseline window: no levels */
    EXPECT_EQ(c_CalcRiseTime(0, &w, 70, 80), 0);   /* a window beyond the samples likewise */
    w.traces[1].probe = 5;
    EXPECT_EQ(c_CalcRiseTime(0, &w, 0, 10), 0); /* no input-signal trace */
    w.traces[1].probe = DPPL_PROBE_INPUT;
    w.nSamples = 0;
    EXPECT_EQ(c_CalcRiseTime(0, &w, 0, 10), 0);
    EXPECT_EQ(c_CalcRiseTime(0, NULL, 0, 10), 0);

    /* A maximum below the baseline puts the 90 % level under the 10 % one:
     * the one scan ends at the 90 % crossing, before any 10 % crossing. */
    std::vector<int16_t> falling(32, 100); /* 500, then 1000 (baseline), then 100 */
    for (uint32_t i = 0; i <= 10; ++i)
        falling[i] = i < 5 ? 500 : 1000;
    w.nSamples = 32;
    w.traces[1].samples = falling.data();
    w.traces[1].capacity = 32;
    w.traces[0].probe = 0;
    EXPECT_EQ(c_CalcRiseTime(0, &w, 5, 10), 0);
}

/* The pulse-shape decoder runs the CFD on single-trace events of channels
 * whose fineTimeEnabled is set, with their settings read once per read. */
TEST(PembPsdSoftwareCFD, AddsTheFineTimeOnChannelsThatAskForIt) {
    Format f = PembPsd();
    Record r(f);
    for (uint32_t ch : {0u, 1u}) {
        r.channel(ch, DPPL_PARAM_CH_PRETRG, 160);   /* ns: 40 samples */
        r.channel(ch, DPPL_PARAM_CH_GATEPRE, 40);   /* 10 samples */
        r.channel(ch, DPPL_PARAM_CH_POLARITY, 0);   /* positive: inverted */
        r.channel(ch, DPPL_PARAM_CH_CFD_DELAY, 32); /* 8 samples */
        r.channel(ch, DPPL_PARAM_CH_CFD_FRACTION, 0.4);
        r.channel(ch, DPPL_PARAM_CH_CFD_SMOOTHEXP, 0);
    }
    r.allocate(8, 8, 128);
    r->channels[1].fineTimeEnabled = 1;
    Encoder enc(ZarnSim_PembPSDEncoder, f);
    enc.regs[0x8000] = (1u << 16) | (1u << 18) | (1u << 19); /* waveforms, time tag, charge */
    std::vector<Pulse> pulses(2);
    for (uint32_t k = 0; k < 2; ++k) {
        pulses[k].channel = k;
        pulses[k].tag = 1000 + k;
        std::vector<int16_t> edge = ramp(128);
        pulses[k].wave = edge;
    }
    r.load(enc.buffer(pulses, 8));
    ASSERT_EQ(r.walk(), 0);
    const c_DPPEvent_t& plain = r->channels[0].events[0];
    const c_DPPEvent_t& fine = r->channels[1].events[0];
    EXPECT_EQ(plain.timeStamp, 1000u * 4000);
    EXPECT_EQ(plain.flags & EVTFLAG_FINE_TIME, 0u);
    EXPECT_EQ(plain.waveform->traces[1].probe, 0);
    EXPECT_NEAR((double)fine.timeStamp, 1001.0 * 4000 + kRampFineTimePs, 1.0);
    EXPECT_EQ(fine.flags, EVTFLAG_FINE_TIME);
    EXPECT_EQ(fine.waveform->traces[1].probe, DPPL_PROBE_SOFTWARE_CFD);
    EXPECT_NEAR(((const int16_t*)fine.waveform->traces[1].samples)[64], 16, 1);

    /* With the firmware's fine time (extras format 2) the CFD still shows
     * its signal, but the time is the firmware's. */
    enc.regs[0x8000] |= 1u << 17;
    enc.regs[0x1080] = 2u << 8;
    pulses[1].fine = 0.5;
    r.load(enc.buffer(pulses, 8));
    ASSERT_EQ(r.walk(), 0);
    const c_DPPEvent_t& firmware = r->channels[1].events[0];
    EXPECT_EQ(firmware.flags, EVTFLAG_FINE_TIME);
    EXPECT_GE(firmware.timeStamp, 1001u * 4000 + 2000);
    EXPECT_LE(firmware.timeStamp, 1001u * 4000 + 2004);
    EXPECT_EQ(firmware.waveform->traces[1].probe, DPPL_PROBE_SOFTWARE_CFD);
    EXPECT_NEAR(((const int16_t*)firmware.waveform->traces[1].samples)[64], 16, 1);

    /* A channel asking for the CFD without its settings fails the read. */
    _pcfreeall(r->channels[1].coll);
    r->channels[1].coll = NULL;
    r.channel(1, DPPL_PARAM_CH_ENABLED, 1);
    EXPECT_EQ(r.walk(), DPPL_ERR_PARAMETER);
}

} // namespace
