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
#include <chrono>
#include <cmath>
#include <limits>

namespace zsim {
namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();
constexpr uint32_t kMaxSamples = 1u << 17;

uint64_t SteadyNowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

} // namespace

bool Board::ChannelEnabled(uint32_t channel) const {
    if (channel >= channels_) return false;
    const Field& f = map->channelEnable;
    if (f.perChannel) return FieldValue(f, channel) != 0;
    uint32_t block = channel / map->channelsPerBlock;
    return ((FieldValue(f, 0) >> block) & 1u) != 0;
}

bool Board::ChannelRunning(uint32_t channel) const {
    if (!running_ || !ChannelEnabled(channel)) return false;
    return !map->channelRun.Present() || FieldValue(map->channelRun, channel) != 0;
}

bool Board::ShutDown(uint32_t channel) const { return adcShutdown_ && ((shutdownMask_ >> channel) & 1u); }

bool Board::WavesOn() const {
    return !map->waveformEnable.Present() || FieldValue(map->waveformEnable, 0) != 0;
}

double Board::NowNs() {
    if (clockMode_ == ZARN_SIM_CLOCK_WALL && running_)
        return wallBaseNs_ + static_cast<double>(SteadyNowNs() - wallStartNs_);
    return boardNs_;
}

void Board::CatchUp() {
    if (running_ && clockMode_ == ZARN_SIM_CLOCK_WALL) AdvanceTo(NowNs());
}

void Board::AdvanceTo(double ns) {
    if (!running_ || ns <= boardNs_) return;
    McsCatchUp(boardNs_); // a channel started since begins its first sweep now
    GenerateUntil(ns);
    McsCatchUp(ns);
    boardNs_ = ns;
}

void Board::AdvanceClock(uint64_t nanoseconds) {
    if (clockMode_ == ZARN_SIM_CLOCK_MANUAL) AdvanceTo(boardNs_ + static_cast<double>(nanoseconds));
}

// Channels start and stop drawing pulses as the run, the enables and the
// run gates change.
void Board::OnRunChange() {
    if (map->deviceRun) {
        bool any = false;
        for (uint32_t c = 0; c < channels_; ++c) any = any || FieldValue(map->channelRun, c) != 0;
        if (any && !running_) Start();
        if (!any && running_) Stop();
    }
    if (!running_) return;
    for (uint32_t c = 0; c < channels_; ++c) {
        bool run = ChannelRunning(c);
        if (run && ch_[c].nextArrivalNs < 0) StartChannelSource(c, boardNs_);
        if (!run && ch_[c].nextArrivalNs >= 0) {
            ch_[c].nextArrivalNs = -1;
            if (map->deviceRun) CloseUnit(UnitOfChannel(c));
        }
    }
}

void Board::StartChannelSource(uint32_t channel, double fromNs) {
    ch_[channel].nextArrivalNs = fromNs + DrawInterval(channel);
}

double Board::DrawInterval(uint32_t channel) {
    double rate = ch_[channel].rate;
    if (rate <= 0) return kNever;
    std::exponential_distribution<double> interval(rate);
    return interval(rng_) * 1e9;
}

// A pulse height from the line spectrum: Gaussian peaks on an exponential
// continuum, in ADC counts.
double Board::DrawEnergy() {
    const SignalSpec& s = profile.signal;
    double total = s.continuumWeight;
    for (const SignalLine& l : s.lines) total += l.weight;
    std::uniform_real_distribution<double> uniform(0.0, total);
    double pick = uniform(rng_);
    for (const SignalLine& l : s.lines) {
        if (pick < l.weight) {
            std::normal_distribution<double> peak(l.centroid, l.sigma > 0 ? l.sigma : 1e-9);
            return peak(rng_);
        }
        pick -= l.weight;
    }
    std::exponential_distribution<double> continuum(1.0 / s.continuumSlope);
    return continuum(rng_);
}

void Board::MakeWaveform(uint32_t channel, PendingEvent& event) {
    if (!WavesOn()) return;
    uint32_t n = std::min(FieldValue(map->recordLength, channel), kMaxSamples);
    if (n == 0) return;
    uint32_t pre = std::min(FieldValue(map->preTrigger, channel), n);
    const SignalSpec& s = profile.signal;
    double fullScale = static_cast<double>((1u << profile.info.ADC_NBits) - 1);
    double baseline = s.baseline >= 0 ? s.baseline
                                      : fullScale * (1.0 - FieldValue(map->dcOffset, channel) / 65535.0);
    double sign = FieldValue(map->polarity, channel) ? -1.0 : 1.0;
    // bi-exponential pulse scaled so that its maximum is the pulse height
    double tr = s.riseTimeNs, td = s.decayTimeNs;
    double tPeak = std::log(td / tr) * tr * td / (td - tr);
    double norm = 1.0 / (std::exp(-tPeak / td) - std::exp(-tPeak / tr));
    double height = (event.event.flags & (ZARN_SIM_EVENT_NO_PULSE | ZARN_SIM_EVENT_SOFTWARE)) ? 0.0 : event.event.energy;
    std::normal_distribution<double> noise(0.0, s.noise > 0 ? s.noise : 1e-12);
    event.wave.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
        double t = (static_cast<double>(i) - pre - event.event.fineTime) * period_;
        double v = baseline;
        if (t >= 0) v += sign * height * norm * (std::exp(-t / td) - std::exp(-t / tr));
        if (s.noise > 0) v += noise(rng_);
        v = std::clamp(std::round(v), 0.0, fullScale);
        event.wave[i] = static_cast<int16_t>(v);
    }
    event.event.preTrigger = pre;
}

// Generates every pulse before untilNs, in time order across channels.
void Board::GenerateUntil(double untilNs) {
    double from = boardNs_;
    for (uint32_t c = 0; c < channels_; ++c) {
        if (!ChannelRunning(c)) continue;
        ch_[c].realNs += untilNs - from;
        if (ShutDown(c)) {
            ch_[c].deadNs += untilNs - from;
            ch_[c].deadUntilNs = std::max(ch_[c].deadUntilNs, untilNs);
        }
    }
    const double resolving = profile.signal.resolvingTimeNs;
    const double fullScale = static_cast<double>((1u << profile.info.ADC_NBits) - 1);
    for (;;) {
        uint32_t next = kMaxChannels;
        double at = untilNs;
        for (uint32_t c = 0; c < channels_; ++c) {
            double t = ch_[c].nextArrivalNs;
            if (t >= 0 && t < at && !ShutDown(c) && ChannelRunning(c)) {
                at = t;
                next = c;
            }
        }
        if (next == kMaxChannels) break;
        ChannelState& c = ch_[next];
        uint32_t unit = UnitOfChannel(next);
        bool perTrigger = encoder_ && EventsPerAggregate(unit) == 0;
        if (encoder_ && !perTrigger && units_[unit].closed.size() >= UnitCapacity()) {
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
        double following = at + DrawInterval(next);
        bool pileup = (at - c.lastArrivalNs < resolving) || (following - at < resolving);
        c.deadNs += std::max(0.0, at + resolving - std::max(at, c.deadUntilNs));
        c.deadUntilNs = std::max(c.deadUntilNs, at + resolving);
        c.generated++;
        c.lastArrivalNs = at;
        c.nextArrivalNs = following;

        PendingEvent e;
        double ticks = at / period_;
        e.event.timeTag = static_cast<uint64_t>(ticks);
        e.event.fineTime = ticks - std::floor(ticks);
        e.event.channel = next;
        double energy = std::max(0.0, std::round(DrawEnergy()));
        if (energy >= fullScale) {
            energy = fullScale;
            e.event.flags |= ZARN_SIM_EVENT_SATURATED;
        }
        e.event.energy = static_cast<uint32_t>(energy);
        if (pileup) {
            e.event.flags |= ZARN_SIM_EVENT_PILEUP;
            c.pileups++;
        }
        if (!encoder_) continue; // nothing would carry it
        MakeWaveform(next, e);
        Commit(next, std::move(e));
    }
}

// "As fast as read": moves board time on until a full transfer is waiting.
bool Board::FastForward() {
    uint32_t want = AggregatesPerTransfer();
    for (int step = 0; step < 64; ++step) {
        FormAggregates();
        if (ready_.size() >= want) return true;
        double dt = kNever;
        for (uint32_t c = 0; c < channels_; ++c) {
            if (!ChannelRunning(c) || ShutDown(c) || ch_[c].rate <= 0) continue;
            uint32_t unit = UnitOfChannel(c);
            uint32_t need = encoder_ ? EventsPerAggregate(unit) : 1;
            size_t have = units_.empty() ? 0 : units_[unit].open.size();
            double remaining = need > have ? static_cast<double>(need - have) : 1.0;
            dt = std::min(dt, remaining / ch_[c].rate * 1e9);
        }
        if (dt == kNever) return !ready_.empty();
        AdvanceTo(boardNs_ + std::max(dt * 1.05, period_));
        if (!encoder_) return false;
    }
    FormAggregates();
    return !ready_.empty();
}

} // namespace zsim
