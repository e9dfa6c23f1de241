// The register-level device: its power-on registers, the registers with a
// meaning of their own (configuration key, flash controller, high-voltage
// monitors, channel commands), and its run, which follows the channels' run
// registers.
#include "ZarnSimBoardKinds.h"

namespace zsim {

std::shared_ptr<Board> MakeDeviceBoard(const Profile& profile, const FamilyMap& map) {
    return std::make_shared<DeviceBoard>(profile, map);
}

DeviceBoard::DeviceBoard(const Profile& p, const FamilyMap& familyMap) : Board(p, familyMap) {
    BuildFlash();
    LoadDefaults();
}

// The firmware word carries the DPP code in place of a release.
void DeviceBoard::LoadOwnDefaults() {
    SetRaw(REG_ROC_FIRMWARE, (profile.build << 16) | ((profile.dppCode & 0xFF) << 8) | (profile.dppMinor & 0xFF));
}

bool DeviceBoard::ReadOwn(uint32_t address, uint32_t* value) {
    if (address == REG_ACQ_STATUS) {
        *value = ReadAcquisitionStatus();
        return true;
    }
    return FlashRead(address, value) || HvRead(address, value);
}

bool DeviceBoard::WriteOwn(uint32_t address, uint32_t value) {
    if (address == REG_DEVICE_CONFIG) {
        SetRaw(REG_DEVICE_CONFIG, value == kDeviceConfigKey ? 1u : 0u);
        return true;
    }
    if (FlashWrite(address, value))
        return true;
    uint32_t block = 0, offset = 0;
    return ChannelBlockOf(address, &block, &offset) && ChannelCommand(block, offset, value);
}

// The commands of a channel's register block; false: a plain store.
bool DeviceBoard::ChannelCommand(uint32_t channel, uint32_t offset, uint32_t value) {
    switch (offset) {
    case DCH_CLEAR:
        if (value & 1u)
            units_[UnitOfChannel(channel)].Clear();
        return true;
    case DCH_SW_TRIGGER:
        if ((value & 1u) && ChannelRunning(channel)) {
            ReadSetups();
            PendingEvent e;
            e.event.channel = channel;
            e.event.timeTag = static_cast<uint64_t>(boardNs_ / period_);
            e.event.flags = ZARN_SIM_EVENT_SOFTWARE;
            MakeWaveform(channel, e);
            Commit(channel, std::move(e));
        }
        return true;
    case DCH_SAMPLE_ADVANCE: return true;
    case DCH_MCS_SWEEP:
        if (value & 1u)
            McsSweepSignal(channel);
        return true;
    default: return false;
    }
}

// A new run begins every channel's scaling afresh.
void DeviceBoard::Started() {
    for (McsState& m : mcs_)
        m = McsState{};
}

void DeviceBoard::ResetOwn() {
    unlocked_ = false;
    unlockStep_ = 0;
}

// The device runs while any channel's run register is set.
void DeviceBoard::FollowRunRegisters() {
    bool any = false;
    for (uint32_t c = 0; c < channels_; ++c)
        any = any || FieldValue(map->channelRun, c) != 0;
    if (any && !running_)
        Start();
    if (!any && running_)
        Stop();
}

// A channel that stops closes its partial aggregate: nothing acquired is lost.
void DeviceBoard::ChannelStopped(uint32_t channel) { CloseUnit(UnitOfChannel(channel)); }

} // namespace zsim
