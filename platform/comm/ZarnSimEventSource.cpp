// Event source of the simulated board: per-channel Poisson processes of
// pulses whose heights follow the profile's line spectrum, with pile-up,
// dead time, the board clock and the pulse waveforms.
//
// Board time runs in nanoseconds from the acquisition start. In the wall-clock
// mode it follows the steady clock; "as fast as read" moves it on at every
// read until a full transfer of data is waiting; the manual mode moves only
// when a test says so. Events are generated lazily, up to the current board
// time, whenever the board is touched.
#include "ZarnSimBoard.h"

#include "ZarnSimulator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

namespace zsim {
namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();
constexpr uint32_t kMaxSamples = 1u << 17;

} // namespace

bool Board::ChannelEnabled(uint32_t channel) const {
    if (channel >= channels_)
        return false;
    const Field& f = map->channelEnable;
    if (f.perChannel)
        return FieldValue(f, channel) != 0;
    uint32_t block = channel / map->channelsPerBlock;
    return ((FieldValue(f, 0) >> block) & 1u) != 0;
}

bool Board::ChannelRunning(uint32_t channel) const {
    if (!running_ || !ChannelEnabled(channel))
        return false;
    return !map->channelRun.Present() || FieldValue(map->channelRun, channel) != 0;
}

bool Board::ShutDown(uint32_t channel) const { return adcShutdown_ && ((shutdownMask_ >> channel) & 1u); }

bool Board::WavesOn() const { return !map->waveformEnable.Present() || FieldValue(map->waveformEnable, 0) != 0; }

double Board::NowNs() {
    if (clockMode_ == ZARN_SIM_CLOCK_WALL && running_)
        return wallBaseNs_ + static_cast<double>(SteadyNs() - wallStartNs_);
    return boardNs_;
}

void Board::CatchUp() {
    if (running_ && clockMode_ == ZARN_SIM_CLOCK_WALL)
        AdvanceTo(NowNs());
}

void Board::AdvanceTo(double ns) {
    if (!running_ || ns <= boardNs_)
        return;
    McsCatchUp(boardNs_); // a channel started since begins its first sweep now
    GenerateUntil(ns);
    McsCatchUp(ns);
    boardNs_ = ns;
}

void Board::AdvanceClock(uint64_t nanoseconds) {
    if (clockMode_ == ZARN_SIM_CLOCK_MANUAL)
        AdvanceTo(boardNs_ + static_cast<double>(nanoseconds));
}

// What tests set and read of the event source: seed, rates, clock mode and
// the counts of generated, piled-up and lost events.

void Board::Seed(uint64_t seed) {
    rng_.Seed(seed);
    // redraw the pending arrivals so that the run from here depends on the seed only
    for (uint32_t c = 0; c < channels_; ++c)
        if (ch_[c].nextArrivalNs >= 0)
            StartChannelSource(c, boardNs_);
}

void Board::SetRate(int channel, double rate) {
    for (uint32_t c = 0; c < kMaxChannels; ++c) {
        if (channel >= 0 && static_cast<uint32_t>(channel) != c)
            continue;
        ch_[c].rate = rate;
        if (c < channels_ && ch_[c].nextArrivalNs >= 0)
            StartChannelSource(c, boardNs_);
    }
}

void Board::SetClockMode(int mode) {
    CatchUp();
    clockMode_ = mode;
    wallStartNs_ = SteadyNs();
    wallBaseNs_ = boardNs_;
}

void Board::Counts(uint32_t channel, uint64_t* generated, uint64_t* pileups, uint64_t* lost) const {
    const ChannelState& c = ch_[channel];
    if (generated)
        *generated = c.generated;
    if (pileups)
        *pileups = c.pileups;
    if (lost)
        *lost = c.lost;
}

// Channels start and stop drawing pulses as the run, the enables and the
// run gates change.
void Board::OnRunChange() {
    if (map->deviceRun) {
        bool any = false;
        for (uint32_t c = 0; c < channels_; ++c)
            any = any || FieldValue(map->channelRun, c) != 0;
        if (any && !running_)
            Start();
        if (!any && running_)
            Stop();
    }
    if (!running_)
        return;
    for (uint32_t c = 0; c < channels_; ++c) {
        bool run = ChannelRunning(c);
        if (run && ch_[c].nextArrivalNs < 0)
            StartChannelSource(c, boardNs_);
        if (!run && ch_[c].nextArrivalNs >= 0) {
            ch_[c].nextArrivalNs = -1;
            if (map->deviceRun)
                CloseUnit(UnitOfChannel(c));
        }
    }
}

void Board::StartChannelSource(uint32_t channel, double fromNs) {
    ch_[channel].nextArrivalNs = fromNs + DrawInterval(channel);
}

double Board::DrawInterval(uint32_t channel) {
    double rate = ch_[channel].rate;
    if (rate <= 0)
        return kNever;
    return rng_.Exponential() * (1e9 / rate);
}

// The line spectrum's alias table (Walker's method, Vose's construction).
void Board::BuildEnergyTable() {
    const SignalSpec& s = profile.signal;
    std::vector<double> weights;
    energyComponents_.clear();
    for (const SignalLine& l : s.lines) {
        energyComponents_.push_back({l.centroid, l.sigma > 0 ? l.sigma : 1e-9, false});
        weights.push_back(std::max(0.0, l.weight));
    }
    energyComponents_.push_back({0.0, s.continuumSlope, true});
    weights.push_back(std::max(0.0, s.continuumWeight));
    double total = 0;
    for (double w : weights)
        total += w;
    if (total <= 0) { // nothing weighs: the continuum alone
        std::fill(weights.begin(), weights.end(), 0.0);
        weights.back() = total = 1;
    }
    const size_t n = weights.size();
    energySlots_.assign(n, EnergySlot{1.0, 0, 0});
    std::vector<double> scaled(n);
    std::vector<uint32_t> small, large;
    for (size_t i = 0; i < n; ++i) {
        scaled[i] = weights[i] * n / total;
        (scaled[i] < 1.0 ? small : large).push_back(static_cast<uint32_t>(i));
    }
    while (!small.empty() && !large.empty()) {
        uint32_t a = small.back(), b = large.back();
        small.pop_back();
        energySlots_[a] = {scaled[a], a, b};
        scaled[b] -= 1.0 - scaled[a];
        if (scaled[b] < 1.0) {
            large.pop_back();
            small.push_back(b);
        }
    }
    for (uint32_t i : small)
        energySlots_[i] = {1.0, i, i}; // rounding leftovers
    for (uint32_t i : large)
        energySlots_[i] = {1.0, i, i};
}

// A pulse height from the line spectrum: Gaussian peaks on an exponential
// continuum, in ADC counts.
double Board::DrawEnergy() {
    const double pick = rng_.Uniform() * static_cast<double>(energySlots_.size());
    const uint32_t slot = static_cast<uint32_t>(pick);
    const EnergySlot& e = energySlots_[slot];
    const EnergyComponent& c = energyComponents_[pick - slot < e.keep ? e.own : e.alias];
    return c.offset + c.scale * (c.exponential ? rng_.Exponential() : rng_.Normal());
}

// The registers the event source follows, read once per generation step:
// nothing writes a register while the board generates.
void Board::ReadSetups() {
    const SignalSpec& s = profile.signal;
    const bool waves = WavesOn();
    const double fullScale = static_cast<double>((1u << profile.info.ADC_NBits) - 1);
    for (uint32_t c = 0; c < channels_; ++c) {
        ChannelSetup& setup = setup_[c];
        setup.running = ChannelRunning(c);
        setup.meanIntervalNs = ch_[c].rate > 0 ? 1e9 / ch_[c].rate : 0;
        setup.samples = waves ? std::min(FieldValue(map->recordLength, c), kMaxSamples) : 0;
        setup.preTrigger = std::min(FieldValue(map->preTrigger, c), setup.samples);
        double baseline = s.baseline >= 0 ? s.baseline : fullScale * (1.0 - FieldValue(map->dcOffset, c) / 65535.0);
        setup.baseline = static_cast<float>(baseline);
        setup.sign = FieldValue(map->polarity, c) ? -1.0f : 1.0f;
    }
    unitCapacity_ = UnitCapacity();
    for (uint32_t u = 0; u < units_.size(); ++u)
        units_[u].eventsPerAggregate = EventsPerAggregate(u);
    perTrigger_ = encoder_ && !units_.empty() && units_[0].eventsPerAggregate == 0;
}

// The caller has read the setups.
void Board::MakeWaveform(uint32_t channel, PendingEvent& event) {
    const ChannelSetup& setup = setup_[channel];
    if (setup.samples == 0)
        return;
    event.wave.resize(setup.samples);
    WriteWaveform(setup, event.event, event.wave.data());
    event.event.preTrigger = setup.preTrigger;
}

namespace {

// Gaussian noise of deviation 1, precomputed: a sample's noise is the sum of
// one entry of each table (scaled by 1/sqrt 2), the two read from random
// places chosen per event, so that no two events share their noise. Each table
// is stored twice over so that a read of up to kNoiseLength entries from any
// start needs no wrap.
constexpr uint32_t kNoiseLength = 1u << 14;

struct NoiseTables {
    float a[2 * kNoiseLength], b[2 * kNoiseLength];
    NoiseTables() {
        Random random(0x5EED0F5EED0F5EEDull);
        for (uint32_t i = 0; i < kNoiseLength; ++i) {
            a[i] = a[i + kNoiseLength] = static_cast<float>(random.Normal());
            b[i] = b[i + kNoiseLength] = static_cast<float>(random.Normal());
        }
    }
};

const NoiseTables& Noise() {
    static const NoiseTables* tables = new NoiseTables;
    return *tables;
}

// out[i] = round(clamp(level + pulse[i] + noise, 0, full)) for n samples:
// pulse[i] = decay * decayShape[i] - rise * riseShape[i] (no shapes: no pulse).
void FillSamples(int16_t* out, uint32_t n, float level, const float* decayShape, float decay, const float* riseShape,
                 float rise, const float* noiseA, const float* noiseB, float noise, float full) {
    if (decayShape) {
        for (uint32_t i = 0; i < n; ++i) {
            float v = level + decay * decayShape[i] - rise * riseShape[i] + noise * (noiseA[i] + noiseB[i]);
            v = std::min(std::max(v, 0.0f), full);
            out[i] = static_cast<int16_t>(static_cast<int32_t>(v + 0.5f));
        }
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            float v = level + noise * (noiseA[i] + noiseB[i]);
            v = std::min(std::max(v, 0.0f), full);
            out[i] = static_cast<int16_t>(static_cast<int32_t>(v + 0.5f));
        }
    }
}

} // namespace

// exp(-i T / tau) for the first `samples` samples of the decay (or the rise).
const float* Board::PulseShape(uint32_t samples, bool rise) {
    std::vector<float>& shape = rise ? riseShape_ : decayShape_;
    if (shape.size() < samples) {
        double tau = rise ? profile.signal.riseTimeNs : profile.signal.decayTimeNs;
        size_t from = shape.size();
        shape.resize(samples);
        for (size_t i = from; i < samples; ++i)
            shape[i] = static_cast<float>(std::exp(-(i * period_) / tau));
    }
    return shape.data();
}

// The input signal around the event: the baseline, then from the trigger a
// bi-exponential pulse whose maximum is the pulse height, plus the noise.
void Board::WriteWaveform(const ChannelSetup& setup, const ZarnSim_Event_t& event, int16_t* out) {
    const SignalSpec& s = profile.signal;
    const uint32_t n = setup.samples;
    const float fullScale = static_cast<float>((1u << profile.info.ADC_NBits) - 1);
    const double tr = s.riseTimeNs, td = s.decayTimeNs;
    const double tPeak = std::log(td / tr) * tr * td / (td - tr);
    const double norm = 1.0 / (std::exp(-tPeak / td) - std::exp(-tPeak / tr));
    const bool pulse = !(event.flags & (ZARN_SIM_EVENT_NO_PULSE | ZARN_SIM_EVENT_SOFTWARE));
    // the first sample at or after the trigger, and its time after it
    const uint32_t first = std::min<uint32_t>(setup.preTrigger + (event.fineTime > 0 ? 1 : 0), n);
    const double t0 = (first - setup.preTrigger - event.fineTime) * period_;
    const double amplitude = setup.sign * (pulse ? event.energy : 0.0) * norm;
    const float decay = static_cast<float>(amplitude * std::exp(-t0 / td));
    const float rise = static_cast<float>(amplitude * std::exp(-t0 / tr));
    const float noise = static_cast<float>(s.noise > 0 ? s.noise * M_SQRT1_2 : 0.0);
    const NoiseTables& tables = Noise();
    for (uint32_t done = 0; done < n;) {
        // a fresh pair of noise places for every stretch of kNoiseLength samples
        const uint64_t r = rng_();
        const float* noiseA = tables.a + (r & (kNoiseLength - 1));
        const float* noiseB = tables.b + ((r >> 32) & (kNoiseLength - 1));
        const uint32_t end = std::min(n, done + kNoiseLength);
        if (done < first) {
            const uint32_t stop = std::min(first, end);
            FillSamples(out + done, stop - done, setup.baseline, nullptr, 0, nullptr, 0, noiseA, noiseB, noise,
                        fullScale);
            noiseA += stop - done;
            noiseB += stop - done;
            done = stop;
        }
        if (done < end) {
            const uint32_t from = done - first;
            FillSamples(out + done, end - done, setup.baseline, PulseShape(end - first, false) + from, decay,
                        PulseShape(end - first, true) + from, rise, noiseA, noiseB, noise, fullScale);
            done = end;
        }
    }
}

// Generates every pulse before untilNs, in time order across channels.
void Board::GenerateUntil(double untilNs) {
    const double from = boardNs_;
    ReadSetups();
    uint64_t active = 0;
    for (uint32_t c = 0; c < channels_; ++c) {
        if (!setup_[c].running)
            continue;
        ch_[c].realNs += untilNs - from;
        if (ShutDown(c)) {
            ch_[c].deadNs += untilNs - from;
            ch_[c].deadUntilNs = std::max(ch_[c].deadUntilNs, untilNs);
        } else {
            active |= 1ull << c;
        }
    }
    if (!encoder_ || perTrigger_) {
        GenerateChannels(active, untilNs);
        return;
    }
    // Units fill their own aggregates: each one's channels are merged in time
    // order on their own.
    const uint32_t perUnit = encoder_->channelsPerUnit ? encoder_->channelsPerUnit : 1;
    const uint64_t unitMask = perUnit >= 64 ? ~0ull : (1ull << perUnit) - 1;
    for (uint32_t u = 0; u < units_.size(); ++u) {
        uint64_t channels = (active >> (u * perUnit)) & unitMask;
        if (channels)
            GenerateChannels(channels << (u * perUnit), untilNs);
    }
}

// Generates the pulses of the channels of the mask before untilNs, in time
// order across them.
void Board::GenerateChannels(uint64_t channels, double untilNs) {
    const double resolving = profile.signal.resolvingTimeNs;
    const double fullScale = static_cast<double>((1u << profile.info.ADC_NBits) - 1);
    const double ticksPerNs = 1.0 / period_;
    // The device's channels that count in multichannel-scaling slots, asked
    // of their registers once: no register changes while the board generates,
    // and asking for every pulse would cost more than drawing it.
    uint64_t scaling = 0;
    if (map->deviceRun)
        for (uint64_t m = channels; m; m &= m - 1)
            if (McsOn(static_cast<uint32_t>(__builtin_ctzll(m))))
                scaling |= m & -m;
    for (;;) {
        // The earliest arrival, compared as the bits of the times: positive
        // doubles order as their bits, and a channel without a drawn pulse
        // (a negative time) orders after every time. Integer compares keep
        // the scan free of branches on which channel comes next, which is random.
        uint32_t next = kMaxChannels;
        uint64_t earliest = std::bit_cast<uint64_t>(untilNs);
        for (uint64_t m = channels; m; m &= m - 1) {
            const uint32_t c = static_cast<uint32_t>(__builtin_ctzll(m));
            const uint64_t t = std::bit_cast<uint64_t>(ch_[c].nextArrivalNs);
            const bool earlier = t < earliest;
            earliest = earlier ? t : earliest;
            next = earlier ? c : next;
        }
        if (next == kMaxChannels)
            break;
        const double at = std::bit_cast<double>(earliest);
        ChannelState& c = ch_[next];
        const uint32_t unit = encoder_ ? UnitOfChannel(next) : 0;
        UnitState* u = encoder_ ? &units_[unit] : nullptr;
        if (u && !perTrigger_ && u->closed.size() >= unitCapacity_) {
            // The channel's memory is full: every pulse until now is lost and
            // the channel is dead for the whole stretch.
            std::poisson_distribution<uint64_t> pulses(c.rate * (untilNs - at) * 1e-9);
            uint64_t lost = 1 + pulses(rng_);
            c.generated += lost;
            c.lost += lost;
            c.deadNs += untilNs - std::max(at, c.deadUntilNs);
            c.deadUntilNs = untilNs;
            c.lastArrivalNs = at;
            c.nextArrivalNs = untilNs + DrawInterval(next);
            continue;
        }
        const double mean = setup_[next].meanIntervalNs;
        const double following = mean > 0 ? at + rng_.Exponential() * mean : kNever;
        bool pileup = (at - c.lastArrivalNs < resolving) | (following - at < resolving);
        c.deadNs += std::max(0.0, at + resolving - std::max(at, c.deadUntilNs));
        c.deadUntilNs = std::max(c.deadUntilNs, at + resolving);
        c.generated++;
        c.lastArrivalNs = at;
        c.nextArrivalNs = following;

        const double ticks = at * ticksPerNs;
        const uint64_t timeTag = static_cast<uint64_t>(ticks);
        // rounded to whole counts, below 0 to 0, from the full scale on saturated
        const double drawn = DrawEnergy();
        const bool saturated = drawn >= fullScale - 0.5;
        const uint32_t energy = saturated     ? static_cast<uint32_t>(fullScale)
                                : drawn < 0.5 ? 0u
                                              : static_cast<uint32_t>(drawn + 0.5);
        c.pileups += pileup;
        if (!u)
            continue; // nothing would carry it
        // The device's multichannel scaling: the slots over before this pulse
        // go out first (their data events join the unit's open aggregate).
        if ((scaling >> next) & 1u)
            McsAdvance(next, timeTag);
        // Written in place, field by field: a whole-record copy of an event
        // just built on the stack stalls on its narrower stores.
        ZarnSim_Event_t local;
        ZarnSim_Event_t& e = perTrigger_ ? local : u->open.emplace_back();
        e.timeTag = timeTag;
        e.fineTime = ticks - static_cast<double>(timeTag);
        e.channel = next;
        e.energy = energy;
        e.flags =
            (saturated ? uint32_t{ZARN_SIM_EVENT_SATURATED} : 0u) | (pileup ? uint32_t{ZARN_SIM_EVENT_PILEUP} : 0u);
        e.waveform = nullptr;
        e.samples = 0;
        e.preTrigger = 0;
        const ChannelSetup& setup = setup_[next];
        if (perTrigger_) {
            PendingEvent p;
            p.event = e;
            if (setup.samples) {
                p.wave.resize(setup.samples);
                WriteWaveform(setup, e, p.wave.data());
                p.event.preTrigger = setup.preTrigger;
            }
            CommitTrigger(std::move(p));
            continue;
        }
        if (setup.samples) {
            size_t offset = u->samples.size();
            u->samples.resize(offset + setup.samples);
            WriteWaveform(setup, e, u->samples.data() + offset);
            e.samples = setup.samples;
            e.preTrigger = setup.preTrigger;
        }
        if ((scaling >> next) & 1u)
            McsCount(next);
        if (u->open.size() >= u->eventsPerAggregate)
            CloseUnit(unit);
    }
}

// "As fast as read": moves board time on until a full transfer is waiting.
// Each step aims at half the aggregates still missing (at least one), so that
// the last steps come one aggregate at a time and little is left over past
// the transfer, and at no more than half the memory of the fastest unit,
// against the spread of the counts; it goes a little past its expected end.
bool Board::FastForward() {
    const uint32_t want = AggregatesPerTransfer();
    for (int step = 0; step < 64; ++step) {
        FormAggregates();
        if (ready_.size() >= want)
            return true;
        ReadSetups();
        const size_t capacity = unitCapacity_;
        const size_t held = perTrigger_ ? ready_.size() : 0; // per-trigger aggregates fill the memory themselves
        const size_t room = capacity > held ? (capacity - held) / 2 : 0;
        const double target =
            static_cast<double>(std::max<size_t>(1, std::min<size_t>((want - ready_.size()) / 2, room)));
        // the unit that fills fastest, its channels' rates together; per
        // trigger, the whole board
        double dt = kNever, boardRate = 0;
        for (uint32_t u = 0; u < units_.size(); ++u) {
            double rate = 0;
            for (uint32_t c = u * perUnit_; c < std::min(channels_, (u + 1) * perUnit_); ++c)
                if (setup_[c].running && !ShutDown(c) && ch_[c].rate > 0)
                    rate += ch_[c].rate;
            boardRate += rate;
            if (rate <= 0 || perTrigger_)
                continue;
            const double need = encoder_ && units_[u].eventsPerAggregate ? units_[u].eventsPerAggregate : 1;
            const double remaining = std::max(1.0, target * need - static_cast<double>(units_[u].open.size()));
            dt = std::min(dt, remaining / rate * 1e9);
        }
        if (perTrigger_ && boardRate > 0)
            dt = target / boardRate * 1e9;
        if (dt == kNever)
            return !ready_.empty();
        AdvanceTo(boardNs_ + std::max(dt * 1.05, period_));
        if (!encoder_)
            return false;
    }
    FormAggregates();
    return !ready_.empty();
}

} // namespace zsim
