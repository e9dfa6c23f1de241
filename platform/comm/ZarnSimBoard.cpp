// One simulated board: its construction and its register file, with the
// board's read and write semantics (status words, read-only and command
// registers, broadcast writes to every channel block). The commands live in
// ZarnSimBoard_Commands.cpp, the readout queues in ZarnSimBoard_Readout.cpp,
// the high-voltage supply in ZarnSimBoard_HighVoltage.cpp, the conditions
// tests raise in ZarnSimBoard_Faults.cpp, the flash memories in
// ZarnSimFlash.cpp and the event source in ZarnSimEventSource.cpp.
#include "ZarnSimBoard.h"

#include "ZarnSimulator.h"

#include <algorithm>
#include <cstdio>

namespace zsim {
namespace {

bool IsBroadcast(uint32_t address) {
    uint32_t low = address & 0xFFu;
    return (address & 0xFFFFFF00u) == 0x8000u && low != 0x00 && low != 0x01;
}

uint32_t Shift(uint32_t mask) { return mask ? static_cast<uint32_t>(__builtin_ctz(mask)) : 0; }

} // namespace

Board::Board(const Profile& p) : profile(p), map(&FamilyMapFor(p.info.FamilyCode, p.dppCode)) {
    uint32_t blocks = profile.info.Channels;
    channels_ = std::min<uint32_t>(kMaxChannels, blocks * map->channelsPerBlock);
    period_ = profile.samplePeriodNs > 0 ? profile.samplePeriodNs : map->samplePeriodNs;
    encoder_ = FindEncoder(profile.dppCode, &encoderCopy_) ? &encoderCopy_ : nullptr;
    perUnit_ = encoder_ && encoder_->channelsPerUnit ? encoder_->channelsPerUnit : 1;
    units_.resize((channels_ + perUnit_ - 1) / perUnit_);
    clockMode_ = profile.signal.clockMode;
    uint64_t seed = profile.signal.seed ? profile.signal.seed : SteadyNs();
    rng_.Seed(seed);
    BuildEnergyTable();
    for (uint32_t c = 0; c < kMaxChannels; ++c)
        ch_[c].rate = profile.signal.rate;
    if (map->deviceFlash)
        BuildDeviceFlash();
    LoadDefaults();
    PrepareContext();
}

// ------------------------------------------------------------ register file

void Board::LoadDefaults() {
    regs_.clear();
    uint32_t blocks = channels_ / map->channelsPerBlock;
    if (blocks == 0)
        blocks = 1;
    for (const RegisterDefault& d : map->defaults) {
        if (d.perChannel)
            for (uint32_t b = 0; b < blocks; ++b)
                SetRaw(d.address | (b << 8), d.value);
        else
            SetRaw(d.address, d.value);
    }
    if (!map->deviceRun)
        SetRaw(REG_CHANNEL_ENABLE_MASK, blocks >= 32 ? 0xFFFFFFFFu : (1u << blocks) - 1);
    SetRaw(REG_BOARD_INFO, ((profile.memoryCode & 0xFF) << 8) | ((profile.info.Channels & 0xFF) << 16) |
                               (profile.info.FamilyCode & 0xFF));
    unsigned major = 0, minor = 0;
    if (map->deviceRun) {
        SetRaw(REG_ROC_FIRMWARE, (profile.build << 16) | ((profile.dppCode & 0xFF) << 8) | (profile.dppMinor & 0xFF));
    } else if (std::sscanf(profile.info.BoardFirmwareRel, "%u.%u", &major, &minor) == 2) {
        SetRaw(REG_ROC_FIRMWARE, (profile.build << 16) | ((major & 0xFF) << 8) | (minor & 0xFF));
    }
    for (uint32_t b = 0; b < blocks; ++b) {
        SetRaw(ChannelAddress(b, CH_FIRMWARE), ((profile.dppCode & 0xFF) << 8) | (profile.dppMinor & 0xFF));
        SetRaw(ChannelAddress(b, CH_TEMPERATURE), 38);
    }
    if (map->serialFlash)
        SetRaw(REG_FLASH_TYPE, profile.flashType);
    for (const auto& r : profile.registers)
        SetRaw(r.first, r.second);
    for (const auto& r : profile.channelRegisters)
        for (uint32_t b = 0; b < blocks; ++b)
            SetRaw(ChannelAddress(b, r.first), r.second);
    for (HvChannel& h : hv_)
        h = HvChannel{};
}

uint32_t Board::Peek(uint32_t address) const { return Raw(address); }

void Board::Poke(uint32_t address, uint32_t value) { SetRaw(address, value); }

uint32_t Board::FieldValue(const Field& f, uint32_t channel) const {
    if (!f.Present())
        return 0;
    uint32_t address = f.address;
    if (f.perChannel)
        address = (f.address & ~0x0F00u) | ((channel / map->channelsPerBlock) << 8);
    return ((Raw(address) & f.mask) >> Shift(f.mask)) * f.scale;
}

uint32_t Board::StatusWord() {
    bool dataReady = !ready_.empty();
    bool full = false;
    size_t capacity = UnitCapacity();
    for (const UnitState& u : units_) {
        if (!u.closed.empty())
            dataReady = true;
        if (u.closed.size() >= capacity)
            full = true;
    }
    uint32_t status = 0x100; // board ready
    if (running_)
        status |= 1u << 2;
    if (dataReady)
        status |= 1u << 3;
    if (full)
        status |= 1u << 4;
    if (!pllUnlockLatched_)
        status |= 1u << 7;
    if (adcShutdown_)
        status |= 1u << 19;
    return status;
}

uint32_t Board::ChannelStatusWord(uint32_t channel) const {
    uint32_t status = 0;
    uint64_t bit = 1ull << channel;
    if (overTempMask_ & bit)
        status |= 1u << 8;
    if (adcShutdown_ && (shutdownMask_ & bit))
        status |= 1u << 9;
    return status;
}

uint32_t Board::Read(uint32_t address) {
    CatchUp();
    uint32_t value = 0;
    if (ReadSpecial(address, &value))
        return value;
    return Raw(address);
}

bool Board::ReadSpecial(uint32_t address, uint32_t* value) {
    switch (address) {
    case REG_ACQ_STATUS:
        if (!map->deviceRun)
            FormAggregates();
        *value = StatusWord();
        if (pllClearArmed_) {
            // the restore sequence: 0xEF04 then 0x8104 clears the latched unlock
            pllUnlockLatched_ = false;
            pllClearArmed_ = false;
        }
        return true;
    case REG_INTERFACE_STATUS:
        FormAggregates();
        *value = (ready_.empty() ? 0u : 1u) | (pllUnlockLatched_ ? 0x10u : 0u);
        pllClearArmed_ = true;
        return true;
    case REG_BOARD_FAILURE:
        *value = (pllUnlockLatched_ ? 0x10u : 0u) | (overTempMask_ ? 0x20u : 0u) | (adcShutdown_ ? 0x40u : 0u);
        return true;
    case REG_ADC_SHUTDOWN:
        if (map->deviceRun)
            return false;
        *value = adcShutdown_ ? 1u : 0u;
        return true;
    case REG_OVER_TEMPERATURE:
        if (map->deviceRun)
            return false;
        *value = static_cast<uint32_t>(overTempMask_);
        return true;
    default: break;
    }
    if (map->serialFlash && FlashRead(address, value))
        return true;
    if (map->deviceFlash && (address & 0xFF00u) == 0x8500u)
        return FlashRead(address, value);
    if (map->deviceFlash && address >= REG_DFLASH_DATA && address < REG_DFLASH_DATA + 256)
        return FlashRead(address, value);
    if (map->hvSupply && HvRead(address, value))
        return true;
    if (map->deviceHv && DeviceHvRead(address, value))
        return true;
    if ((address & 0xF000u) == 0x1000u) {
        uint32_t block = (address >> 8) & 0xF;
        uint32_t offset = address & 0xFF;
        uint32_t blocks = channels_ / map->channelsPerBlock;
        if (block < blocks) {
            if (offset == CH_STATUS && !map->deviceRun) {
                *value = ChannelStatusWord(block * map->channelsPerBlock);
                return true;
            }
            if (map->realDeadCounters && (offset == CH_REAL_TIME || offset == CH_DEAD_TIME)) {
                ChannelState& c = ch_[block];
                if (offset == CH_REAL_TIME) {
                    uint64_t ticks = static_cast<uint64_t>(c.realNs / period_);
                    *value = static_cast<uint32_t>(std::min<uint64_t>(ticks - c.realTicksAtRead, 0xFFFFFFFFu));
                    c.realTicksAtRead = ticks;
                } else {
                    uint64_t ticks = static_cast<uint64_t>(c.deadNs / period_);
                    *value = static_cast<uint32_t>(std::min<uint64_t>(ticks - c.deadTicksAtRead, 0xFFFFFFFFu));
                    c.deadTicksAtRead = ticks;
                }
                return true;
            }
        }
    }
    return false;
}

void Board::Write(uint32_t address, uint32_t value) {
    CatchUp();
    if (IsBroadcast(address)) {
        SetRaw(address, value);
        uint32_t blocks = channels_ / map->channelsPerBlock;
        for (uint32_t b = 0; b < blocks; ++b) {
            uint32_t target = 0x1000u | (b << 8) | (address & 0xFFu);
            if (!WriteCommand(target, value))
                SetRaw(target, value);
        }
    } else if (!WriteCommand(address, value)) {
        SetRaw(address, value);
    }
    OnRunChange();
}

// Registers whose write is a command or that are read-only. Answers false
// when the write is a plain store.
bool Board::WriteCommand(uint32_t address, uint32_t value) {
    switch (address) {
    case REG_ACQ_CONTROL: {
        if (map->deviceRun)
            return false;
        bool wasRunning = (Raw(REG_ACQ_CONTROL) & 0x4u) != 0;
        SetRaw(REG_ACQ_CONTROL, value);
        bool run = (value & 0x4u) != 0;
        if (run && !wasRunning)
            Start();
        if (!run && wasRunning)
            Stop();
        return true;
    }
    case REG_SW_TRIGGER:
        if (map->deviceRun)
            return false;
        SoftwareTrigger();
        return true;
    case REG_MANUAL_FLUSH: Flush(); return true;
    case REG_SW_RESET: Reset(); return true;
    case REG_SW_CLEAR: Clear(); return true;
    case REG_ADC_SHUTDOWN:
        if (map->deviceRun)
            return false;
        if (value == 0 && overTempMask_ == 0) {
            adcShutdown_ = false;
            shutdownMask_ = 0;
        }
        return true;
    case REG_ACQ_STATUS:
    case REG_BOARD_INFO:
    case REG_ROC_FIRMWARE:
    case REG_BOARD_FAILURE:
    case REG_INTERFACE_STATUS: return true; // read-only
    case REG_OVER_TEMPERATURE:
    case REG_FLASH_TYPE: return !map->deviceRun;
    case REG_DEVICE_CONFIG:
        if (!map->deviceRun)
            return false;
        SetRaw(REG_DEVICE_CONFIG, value == kDeviceConfigKey ? 1u : 0u);
        return true;
    default: break;
    }
    if (map->serialFlash && FlashWrite(address, value))
        return true;
    if (map->deviceFlash && FlashWrite(address, value))
        return true;
    if (map->hvSupply && HvWrite(address, value))
        return true;
    if ((address & 0xF000u) == 0x1000u) {
        uint32_t block = (address >> 8) & 0xF;
        uint32_t offset = address & 0xFF;
        uint32_t blocks = channels_ / map->channelsPerBlock;
        if (block < blocks) {
            if (offset == CH_FIRMWARE || offset == CH_TEMPERATURE)
                return true;
            if (!map->deviceRun && offset == CH_STATUS)
                return true;
            if (map->realDeadCounters && (offset == CH_REAL_TIME || offset == CH_DEAD_TIME))
                return true;
            if (map->deviceRun) {
                switch (offset) {
                case DCH_CLEAR:
                    if (value & 1u)
                        units_[UnitOfChannel(block)].Clear();
                    return true;
                case DCH_SW_TRIGGER:
                    if ((value & 1u) && ChannelRunning(block)) {
                        ReadSetups();
                        PendingEvent e;
                        e.event.channel = block;
                        e.event.timeTag = static_cast<uint64_t>(boardNs_ / period_);
                        e.event.flags = ZARN_SIM_EVENT_SOFTWARE;
                        MakeWaveform(block, e);
                        Commit(block, std::move(e));
                    }
                    return true;
                case DCH_SAMPLE_ADVANCE: return true;
                case DCH_MCS_SWEEP:
                    if (value & 1u)
                        McsSweepSignal(block);
                    return true;
                default: break;
                }
            }
        }
    }
    return false;
}

} // namespace zsim
