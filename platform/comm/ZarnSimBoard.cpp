// One simulated board: its construction and its register file, with the
// read and write semantics every kind shares (status words, read-only and
// command registers, broadcast writes to every channel block); the registers
// of each kind are its own (ZarnSimBoardKinds.h). The commands live in
// ZarnSimBoard_Commands.cpp, the readout queues in ZarnSimBoard_Readout.cpp,
// the high-voltage supplies in ZarnSimBoard_HighVoltage.cpp, the conditions
// tests raise in ZarnSimBoard_Faults.cpp, the flash memories in
// ZarnSimFlash.cpp and the event source in ZarnSimEventSource.cpp.
#include "ZarnSimBoard.h"

#include "ZarnSimulator.h"

#include <algorithm>

namespace zsim {
namespace {

bool IsBroadcast(uint32_t address) {
    uint32_t low = address & 0xFFu;
    return (address & 0xFFFFFF00u) == 0x8000u && low != 0x00 && low != 0x01;
}

uint32_t Shift(uint32_t mask) { return mask ? static_cast<uint32_t>(__builtin_ctz(mask)) : 0; }

} // namespace

std::shared_ptr<Board> MakeBoard(const Profile& profile) {
    const FamilyMap& map = FamilyMapFor(profile.info.FamilyCode, profile.dppCode);
    return map.make(profile, map);
}

Board::Board(const Profile& p, const FamilyMap& familyMap) : profile(p), map(&familyMap) {
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
    LoadOwnDefaults();
    SetRaw(REG_BOARD_INFO, ((profile.memoryCode & 0xFF) << 8) | ((profile.info.Channels & 0xFF) << 16) |
                               (profile.info.FamilyCode & 0xFF));
    for (uint32_t b = 0; b < blocks; ++b) {
        SetRaw(ChannelAddress(b, CH_FIRMWARE), ((profile.dppCode & 0xFF) << 8) | (profile.dppMinor & 0xFF));
        SetRaw(ChannelAddress(b, CH_TEMPERATURE), 38);
    }
    for (const auto& r : profile.registers)
        SetRaw(r.first, r.second);
    for (const auto& r : profile.channelRegisters)
        for (uint32_t b = 0; b < blocks; ++b)
            SetRaw(ChannelAddress(b, r.first), r.second);
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

uint32_t Board::ReadAcquisitionStatus() {
    uint32_t status = StatusWord();
    if (pllClearArmed_) {
        // the restore sequence: 0xEF04 then 0x8104 clears the latched unlock
        pllUnlockLatched_ = false;
        pllClearArmed_ = false;
    }
    return status;
}

bool Board::ChannelBlockOf(uint32_t address, uint32_t* block, uint32_t* offset) const {
    if ((address & 0xF000u) != 0x1000u)
        return false;
    *block = (address >> 8) & 0xF;
    *offset = address & 0xFF;
    return *block < channels_ / map->channelsPerBlock;
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
    case REG_INTERFACE_STATUS:
        FormAggregates();
        *value = (ready_.empty() ? 0u : 1u) | (pllUnlockLatched_ ? 0x10u : 0u);
        pllClearArmed_ = true;
        return true;
    case REG_BOARD_FAILURE:
        *value = (pllUnlockLatched_ ? 0x10u : 0u) | (overTempMask_ ? 0x20u : 0u) | (adcShutdown_ ? 0x40u : 0u);
        return true;
    default: break;
    }
    if (ReadOwn(address, value))
        return true;
    uint32_t block = 0, offset = 0;
    if (!ChannelBlockOf(address, &block, &offset))
        return false;
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
    case REG_MANUAL_FLUSH: Flush(); return true;
    case REG_SW_RESET: Reset(); return true;
    case REG_SW_CLEAR: Clear(); return true;
    case REG_ACQ_STATUS:
    case REG_BOARD_INFO:
    case REG_ROC_FIRMWARE:
    case REG_BOARD_FAILURE:
    case REG_INTERFACE_STATUS: return true; // read-only
    default: break;
    }
    if (WriteOwn(address, value))
        return true;
    uint32_t block = 0, offset = 0;
    if (!ChannelBlockOf(address, &block, &offset))
        return false;
    if (offset == CH_FIRMWARE || offset == CH_TEMPERATURE)
        return true;
    return map->realDeadCounters && (offset == CH_REAL_TIME || offset == CH_DEAD_TIME);
}

} // namespace zsim
