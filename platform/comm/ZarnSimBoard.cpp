// One simulated board: register file with the board's read and write
// semantics, commands, high-voltage supply, flash memories, and the readout
// queues fed by the event source (ZarnSimEventSource.cpp).
#include "ZarnSimBoard.h"

#include "ZarnComm.h"
#include "ZarnSimulator.h"
#include "ZarnUtility.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

static const c_LogModule_t kLog = {"ZarnSimBoardLog.txt", "ZarnSimBoard"};

namespace zsim {
namespace {

bool IsBroadcast(uint32_t address) {
    uint32_t low = address & 0xFFu;
    return (address & 0xFFFFFF00u) == 0x8000u && low != 0x00 && low != 0x01;
}

uint32_t Shift(uint32_t mask) { return mask ? static_cast<uint32_t>(__builtin_ctz(mask)) : 0; }

uint32_t PeekThunk(void* board, uint32_t address) { return static_cast<Board*>(board)->Peek(address); }

// Limits that the high-voltage supply reports per quantity: the scale word,
// the maximum and the minimum in counts (selector codes 176 to 181).
struct HvLimit {
    uint32_t scale;
    uint32_t maxCount;
    uint32_t minCount;
};

struct HvFamily {
    HvLimit vset, iset, ramp, vmax, vmon, imon;
    double vLsb; // volts per count of VSet and VMon
    double iLsb; // microamperes per count of ISet and IMon
};

const HvFamily& HvFamilyOf(uint32_t family) {
    // family 7: 5100 V in 0.1 V, 315 uA in 0.01 uA; family 12: 4100 V, 3100 uA in 0.05 uA
    static const HvFamily f7 = {{10, 51000, 0}, {0xC000u | 100, 31500, 0}, {0, 500, 1}, {0x8000u | 20, 255, 0},
                                {10, 51000, 0}, {0xC000u | 100, 31500, 0}, 0.1,         0.01};
    static const HvFamily f12 = {{10, 41000, 0}, {0xC000u | 20, 62000, 0}, {0, 500, 1}, {0x8000u | 20, 205, 0},
                                 {10, 41000, 0}, {0xC000u | 20, 62000, 0}, 0.1,         0.05};
    return family == 12 ? f12 : f7;
}

uint64_t SteadyNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

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

uint32_t Board::Raw(uint32_t address) const {
    auto it = regs_.find(address);
    return it == regs_.end() ? 0u : it->second;
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

// ------------------------------------------------------------------- commands

void Board::Reset() {
    running_ = false;
    ClearData();
    LoadDefaults();
    for (uint32_t c = 0; c < kMaxChannels; ++c)
        ch_[c].nextArrivalNs = -1;
    flashSelected_ = false;
    flashCommand_.clear();
    deviceUnlocked_ = false;
    unlockStep_ = 0;
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
    if (!map->deviceRun)
        SetRaw(REG_ACQ_CONTROL, Raw(REG_ACQ_CONTROL) | 0x4u);
    for (uint32_t c = 0; c < channels_; ++c)
        if (ChannelRunning(c))
            StartChannelSource(c, 0);
}

void Board::Stop() {
    if (!running_)
        return;
    CatchUp();
    running_ = false;
    if (!map->deviceRun)
        SetRaw(REG_ACQ_CONTROL, Raw(REG_ACQ_CONTROL) & ~0x4u);
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

// ------------------------------------------------------------ readout queue

size_t Board::UnitCapacity() const {
    uint32_t code = Raw(REG_BUFFER_ORGANISATION) & 0xF;
    size_t buffers = code ? (size_t{1} << std::min<uint32_t>(code, 10)) : 1024;
    return std::max<size_t>(buffers, 2);
}

uint32_t Board::AggregatesPerTransfer() const {
    uint32_t n = FieldValue(map->aggregatesPerTransfer, 0);
    return n ? n : 1;
}

uint32_t Board::EventsPerAggregate(uint32_t unit) {
    if (encoder_ && encoder_->eventsPerAggregate)
        return encoder_->eventsPerAggregate(&context_, unit);
    uint32_t n = FieldValue(map->eventsPerAggregate, unit);
    return n ? n : 1;
}

void Board::PrepareContext() {
    context_.board = this;
    context_.readRegister = &PeekThunk;
    context_.dppCode = profile.dppCode;
    context_.dppMinor = profile.dppMinor;
    context_.familyCode = profile.info.FamilyCode;
    context_.channels = channels_;
    context_.adcBits = profile.info.ADC_NBits;
    context_.samplePeriodNs = period_;
    for (uint32_t c = 0; c < channels_; ++c) {
        context_.realTimeTicks[c] = static_cast<uint64_t>(ch_[c].realNs / period_);
        context_.deadTimeTicks[c] = static_cast<uint64_t>(ch_[c].deadNs / period_);
    }
}

// Bytes of read buffers kept for reuse at most.
constexpr size_t kSpareBytes = size_t{16} << 20;

Words Board::TakeWords(size_t count) {
    Words words;
    if (!spareWords_.empty()) {
        words = std::move(spareWords_.back());
        spareWords_.pop_back();
        spareBytes_ -= words.capacity() * sizeof(uint32_t);
    }
    words.resize(count);
    return words;
}

void Board::Recycle(BoardAggregate& aggregate) {
    for (Words& words : aggregate.units) {
        size_t bytes = words.capacity() * sizeof(uint32_t);
        if (spareBytes_ + bytes > kSpareBytes)
            break;
        words.clear();
        spareBytes_ += bytes;
        spareWords_.push_back(std::move(words));
    }
}

void Board::CloseUnit(uint32_t unit) {
    UnitState& u = units_[unit];
    if (u.open.empty())
        return;
    if (!encoder_) {
        u.open.clear();
        u.samples.clear();
        return;
    }
    PrepareContext();
    // the waveforms lie one after the other in the unit's sample store
    size_t offset = 0;
    for (ZarnSim_Event_t& e : u.open) {
        e.waveform = e.samples ? u.samples.data() + offset : nullptr;
        offset += e.samples;
    }
    ZarnSim_Event_t* events = u.open.data();
    uint32_t count = static_cast<uint32_t>(u.open.size());
    uint32_t bound = encoder_->unitAggregateWords(&context_, unit, events, count);
    Words words = TakeWords(bound);
    uint32_t n = bound ? encoder_->encodeUnitAggregate(&context_, unit, events, count, words.data(), bound) : 0;
    u.open.clear();
    u.samples.clear();
    if (n == 0 || n > bound) {
        c_lprintf(&kLog, C_LOG_WARNING, __LINE__, "%s: encoder of DPP code %u dropped %u events of unit %u",
                  profile.name.c_str(), profile.dppCode, count, unit);
        return;
    }
    words.resize(n);
    u.closed.push_back(std::move(words));
}

void Board::CloseAllUnits() {
    for (uint32_t u = 0; u < units_.size(); ++u)
        CloseUnit(u);
}

void BoardAggregate::CopyTo(char* destination, size_t count) const {
    count = std::min(count, words);
    size_t take = std::min<size_t>(count, 4);
    std::memcpy(destination, header, take * sizeof(uint32_t));
    size_t done = take;
    for (const Words& unit : units) {
        if (done == count)
            break;
        take = std::min(count - done, unit.size());
        std::memcpy(destination + 4 * done, unit.data(), take * sizeof(uint32_t));
        done += take;
    }
}

// Frames the closed unit aggregates into board aggregates, the first of
// every unit that has one into each.
void Board::FormAggregates() {
    for (;;) {
        uint64_t mask = 0;
        for (uint32_t u = 0; u < units_.size(); ++u)
            if (!units_[u].closed.empty())
                mask |= 1ull << u;
        if (!mask)
            return;
        BoardAggregate aggregate;
        aggregate.units.reserve(static_cast<size_t>(__builtin_popcountll(mask)));
        for (uint32_t u = 0; u < units_.size(); ++u) {
            if (!(mask & (1ull << u)))
                continue;
            aggregate.words += units_[u].closed.front().size();
            aggregate.units.push_back(std::move(units_[u].closed.front()));
            units_[u].closed.pop_front();
        }
        uint32_t* header = aggregate.header;
        header[0] = 0xA0000000u | (static_cast<uint32_t>(aggregate.words) & 0x0FFFFFFFu);
        header[1] = static_cast<uint32_t>(mask & 0xFF);
        header[2] = (aggregateCounter_++ & 0x7FFFFFu) | (static_cast<uint32_t>((mask >> 8) & 0xFF) << 24);
        header[3] = static_cast<uint32_t>(static_cast<uint64_t>(boardNs_ / period_));
        if (encoder_ && encoder_->finishHeader) {
            PrepareContext();
            encoder_->finishHeader(&context_, header, nullptr);
        }
        ready_.push_back(std::move(aggregate));
    }
}

void Board::CommitTrigger(PendingEvent&& trigger) {
    if (ready_.size() >= UnitCapacity()) {
        ch_[trigger.event.channel].lost++;
        return;
    }
    PrepareContext();
    uint32_t perUnit = encoder_->channelsPerUnit ? encoder_->channelsPerUnit : 1;
    BoardAggregate aggregate;
    uint64_t mask = 0;
    for (uint32_t u = 0; u < units_.size(); ++u) {
        std::vector<PendingEvent> events;
        for (uint32_t c = u * perUnit; c < std::min(channels_, (u + 1) * perUnit); ++c) {
            if (!ChannelEnabled(c))
                continue;
            if (c == trigger.event.channel) {
                events.push_back(std::move(trigger));
                continue;
            }
            PendingEvent quiet;
            quiet.event.channel = c;
            quiet.event.timeTag = trigger.event.timeTag;
            quiet.event.fineTime = trigger.event.fineTime;
            quiet.event.flags = ZARN_SIM_EVENT_NO_PULSE;
            MakeWaveform(c, quiet);
            events.push_back(std::move(quiet));
        }
        if (events.empty())
            continue;
        std::vector<ZarnSim_Event_t> pub;
        for (PendingEvent& e : events) {
            e.event.waveform = e.wave.empty() ? nullptr : e.wave.data();
            e.event.samples = static_cast<uint32_t>(e.wave.size());
            pub.push_back(e.event);
        }
        uint32_t count = static_cast<uint32_t>(pub.size());
        uint32_t bound = encoder_->unitAggregateWords(&context_, u, pub.data(), count);
        Words words = TakeWords(bound);
        uint32_t n = bound ? encoder_->encodeUnitAggregate(&context_, u, pub.data(), count, words.data(), bound) : 0;
        if (n == 0 || n > bound)
            continue;
        words.resize(n);
        aggregate.words += n;
        aggregate.units.push_back(std::move(words));
        mask |= 1ull << u;
    }
    uint32_t* header = aggregate.header;
    header[0] = 0xA0000000u | (static_cast<uint32_t>(aggregate.words) & 0x0FFFFFFFu);
    header[1] = static_cast<uint32_t>(mask & 0xFF);
    header[2] = (aggregateCounter_++ & 0x7FFFFFu) | (static_cast<uint32_t>((mask >> 8) & 0xFF) << 24);
    header[3] = static_cast<uint32_t>(trigger.event.timeTag);
    if (encoder_->finishHeader)
        encoder_->finishHeader(&context_, header, &trigger.event);
    ready_.push_back(std::move(aggregate));
}

void Board::Commit(uint32_t channel, PendingEvent&& event) {
    if (!encoder_)
        return; // a format without an encoder yields no data
    bool pulse = (event.event.flags & ZARN_SIM_EVENT_MCS) == 0;
    if (pulse && map->deviceRun)
        McsAdvance(channel, event.event.timeTag); // slots over before this event
    uint32_t unit = UnitOfChannel(channel);
    if (units_[unit].eventsPerAggregate == 0) { // as the caller's ReadSetups found it
        CommitTrigger(std::move(event));
        return;
    }
    UnitState& u = units_[unit];
    if (u.closed.size() >= UnitCapacity()) {
        ch_[channel].lost++;
        return;
    }
    event.event.samples = static_cast<uint32_t>(event.wave.size());
    event.event.waveform = nullptr;
    u.open.push_back(event.event);
    u.samples.insert(u.samples.end(), event.wave.begin(), event.wave.end());
    if (pulse && map->deviceRun)
        McsCount(channel);
    if (u.open.size() >= u.eventsPerAggregate)
        CloseUnit(unit);
}

bool Board::DataReady() {
    CatchUp();
    if (running_ && (Raw(REG_BOARD_CONFIG) & 0x1u) && !map->deviceRun) {
        bool closed = !ready_.empty();
        for (const UnitState& u : units_)
            closed = closed || !u.closed.empty();
        if (!closed)
            CloseAllUnits(); // automatic flush of a quiet board
    }
    if (clockMode_ == ZARN_SIM_CLOCK_AS_FAST_AS_READ && running_)
        FastForward();
    FormAggregates();
    return !ready_.empty();
}

int Board::BlockRead(void* destinationBytes, uint32_t maxWords, uint32_t* wordsRead) {
    // the caller's buffer need not be word-aligned: copy bytes
    char* destination = static_cast<char*>(destinationBytes);
    *wordsRead = 0;
    if (ready_.empty())
        DataReady();
    if (cutPending_) {
        cutPending_ = false;
        uint32_t n = 0;
        while (!ready_.empty() && n < std::min(cutWords_, maxWords)) {
            const BoardAggregate& a = ready_.front();
            uint32_t take = std::min<uint32_t>(static_cast<uint32_t>(a.words), std::min(cutWords_, maxWords) - n);
            a.CopyTo(destination + 4 * size_t{n}, take);
            n += take;
            Recycle(ready_.front());
            ready_.pop_front(); // a cut aggregate is lost
        }
        *wordsRead = n;
        transferCount_ = 0;
        return cutCode_;
    }
    // Words handed over per call: a long transfer comes in several calls.
    constexpr uint32_t kWordsPerCall = 0x4000;
    uint32_t limit = AggregatesPerTransfer();
    uint32_t n = 0;
    while (!ready_.empty() && transferCount_ < limit) {
        const BoardAggregate& a = ready_.front();
        uint32_t size = static_cast<uint32_t>(a.words);
        if (size > maxWords - n)
            break;
        if (n > 0 && n + size > kWordsPerCall)
            break;
        a.CopyTo(destination + 4 * size_t{n}, size);
        n += size;
        Recycle(ready_.front());
        ready_.pop_front();
        transferCount_++;
    }
    *wordsRead = n;
    bool more = n > 0 && !ready_.empty() && transferCount_ < limit && ready_.front().words <= maxWords - n;
    if (more)
        return ZARN_COMM_Success;
    if (n == 0 && !ready_.empty() && ready_.front().words > maxWords)
        c_lprintf(&kLog, C_LOG_WARNING, __LINE__,
                  "%s: a board aggregate of %zu words does not fit the %u words of the read", profile.name.c_str(),
                  ready_.front().words, maxWords);
    transferCount_ = 0;
    return ZARN_COMM_NoMoreData;
}

uint32_t Board::ReadoutBufferBytes() {
    uint64_t words = 4;
    uint32_t samplesMax = 0;
    for (uint32_t c = 0; c < channels_; ++c)
        samplesMax = std::max(samplesMax, FieldValue(map->recordLength, c));
    bool waves = !map->waveformEnable.Present() || FieldValue(map->waveformEnable, 0) != 0;
    if (!waves)
        samplesMax = 0;
    samplesMax = std::min<uint32_t>(samplesMax, 1u << 17);
    PrepareContext();
    for (uint32_t u = 0; u < units_.size(); ++u) {
        uint32_t events = EventsPerAggregate(u);
        if (events == 0)
            events = encoder_ && encoder_->channelsPerUnit ? encoder_->channelsPerUnit : 1;
        events = std::min<uint32_t>(events, 1024);
        if (encoder_) {
            std::vector<int16_t> wave(samplesMax);
            std::vector<ZarnSim_Event_t> synthetic(events);
            for (ZarnSim_Event_t& e : synthetic) {
                e.channel = u * (encoder_->channelsPerUnit ? encoder_->channelsPerUnit : 1);
                e.waveform = samplesMax ? wave.data() : nullptr;
                e.samples = samplesMax;
            }
            words += encoder_->unitAggregateWords(&context_, u, synthetic.data(), events);
        } else {
            words += 2 + static_cast<uint64_t>(events) * (4 + samplesMax);
        }
    }
    uint64_t bytes = words * 4 * AggregatesPerTransfer();
    bytes = std::max<uint64_t>(bytes, 4096);
    bytes = std::min<uint64_t>(bytes, 0x10000000u);
    return static_cast<uint32_t>(bytes);
}

// ---------------------------------------------------------- test interface

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

void Board::RaiseCondition(int condition, uint64_t mask) {
    CatchUp();
    uint64_t all = channels_ >= 64 ? ~0ull : (1ull << channels_) - 1;
    switch (condition) {
    case ZARN_SIM_COND_PLL_UNLOCK:
        pllUnlockLatched_ = true;
        pllClearArmed_ = false;
        break;
    case ZARN_SIM_COND_OVER_TEMPERATURE:
        overTempMask_ |= (mask ? mask : all) & all;
        shutdownMask_ |= overTempMask_;
        adcShutdown_ = true;
        break;
    case ZARN_SIM_COND_ADC_SHUTDOWN:
        shutdownMask_ |= (mask ? mask : all) & all;
        adcShutdown_ = true;
        break;
    default: break;
    }
}

void Board::ClearCondition(int condition) {
    CatchUp();
    switch (condition) {
    case ZARN_SIM_COND_PLL_UNLOCK:
        pllUnlockLatched_ = false;
        pllClearArmed_ = false;
        break;
    case ZARN_SIM_COND_OVER_TEMPERATURE: overTempMask_ = 0; break;
    case ZARN_SIM_COND_ADC_SHUTDOWN:
        adcShutdown_ = overTempMask_ != 0;
        shutdownMask_ = overTempMask_;
        break;
    default: break;
    }
}

void Board::CutNextBlockRead(uint32_t maxWords, int code) {
    cutPending_ = true;
    cutWords_ = maxWords;
    cutCode_ = code;
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

// ------------------------------------------------------ high-voltage supply

bool Board::HvRead(uint32_t address, uint32_t* value) {
    if ((address & 0xF000u) != 0x1000u)
        return false;
    uint32_t block = (address >> 8) & 0xF;
    uint32_t first = profile.info.Channels; // the supply's registers follow the channels'
    if (block < first || block >= first + profile.hvChannels)
        return false;
    uint32_t h = block - first;
    uint32_t offset = address & 0xFF;
    const HvFamily& f = HvFamilyOf(profile.info.FamilyCode);
    HvChannel& hv = hv_[h];
    uint32_t base = address & ~0xFFu;
    bool on = (hv.control & 1u) != 0;
    uint32_t vmon = on ? Raw(base | 0x20) : 0;
    double volts = vmon * f.vLsb;
    uint32_t imon = on ? static_cast<uint32_t>(std::min(volts * 0.001 / f.iLsb, Raw(base | 0x24) * 1.0)) : 0;
    const HvLimit* limit = nullptr;
    switch (hv.selector) {
    case 176: limit = &f.vset; break;
    case 177: limit = &f.iset; break;
    case 178: limit = &f.ramp; break;
    case 179: limit = &f.vmax; break;
    case 180: limit = &f.vmon; break;
    case 181: limit = &f.imon; break;
    default: break;
    }
    switch (offset) {
    case 0x34: *value = hv.control; return true;
    case 0x38:
        if (limit)
            *value = limit->scale;
        else if (hv.control & 0x80u)
            *value = ((profile.hvFirmwareLevel & 0xFF) << 8) | (on ? 1u : 0u);
        else
            *value = on ? 1u : 0u;
        return true;
    case 0x40:
        if (limit)
            *value = limit->maxCount;
        else if (hv.selector == 183)
            *value = 0x00010002u | (h << 8);
        else
            *value = (hv.control & 0x80u) ? 0u : vmon; // VExt: nothing connected
        return true;
    case 0x44:
        if (limit)
            *value = limit->minCount;
        else
            *value = (hv.control & 0x80u) ? 250u : imon; // RTMP: 25.0 degrees
        return true;
    default: return false;
    }
}

bool Board::HvWrite(uint32_t address, uint32_t value) {
    if ((address & 0xF000u) != 0x1000u)
        return false;
    uint32_t block = (address >> 8) & 0xF;
    uint32_t first = profile.info.Channels;
    if (block < first || block >= first + profile.hvChannels)
        return false;
    uint32_t offset = address & 0xFF;
    HvChannel& hv = hv_[block - first];
    if (offset == 0x34) {
        if (value >= 176 && value <= 183) {
            hv.selector = value; // report that quantity's limits
        } else {
            hv.selector = 0;
            hv.control = value;
        }
        return true;
    }
    return offset == 0x38 || offset == 0x40 || offset == 0x44; // read-only
}

bool Board::DeviceHvRead(uint32_t address, uint32_t* value) {
    if ((address & 0xF000u) != 0x1000u)
        return false;
    uint32_t h = (address >> 8) & 0xF;
    if (h >= profile.hvChannels)
        return false;
    uint32_t base = address & ~0xFFu;
    bool on = (Raw(base | 0xEC) & 1u) != 0;
    switch (address & 0xFF) {
    case 0xF4: *value = on ? Raw(base | 0xD8) : 0; return true;       // VMON follows VSET
    case 0xF8: *value = on ? Raw(base | 0xD8) / 100 : 0; return true; // IMON: leakage
    case 0xFC: *value = 2500; return true;                            // TMON: 25.00 degrees
    default: return false;
    }
}

} // namespace zsim
