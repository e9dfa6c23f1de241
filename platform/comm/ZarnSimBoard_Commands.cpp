// Commands of the simulated board: reset, clear, start and stop of the
// acquisition, software trigger, calibration and flush. The register writes
// of ZarnSimBoard.cpp and the test interface call them.
#include "ZarnSimBoard.h"

#include "ZarnSimulator.h"

#include <cstring>

namespace zsim {

void Board::Reset() {
    running_ = false;
    ClearData();
    LoadDefaults();
    for (uint32_t c = 0; c < kMaxChannels; ++c)
        ch_[c].nextArrivalNs = -1;
    ResetOwn();
}

void Board::ClearData() {
    for (UnitState& u : units_)
        u.Clear();
    ready_.clear();
    transferCount_ = 0;
}

void Board::Clear() {
    CatchUp();
    ClearData();
}

void Board::Start() {
    if (running_)
        return;
    boardNs_ = 0;
    generatedUntilNs_ = 0;
    wallStartNs_ = SteadyNs();
    wallBaseNs_ = 0;
    aggregateCounter_ = 0;
    for (uint32_t c = 0; c < kMaxChannels; ++c) {
        ChannelState& s = ch_[c];
        double rate = s.rate;
        s = ChannelState{};
        s.rate = rate;
    }
    std::memset(context_.channelState, 0, sizeof context_.channelState);
    running_ = true;
    Started();
    for (uint32_t c = 0; c < channels_; ++c)
        if (ChannelRunning(c))
            StartChannelSource(c, 0);
}

void Board::Stop() {
    if (!running_)
        return;
    CatchUp();
    running_ = false;
    Stopped();
    // a stop closes the partial aggregates: nothing acquired is lost
    CloseAllUnits();
    for (uint32_t c = 0; c < kMaxChannels; ++c)
        ch_[c].nextArrivalNs = -1;
}

void Board::SoftwareTrigger() {
    CatchUp();
    if (!running_)
        return;
    uint64_t tag = static_cast<uint64_t>(boardNs_ / period_);
    ReadSetups();
    for (uint32_t c = 0; c < channels_; ++c) {
        if (!ChannelRunning(c))
            continue;
        PendingEvent e;
        e.event.channel = c;
        e.event.timeTag = tag;
        e.event.flags = ZARN_SIM_EVENT_SOFTWARE;
        MakeWaveform(c, e);
        Commit(c, std::move(e));
        if (encoder_ && encoder_->eventsPerAggregate && perTrigger_)
            break;
    }
}

void Board::Calibrate() { Clear(); }

void Board::Flush() {
    CatchUp();
    CloseAllUnits();
}

} // namespace zsim
