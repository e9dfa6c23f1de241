// The kinds of simulated hardware, each a Board of its own class: the boards
// the digitizer-access layer opens, and the register-level device opened
// without connection parameters. The register map of the board's family and
// firmware names its kind (FamilyMap::make); nothing else asks which it is.
#ifndef ZARN_SIM_BOARD_KINDS_H
#define ZARN_SIM_BOARD_KINDS_H

#include "ZarnSimBoard.h"

namespace zsim {

// A board with an acquisition control register (0x8100) whose run bit runs
// every enabled channel, a software trigger register, the over-temperature
// and ADC shutdown registers, per-channel status words, a serial flash and,
// on some families, a high-voltage supply after its channel blocks.
// (ZarnSimDigitizerBoard.cpp; its flash in ZarnSimFlash.cpp, its supply in
// ZarnSimBoard_HighVoltage.cpp)
class DigitizerBoard final : public Board {
public:
    DigitizerBoard(const Profile& profile, const FamilyMap& map);

private:
    void LoadOwnDefaults() override;
    bool ReadOwn(uint32_t address, uint32_t* value) override;
    bool WriteOwn(uint32_t address, uint32_t value) override;
    void Started() override;
    void Stopped() override;
    bool FlushesWhenQuiet() const override;
    void ResetOwn() override;

    uint32_t ChannelStatusWord(uint32_t channel) const;
    // serial flash
    bool FlashRead(uint32_t address, uint32_t* value);
    bool FlashWrite(uint32_t address, uint32_t value);
    // high-voltage supply
    bool HvRead(uint32_t address, uint32_t* value);
    bool HvWrite(uint32_t address, uint32_t value);

    struct HvChannel {
        uint32_t selector = 0; // last selector code written to the control register (0: none)
        uint32_t control = 0;
    } hv_[2];

    bool flashSelected_ = false;
    std::vector<uint8_t> flashCommand_;
    uint32_t flashAddress_ = 0;
    uint32_t flashOffset_ = 0;
};

// The register-level device: each channel runs by its own run register and
// the device runs while any does; its channels take commands in their blocks
// (clear, software trigger, sweep signal) and count in multichannel-scaling
// slots; its flash sits behind a controller at 0x85xx, its high-voltage
// channels report monitors in the channel blocks.
// (ZarnSimDevice.cpp; its scaling in ZarnSimMcs.cpp, its flash in
// ZarnSimFlash.cpp, its monitors in ZarnSimBoard_HighVoltage.cpp)
class DeviceBoard final : public Board {
public:
    DeviceBoard(const Profile& profile, const FamilyMap& map);

private:
    void LoadOwnDefaults() override;
    bool ReadOwn(uint32_t address, uint32_t* value) override;
    bool WriteOwn(uint32_t address, uint32_t value) override;
    void Started() override;
    void Stopped() override {}
    bool FlushesWhenQuiet() const override { return false; }
    void ResetOwn() override;
    void FollowRunRegisters() override;
    void ChannelStopped(uint32_t channel) override;
    bool Slotted(uint32_t channel) const override { return McsOn(channel); }
    void EndSlotsBefore(uint32_t channel, uint64_t tick) override { McsAdvance(channel, tick); }
    void CountInSlot(uint32_t channel) override { McsCount(channel); }
    void EndSlotsBy(double ns) override { McsCatchUp(ns); }

    bool ChannelCommand(uint32_t channel, uint32_t offset, uint32_t value);
    // flash controller
    bool FlashRead(uint32_t address, uint32_t* value);
    bool FlashWrite(uint32_t address, uint32_t value);
    void BuildFlash();
    // high-voltage monitors
    bool HvRead(uint32_t address, uint32_t* value);
    // multichannel scaling
    bool McsOn(uint32_t channel) const;
    void McsAdvance(uint32_t channel, uint64_t tick);
    void McsCatchUp(double ns);
    void McsCount(uint32_t channel);
    void McsSweepSignal(uint32_t channel);

    struct McsState {
        bool started = false;   // the first sweep began
        bool sweeping = false;  // a sweep is in progress
        uint32_t slot = 0;      // the slot being counted
        uint64_t slotStart = 0; // its first sample period
        uint32_t count = 0;     // events in it so far
    } mcs_[kMaxChannels];

    std::map<uint32_t, std::vector<uint8_t>> pages_;
    int unlockStep_ = 0;
    bool unlocked_ = false;
    bool flashBusy_ = false;
    std::vector<uint8_t> pageData_;
};

} // namespace zsim

#endif // ZARN_SIM_BOARD_KINDS_H
