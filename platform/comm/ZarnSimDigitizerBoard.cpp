// The boards the digitizer-access layer opens: their acquisition control and
// software trigger registers, the over-temperature and ADC shutdown
// registers, the channel status words, and the power-on registers of their
// kind (channel enable mask, firmware word, flash type).
#include "ZarnSimBoardKinds.h"

#include <algorithm>
#include <cstdio>

namespace zsim {

std::shared_ptr<Board> MakeDigitizerBoard(const Profile& profile, const FamilyMap& map) {
    return std::make_shared<DigitizerBoard>(profile, map);
}

DigitizerBoard::DigitizerBoard(const Profile& p, const FamilyMap& familyMap) : Board(p, familyMap) { LoadDefaults(); }

void DigitizerBoard::LoadOwnDefaults() {
    uint32_t blocks = std::max<uint32_t>(channels_ / map->channelsPerBlock, 1);
    SetRaw(REG_CHANNEL_ENABLE_MASK, blocks >= 32 ? 0xFFFFFFFFu : (1u << blocks) - 1);
    unsigned major = 0, minor = 0;
    if (std::sscanf(profile.info.BoardFirmwareRel, "%u.%u", &major, &minor) == 2)
        SetRaw(REG_ROC_FIRMWARE, (profile.build << 16) | ((major & 0xFF) << 8) | (minor & 0xFF));
    SetRaw(REG_FLASH_TYPE, profile.flashType);
    for (HvChannel& h : hv_)
        h = HvChannel{};
}

uint32_t DigitizerBoard::ChannelStatusWord(uint32_t channel) const {
    uint32_t status = 0;
    uint64_t bit = 1ull << channel;
    if (overTempMask_ & bit)
        status |= 1u << 8;
    if (adcShutdown_ && (shutdownMask_ & bit))
        status |= 1u << 9;
    return status;
}

bool DigitizerBoard::ReadOwn(uint32_t address, uint32_t* value) {
    switch (address) {
    case REG_ACQ_STATUS:
        FormAggregates();
        *value = ReadAcquisitionStatus();
        return true;
    case REG_ADC_SHUTDOWN: *value = adcShutdown_ ? 1u : 0u; return true;
    case REG_OVER_TEMPERATURE: *value = static_cast<uint32_t>(overTempMask_); return true;
    default: break;
    }
    if (FlashRead(address, value))
        return true;
    if (map->hvSupply && HvRead(address, value))
        return true;
    uint32_t block = 0, offset = 0;
    if (ChannelBlockOf(address, &block, &offset) && offset == CH_STATUS) {
        *value = ChannelStatusWord(block * map->channelsPerBlock);
        return true;
    }
    return false;
}

bool DigitizerBoard::WriteOwn(uint32_t address, uint32_t value) {
    switch (address) {
    case REG_ACQ_CONTROL: {
        bool wasRunning = (Raw(REG_ACQ_CONTROL) & 0x4u) != 0;
        SetRaw(REG_ACQ_CONTROL, value);
        bool run = (value & 0x4u) != 0;
        if (run && !wasRunning)
            Start();
        if (!run && wasRunning)
            Stop();
        return true;
    }
    case REG_SW_TRIGGER: SoftwareTrigger(); return true;
    case REG_ADC_SHUTDOWN:
        if (value == 0 && overTempMask_ == 0) {
            adcShutdown_ = false;
            shutdownMask_ = 0;
        }
        return true;
    case REG_OVER_TEMPERATURE:
    case REG_FLASH_TYPE: return true; // read-only
    default: break;
    }
    if (FlashWrite(address, value))
        return true;
    if (map->hvSupply && HvWrite(address, value))
        return true;
    uint32_t block = 0, offset = 0;
    return ChannelBlockOf(address, &block, &offset) && offset == CH_STATUS; // read-only
}

// The acquisition control register shows the run.
void DigitizerBoard::Started() { SetRaw(REG_ACQ_CONTROL, Raw(REG_ACQ_CONTROL) | 0x4u); }

void DigitizerBoard::Stopped() { SetRaw(REG_ACQ_CONTROL, Raw(REG_ACQ_CONTROL) & ~0x4u); }

// Board configuration bit 0: the automatic flush of a quiet board.
bool DigitizerBoard::FlushesWhenQuiet() const { return (Raw(REG_BOARD_CONFIG) & 0x1u) != 0; }

void DigitizerBoard::ResetOwn() {
    flashSelected_ = false;
    flashCommand_.clear();
}

} // namespace zsim
