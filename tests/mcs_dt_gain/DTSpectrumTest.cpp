// The time-interval spectrum on readouts built by hand: the bin of a
// difference, the pairing within a readout and across readouts through the
// carried time stamps, and the values (channels, bin counts, steps, carried
// counts) that must never make the fill read or write past an array. Then
// the fill through the cycle on the simulated board.
#include <algorithm>
#include <cmath>
#include <memory>

#include "../spectra/SpectraTestSupport.h"
#include "SRV_DTSpectrum.h"

using namespace spectest;

namespace {

const uint32_t CHANNELS = 4;
const uint64_t NS = 1000; // time stamps are picoseconds

// The record on its own, with the values its two parameters would cache.
struct DTRecord {
    DTRecord(double bins = 4096, double step = 10)
        : record(static_cast<SRVDTSpectrum_t*>(std::calloc(1, sizeof(SRVDTSpectrum_t)))), bins_(bins), step_(step) {
        record->nbins = &bins_;
        record->step = &step_;
        record->armed = 1;
    }
    ~DTRecord() {
        SRV_FreeDTSpectrum(record);
        std::free(record);
    }
    SRVDTSpectrum_t* operator->() { return record; }

    SRVDTSpectrum_t* record;
    double bins_, step_;
};

// One readout: the time stamps of each channel's events, held in arrays of
// exactly that size so that any read past them is caught.
class Readout {
public:
    explicit Readout(std::vector<std::vector<uint64_t>> stamps) : events_(CHANNELS) {
        stamps.resize(CHANNELS);
        for (uint32_t ch = 0; ch < CHANNELS; ch++) {
            events_[ch] = std::make_unique<c_DPPEvent_t[]>(stamps[ch].size());
            for (size_t i = 0; i < stamps[ch].size(); i++)
                events_[ch][i].timeStamp = stamps[ch][i];
            records_[ch].events = stamps[ch].empty() ? nullptr : events_[ch].get();
            records_[ch].nEvents = static_cast<uint32_t>(stamps[ch].size());
            records_[ch].capacity = records_[ch].nEvents;
        }
    }
    // The fill for every event of the reference channel, in order.
    void fill(DTRecord& dt) { fill(dt, {}); }
    void fill(DTRecord& dt, const std::vector<uint32_t>& skipped) {
        uint32_t r = dt->referenceChannel < CHANNELS ? dt->referenceChannel : 0;
        for (uint32_t i = 0; i < records_[r].nEvents; i++)
            if (std::find(skipped.begin(), skipped.end(), i) == skipped.end()) {
                ASSERT_EQ(SRV_FillDTSpectrum(dt.record, records_, CHANNELS, i), 0);
            }
    }
    const c_ChannelRecord_t* records() const { return records_; }

private:
    std::vector<std::unique_ptr<c_DPPEvent_t[]>> events_;
    c_ChannelRecord_t records_[CHANNELS] = {};
};

// A readout of n + 1 pairs 1 ms apart whose first n differences (reference
// minus partner) are the given nanoseconds; the last pair ends the readout.
Readout pairsWithDifferences(const std::vector<int64_t>& ns, uint32_t reference = 0) {
    std::vector<std::vector<uint64_t>> stamps(CHANNELS);
    uint32_t partner = reference == 0 ? 1 : 0;
    for (size_t k = 0; k <= ns.size(); k++) {
        uint64_t base = 1000000000ull * (k + 1);
        stamps[partner].push_back(base);
        stamps[reference].push_back(base + static_cast<uint64_t>(k < ns.size() ? ns[k] : 0) * NS);
    }
    return Readout(stamps);
}

TEST(DTFill, DifferencesLandInBinsCentredOnZero) {
    struct Case {
        int64_t ns;
        int bin; // -1: out of range
    } cases[] = {
        {5, 2048},   {-5, 2048},  {0, 2048},     {9, 2048},   {-9, 2048},   {10, 2049},
        {-10, 2047}, {-20475, 1}, {20479, 4095}, {20480, -1}, {-20480, -1}, {1000000, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ns);
        DTRecord dt(4096, 10);
        pairsWithDifferences({c.ns}).fill(dt);
        if (c.bin < 0) {
            EXPECT_EQ(dt->entries, 0u);
            EXPECT_EQ(dt->outOfRange, 1u);
        } else {
            EXPECT_EQ(dt->counts[c.bin], 1u);
            EXPECT_EQ(dt->entries, 1u);
        }
        EXPECT_EQ(dt->counts[0], 0u) << "bin 0 receives nothing";
    }
}

TEST(DTFill, EveryReferenceIsPairedWithItsPartner) {
    // Reference 1 against channel 0, reference 3 against channel 0.
    for (uint32_t reference : {1u, 3u}) {
        SCOPED_TRACE(reference);
        DTRecord dt(100, 1);
        dt->referenceChannel = reference;
        pairsWithDifferences({-7, 12}, reference).fill(dt);
        EXPECT_EQ(dt->counts[50 - 7], 1u);
        EXPECT_EQ(dt->counts[50 + 12], 1u);
        EXPECT_EQ(dt->entries, 2u);
    }
}

TEST(DTFill, TheLastPairEndsTheReadoutAndTheLongerChannelCarriesItsRest) {
    DTRecord dt(4096, 10);
    const uint64_t ms = 1000000000ull;
    // Reference 0 with 5 events, partner 1 with 3: pairs 0 and 1 are
    // histogrammed (10 and 20 ns), pair 2 is not, events 3 and 4 are carried.
    Readout first({{1 * ms + 10 * NS, 2 * ms + 20 * NS, 3 * ms + 500 * NS, 4 * ms + 40 * NS, 5 * ms + 50 * NS},
                   {1 * ms, 2 * ms, 3 * ms}});
    first.fill(dt);
    EXPECT_EQ(dt->entries, 2u);
    EXPECT_EQ(dt->counts[2049], 1u);
    EXPECT_EQ(dt->counts[2050], 1u);
    EXPECT_EQ(dt->counts[2098], 0u) << "the pair that ends the readout is not histogrammed";
    EXPECT_EQ(dt->leftover[0], 2u);
    EXPECT_EQ(dt->leftover[1], 0u);

    // The carried stamps pair with the partner's first events of the next
    // readout (40 and 50 ns); the readout's own pair 2 ends it.
    Readout second({{9 * ms, 9 * ms, 9 * ms}, {4 * ms, 5 * ms, 6 * ms}});
    second.fill(dt);
    EXPECT_EQ(dt->counts[2052], 1u);
    EXPECT_EQ(dt->counts[2053], 1u);
    EXPECT_EQ(dt->entries, 4u);
    EXPECT_EQ(dt->leftover[0], 0u);

    // The partner longer: its rest is carried in the other list.
    Readout third({{1 * ms, 2 * ms}, {1 * ms, 2 * ms, 3 * ms, 4 * ms}});
    third.fill(dt);
    EXPECT_EQ(dt->leftover[1], 2u);
    EXPECT_EQ(dt->leftover[0], 0u);
    EXPECT_EQ(dt->entries, 5u);

    // A readout of one event in each channel histograms nothing.
    SRV_ClearDTSpectrum(dt.record);
    Readout single({{1 * ms}, {1 * ms}});
    single.fill(dt);
    EXPECT_EQ(dt->entries + dt->outOfRange, 0u);
}

TEST(DTFill, ValuesThatCouldIndexPastTheRecordAreRefused) {
    // Bin counts beyond the record, steps below 1 or with a fraction: no bin
    // past the record is touched and no step divides by zero.
    struct Case {
        double bins, step;
        int64_t ns;
        bool binned;
    } cases[] = {
        {10000, 10, 40000, false}, // bin 9000 of 10000: past the record
        {10000, 10, 100, false},   // 10000 bins centre on 5000: bin 5010 is past it too
        {4096, 0.5, 1, false},     {4096, 0, 0, false}, {4096, 10.7, 21000, false}, // within 4096 x 10.7 / 2, but bin 4291
        {4096, 10.7, 100, true},   {NAN, 10, 0, false}, {4096, NAN, 0, false},      {-4096, 10, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bins << " bins of " << c.step << " ns, " << c.ns << " ns");
        DTRecord dt(c.bins, c.step);
        pairsWithDifferences({c.ns}).fill(dt);
        uint64_t binned = 0;
        for (uint64_t count : dt->counts)
            binned += count;
        EXPECT_EQ(dt->entries, binned);
        EXPECT_EQ(dt->entries, c.binned ? 1u : 0u);
        EXPECT_EQ(dt->entries + dt->outOfRange, 1u);
    }
}

TEST(DTFill, ChannelsAndCarriedCountsNeverReachPastTheirArrays) {
    const uint64_t ms = 1000000000ull;
    // A reference channel the board doesn't have (as a client may store it),
    // or whose partner it lacks, pairs nothing.
    for (uint32_t reference : {4u, 63u, 64u, 70000u}) {
        DTRecord dt;
        dt->referenceChannel = reference;
        Readout readout({{1 * ms, 2 * ms, 3 * ms}, {1 * ms, 2 * ms, 3 * ms}});
        for (uint32_t i = 0; i < 3; i++)
            EXPECT_EQ(SRV_FillDTSpectrum(dt.record, readout.records(), CHANNELS, i), 0);
        EXPECT_EQ(dt->entries + dt->outOfRange, 0u) << reference;
    }
    {
        DTRecord dt;
        Readout readout({{1 * ms, 2 * ms, 3 * ms}, {1 * ms, 2 * ms, 3 * ms}});
        EXPECT_EQ(SRV_FillDTSpectrum(dt.record, readout.records(), 1, 0), 0); // partner 1 of a 1-channel board
        EXPECT_EQ(dt->entries + dt->outOfRange, 0u);
    }
    // A partner without events pairs nothing and keeps what was carried.
    {
        DTRecord dt;
        Readout carry({{1 * ms, 2 * ms, 3 * ms, 4 * ms}, {1 * ms, 2 * ms}});
        carry.fill(dt);
        ASSERT_EQ(dt->leftover[0], 2u);
        ASSERT_EQ(dt->entries, 1u);
        Readout lonely({{5 * ms, 6 * ms, 7 * ms}, {}});
        lonely.fill(dt);
        EXPECT_EQ(dt->leftover[0], 2u);
        EXPECT_EQ(dt->entries + dt->outOfRange, 1u);
    }
    // A carried count larger than its list holds reads only the list.
    {
        DTRecord dt;
        dt->leftover[1] = 50; // no list at all
        dt->leftover[0] = 0;
        Readout readout({{1 * ms, 2 * ms, 3 * ms}, {1 * ms, 2 * ms, 3 * ms}});
        readout.fill(dt);
        EXPECT_EQ(dt->entries, 2u);
    }
    // Skipped events (pseudo events the cycle doesn't offer) past the last
    // pair still end the readout instead of reading past the partner.
    {
        DTRecord dt;
        Readout readout({{1 * ms, 2 * ms, 3 * ms, 4 * ms, 5 * ms}, {1 * ms, 2 * ms, 3 * ms}});
        readout.fill(dt, {1, 2});
        EXPECT_EQ(dt->entries, 1u);
        EXPECT_EQ(dt->leftover[0], 2u);
    }
    EXPECT_EQ(SRV_FillDTSpectrum(nullptr, nullptr, 0, 0), SRV_DT_NO_RECORD);
}

TEST(DTFill, ANewReferenceForgetsTheStampsCarriedForTheOldOne) {
    const uint64_t ms = 1000000000ull;
    DTRecord dt;
    Readout carry({{1 * ms, 2 * ms, 3 * ms, 4 * ms, 5 * ms}, {1 * ms, 2 * ms}});
    carry.fill(dt);
    ASSERT_EQ(dt->leftover[0], 3u);
    SRV_SetDTReferenceChannel(dt.record, 0); // unchanged: kept
    EXPECT_EQ(dt->leftover[0], 3u);
    SRV_SetDTReferenceChannel(dt.record, 3);
    EXPECT_EQ(dt->referenceChannel, 3u);
    EXPECT_EQ(dt->leftover[0], 0u);
    // Channel 0 is now the partner: nothing carried is paired with channel 3.
    Readout next({{1 * ms, 2 * ms, 3 * ms}, {}, {}, {1 * ms + 30 * NS, 2 * ms, 3 * ms}});
    next.fill(dt);
    EXPECT_EQ(dt->entries, 1u + 2u);
    EXPECT_EQ(dt->counts[2051], 1u);
}

// Through the board thread's cycle on the simulated board.
class DTCycle : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(board_->dtSpectrumCount, 1u);
        dt_ = &board_->dtSpectra[0];
        ASSERT_NE(dt_->nbins, nullptr);
        ASSERT_NE(dt_->step, nullptr);
        bins_ = *dt_->nbins;
        step_ = *dt_->step;
        SRV_ClearDTSpectrum(dt_);
        dt_->armed = 1;
    }
    void TearDown() override {
        *const_cast<double*>(dt_->nbins) = bins_;
        *const_cast<double*>(dt_->step) = step_;
        dt_->enabled = 0;
        SRV_SetDTReferenceChannel(dt_, 0);
        SRV_ClearDTSpectrum(dt_);
        BoardTest::TearDown();
    }
    SRVDTSpectrum_t* dt_ = nullptr;
    double bins_ = 0, step_ = 0;
};

TEST_F(DTCycle, TheCycleFillsOnlyAnEnabledSpectrumFromItsReferenceChannel) {
    // The bound parameters start at their defaults.
    EXPECT_EQ(SRV_DTBinCount(dt_), 1024u);
    EXPECT_EQ(*dt_->step, 10.0);
    // deliver() stamps event i at (i + 1) ns: channels 2 and 0 have the same
    // stamps, so every pair falls in the centre bin.
    deliver(0, 6, 100);
    deliver(2, 6, 100);
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(dt_->entries, 0u) << "disabled";

    dt_->enabled = 1;
    SRV_SetDTReferenceChannel(dt_, 2);
    dig_->channels[2].events[1].flags = EVTFLAG_PSEUDO; // not offered to the fill
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(dt_->counts[512], 4u);
    EXPECT_EQ(dt_->entries, 4u);
    EXPECT_EQ(dt_->outOfRange, 0u);
}

} // namespace
