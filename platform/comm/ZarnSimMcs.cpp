// Multichannel scaling of the simulated register-level device.
//
// A channel whose internal dwell timer runs (0x1n40 bit 0) counts its events
// in successive slots of 0x1n48 microseconds each. A sweep is 0x1n44 slots;
// the first starts when the channel starts acquiring, each later one at a
// sweep signal (a write of 1 to 0x1n4C), which also restarts a sweep in
// progress. At the end of each slot the firmware puts one datum into the
// channel's data, in time order with its events: the slot, whether it is the
// first of its sweep, the events counted and the slot's first sample period.
// After the last slot the channel waits for the next sweep signal.
//
// Board time is kept in sample periods here, so that a slot holds exactly
// the events whose time tag lies in [first, first + dwell).
#include "ZarnSimBoardKinds.h"

#include <algorithm>

namespace zsim {
namespace {

constexpr uint32_t kMaxSlots = 32768; // slot numbers are 15 bits wide

} // namespace

bool DeviceBoard::McsOn(uint32_t channel) const {
    if (!ChannelRunning(channel))
        return false;
    return (Raw(ChannelAddress(channel, DCH_MCS_CONFIG)) & 1u) != 0 &&
           Raw(ChannelAddress(channel, DCH_MCS_SLOTS)) != 0 && Raw(ChannelAddress(channel, DCH_MCS_DWELL)) != 0;
}

// Ends every slot of the channel's sweep that is over at this sample period.
void DeviceBoard::McsAdvance(uint32_t channel, uint64_t tick) {
    if (!McsOn(channel))
        return;
    auto& m = mcs_[channel];
    if (!m.started) {
        m = {};
        m.started = m.sweeping = true;
        m.slotStart = tick;
    }
    uint32_t slots = std::min(Raw(ChannelAddress(channel, DCH_MCS_SLOTS)), kMaxSlots);
    uint64_t dwell = static_cast<uint64_t>(Raw(ChannelAddress(channel, DCH_MCS_DWELL)) * 1000.0 / period_);
    dwell = std::max<uint64_t>(dwell, 1);
    while (m.sweeping && m.slotStart + dwell <= tick) {
        PendingEvent datum;
        datum.event.channel = channel;
        datum.event.timeTag = m.slotStart;
        datum.event.energy = m.count;
        datum.event.mcsSlot = m.slot;
        datum.event.flags = ZARN_SIM_EVENT_MCS | (m.slot == 0 ? uint32_t{ZARN_SIM_EVENT_MCS_SWEEP_START} : 0u);
        m.slotStart += dwell;
        m.count = 0;
        m.sweeping = ++m.slot < slots;
        Commit(channel, std::move(datum));
    }
}

// Slots over by this board time (no event of theirs comes later).
void DeviceBoard::McsCatchUp(double ns) {
    uint64_t tick = static_cast<uint64_t>(ns / period_);
    for (uint32_t c = 0; c < channels_; ++c)
        McsAdvance(c, tick);
}

// One event of the channel went into its data.
void DeviceBoard::McsCount(uint32_t channel) {
    auto& m = mcs_[channel];
    if (m.sweeping && McsOn(channel))
        m.count++;
}

void DeviceBoard::McsSweepSignal(uint32_t channel) {
    if (!McsOn(channel))
        return;
    uint64_t now = static_cast<uint64_t>(boardNs_ / period_);
    McsAdvance(channel, now);
    auto& m = mcs_[channel];
    m = {};
    m.started = m.sweeping = true;
    m.slotStart = now;
}

} // namespace zsim
