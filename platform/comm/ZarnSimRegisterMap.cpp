// The register map of each board family: which registers the simulated board
// itself reads to behave (enables, run gates, record length, aggregation,
// waveform recording, polarity and offset) and the power-on defaults of the
// registers. definitions/RegisterMap.md describes the same map for readers of
// board definition files; keep the two in step.
//
// Below the maps, the simulator's firmware rows: one per DPP code, with its
// register map and the encoder of its data format.
#include "ZarnSimBoard.h"

extern "C" const ZarnSim_Encoder_t ZarnSim_OrluPHAEncoder, ZarnSim_PembPSDEncoder, ZarnSim_PembPHAEncoder;
extern "C" const ZarnSim_Encoder_t ZarnSim_ScopeEncoder;
extern "C" const ZarnSim_Encoder_t ZarnSim_MorvanePHAEncoder;
extern "C" const ZarnSim_Encoder_t ZarnSim_TilkPSDEncoder, ZarnSim_DraqQDCEncoder, ZarnSim_VeskCIEncoder,
    ZarnSim_VeskPSDEncoder;

namespace zsim {
namespace {

Field Board(uint32_t address, uint32_t mask = 0xFFFFFFFFu, uint32_t scale = 1) {
    return Field{address, mask, false, scale};
}
Field Channel(uint32_t address, uint32_t mask = 0xFFFFFFFFu, uint32_t scale = 1) {
    return Field{address, mask, true, scale};
}

// A register's power-on value: of the board, or of every channel (the
// channel-0 address 0x10nn).
RegisterDefault BoardDefault(uint32_t address, uint32_t value) {
    return RegisterDefault{.address = address, .value = value, .perChannel = false};
}
RegisterDefault ChannelDefault(uint32_t address, uint32_t value) {
    return RegisterDefault{.address = address, .value = value, .perChannel = true};
}

// Defaults shared by the pulse-processing firmware layouts.
std::vector<RegisterDefault> DppDefaults() {
    return {
        BoardDefault(REG_BOARD_CONFIG, 0x000E0110u), // time tag, energy, extras on; bit 4, bit 8 reserved
        BoardDefault(REG_BUFFER_ORGANISATION, 0x0000000Au),
        BoardDefault(REG_ACQ_CONTROL, 0x00000000u),
        BoardDefault(REG_FRONT_PANEL_IO, 0x00000000u),
        BoardDefault(REG_AGGREGATES_PER_TRANSFER, 4u),
        ChannelDefault(0x1020, 125u),        // record length: 1000 samples
        ChannelDefault(0x1034, 16u),         // events per aggregate
        ChannelDefault(0x1038, 31u),         // pre-trigger: 124 samples
        ChannelDefault(0x105C, 250u),        // trapezoid rise time
        ChannelDefault(0x1060, 100u),        // trapezoid flat top
        ChannelDefault(0x1064, 80u),         // peaking time
        ChannelDefault(0x1068, 5000u),       // decay time
        ChannelDefault(0x106C, 100u),        // trigger threshold
        ChannelDefault(0x1080, 0x00000000u), // algorithm control: positive, no rescaling
        ChannelDefault(0x1098, 0xE666u),     // DC offset: baseline at 10 %
        ChannelDefault(0x10A0, 1u),          // channel run gate open
    };
}

FamilyMap PulseProcessing(const char* name, double periodNs) {
    FamilyMap m{};
    m.name = name;
    m.make = &MakeDigitizerBoard;
    m.samplePeriodNs = periodNs;
    m.channelsPerBlock = 1;
    m.channelEnable = Board(REG_CHANNEL_ENABLE_MASK);
    m.channelRun = Channel(0x10A0, 0x1);
    m.recordLength = Channel(0x1020, 0x3FFF, 8);
    m.preTrigger = Channel(0x1038, 0x1FF, 4);
    m.eventsPerAggregate = Channel(0x1034, 0x3FF);
    m.waveformEnable = Board(REG_BOARD_CONFIG, 1u << 16);
    m.aggregatesPerTransfer = Board(REG_AGGREGATES_PER_TRANSFER, 0x3FF);
    m.polarity = Channel(0x1080, 1u << 16);
    m.dcOffset = Channel(0x1098, 0xFFFF);
    m.realDeadCounters = false;
    m.hvSupply = false;
    m.defaults = DppDefaults();
    return m;
}

FamilyMap Waveform(const char* name, double periodNs, uint32_t channelsPerBlock) {
    FamilyMap m = PulseProcessing(name, periodNs);
    m.channelsPerBlock = channelsPerBlock;
    m.channelRun = Field{};
    m.eventsPerAggregate = Field{};
    m.waveformEnable = Field{}; // always records
    m.defaults = {
        BoardDefault(REG_BOARD_CONFIG, 0x00000010u),
        BoardDefault(REG_BUFFER_ORGANISATION, 0x0000000Au),
        BoardDefault(REG_AGGREGATES_PER_TRANSFER, 4u),
        ChannelDefault(0x1020, 128u), // 1024 samples
        ChannelDefault(0x1038, 64u),  // 256 samples before the trigger
        ChannelDefault(0x1080, 0u),
        ChannelDefault(0x1098, 0xE666u),
    };
    return m;
}

FamilyMap Device() {
    FamilyMap m{};
    m.name = "device";
    m.make = &MakeDeviceBoard;
    m.samplePeriodNs = 10.0;
    m.channelsPerBlock = 1;
    m.channelEnable = Channel(0x1000 | DCH_CONFIG, 1u << 3);
    m.channelRun = Channel(0x1000 | DCH_RUN, 0x1);
    m.recordLength = Board(0x1020, 0xFFFF, 2); // words of two samples
    m.preTrigger = Channel(0x1038, 0x1FF, 2);
    m.eventsPerAggregate = Board(0x8134, 0x3FF);
    m.waveformEnable = Board(REG_BOARD_CONFIG, 1u << 16);
    m.aggregatesPerTransfer = Board(REG_AGGREGATES_PER_TRANSFER, 0x3FF);
    m.polarity = Channel(0x1080, 1u << 16);
    m.dcOffset = Channel(0x1098, 0xFFFF);
    m.realDeadCounters = false;
    m.hvSupply = false;
    m.defaults = {
        BoardDefault(REG_BOARD_CONFIG, 0x00000000u),
        BoardDefault(REG_BUFFER_ORGANISATION, 0x0000000Au),
        BoardDefault(REG_AGGREGATES_PER_TRANSFER, 4u),
        BoardDefault(0x1020, 0u),
        BoardDefault(0x8134, 16u),
        BoardDefault(REG_DFLASH_ID, kDeviceFlashId),
        ChannelDefault(0x1000 | DCH_CONFIG, 0x8u),
        ChannelDefault(0x1038, 64u),
        ChannelDefault(0x1098, 0xE666u),
    };
    return m;
}

struct Maps {
    FamilyMap orluPha = [] {
        FamilyMap m = PulseProcessing("Orlu pulse height", 10.0);
        m.realDeadCounters = true;
        return m;
    }();
    FamilyMap orluPhaHv = [] {
        FamilyMap m = PulseProcessing("Orlu pulse height, high voltage", 10.0);
        m.realDeadCounters = true;
        m.hvSupply = true;
        return m;
    }();
    FamilyMap pemb11 = PulseProcessing("Pemb 2 ns", 2.0);
    FamilyMap pemb14 = PulseProcessing("Pemb 4 ns", 4.0);
    FamilyMap vesk = PulseProcessing("Vesk", 4.0);
    FamilyMap veskHv = [] {
        FamilyMap m = PulseProcessing("Vesk, high voltage", 4.0);
        m.hvSupply = true;
        return m;
    }();
    FamilyMap tilk = PulseProcessing("Tilk", 1.0);
    FamilyMap draq = [] {
        FamilyMap m = PulseProcessing("Draq", 16.0);
        m.channelsPerBlock = 8;
        return m;
    }();
    FamilyMap generic = PulseProcessing("generic", 10.0);
    FamilyMap scopeOrlu = Waveform("Orlu waveform", 10.0, 1);
    FamilyMap scopeDraq = Waveform("Draq waveform", 16.0, 8);
    FamilyMap scopeTilk = Waveform("Tilk waveform", 1.0, 1);
    FamilyMap scopePemb11 = Waveform("Pemb 2 ns waveform", 2.0, 1);
    FamilyMap scopePemb14 = Waveform("Pemb 4 ns waveform", 4.0, 1);
    FamilyMap scopeGeneric = Waveform("generic waveform", 10.0, 1);
    FamilyMap device = Device();
};

const Maps& AllMaps() {
    static const Maps maps;
    return maps;
}

// Every firmware on the register-level device's family runs the device's map.
constexpr uint32_t kDeviceFamily = 8560;
constexpr uint32_t kNoVariant = 0xFFFFFFFFu;

// One row per DPP code: the register map of its boards (boards of the variant
// family take the variant map), whether its boards have channel groups (at
// most 8 groups of 8 channels), or that both go by the board's family
// (standard waveform firmware, below); the encoder of its data format (a
// format without one yields no data; ZarnSim_RegisterEncoder can change it).
// A row leaves out what its firmware has not: a variant, groups.
struct FirmwareRow {
    uint32_t dppCode;
    FamilyMap Maps::*map = nullptr;
    uint32_t variantFamily = kNoVariant;
    FamilyMap Maps::*variantMap = nullptr;
    bool groups = false;
    bool byFamily = false;
    const ZarnSim_Encoder_t* encoder = nullptr;
};

// The encoders are in ZarnSimEncoder_<Family>.cpp.
constexpr FirmwareRow kFirmwares[] = {
    {.dppCode = 0, .byFamily = true, .encoder = &ZarnSim_ScopeEncoder},
    {.dppCode = 1, .byFamily = true, .encoder = &ZarnSim_ScopeEncoder},
    {.dppCode = 128,
     .map = &Maps::orluPha,
     .variantFamily = 7,
     .variantMap = &Maps::orluPhaHv,
     .encoder = &ZarnSim_OrluPHAEncoder},
    {.dppCode = 130,
     .map = &Maps::vesk,
     .variantFamily = 12,
     .variantMap = &Maps::veskHv,
     .encoder = &ZarnSim_VeskCIEncoder},
    {.dppCode = 131,
     .map = &Maps::vesk,
     .variantFamily = 12,
     .variantMap = &Maps::veskHv,
     .encoder = &ZarnSim_VeskPSDEncoder},
    {.dppCode = 132, .map = &Maps::tilk, .encoder = &ZarnSim_TilkPSDEncoder},
    {.dppCode = 135, .map = &Maps::draq, .groups = true, .encoder = &ZarnSim_DraqQDCEncoder},
    {.dppCode = 136,
     .map = &Maps::pemb14,
     .variantFamily = 11,
     .variantMap = &Maps::pemb11,
     .encoder = &ZarnSim_PembPSDEncoder},
    {.dppCode = 139,
     .map = &Maps::pemb14,
     .variantFamily = 11,
     .variantMap = &Maps::pemb11,
     .encoder = &ZarnSim_PembPHAEncoder},
    {.dppCode = 142, .map = &Maps::device, .encoder = &ZarnSim_MorvanePHAEncoder},
};

// The standard waveform firmware on each family that runs it (any other
// family: the generic waveform map, no groups).
struct ScopeFamilyRow {
    uint32_t familyCode;
    FamilyMap Maps::*map;
    bool groups = false;
};

constexpr ScopeFamilyRow kScopeFamilies[] = {
    {.familyCode = 0, .map = &Maps::scopeOrlu},    {.familyCode = 4, .map = &Maps::scopeDraq, .groups = true},
    {.familyCode = 5, .map = &Maps::scopeTilk},    {.familyCode = 11, .map = &Maps::scopePemb11},
    {.familyCode = 14, .map = &Maps::scopePemb14},
};

const FirmwareRow* FirmwareRowOf(uint32_t dppCode) {
    for (const FirmwareRow& row : kFirmwares)
        if (row.dppCode == dppCode)
            return &row;
    return nullptr;
}

const ScopeFamilyRow* ScopeFamilyRowOf(uint32_t familyCode) {
    for (const ScopeFamilyRow& row : kScopeFamilies)
        if (row.familyCode == familyCode)
            return &row;
    return nullptr;
}

} // namespace

const FamilyMap& FamilyMapFor(uint32_t familyCode, uint32_t dppCode) {
    const Maps& m = AllMaps();
    if (familyCode == kDeviceFamily)
        return m.device;
    const FirmwareRow* row = FirmwareRowOf(dppCode);
    if (row == nullptr)
        return m.generic;
    if (row->byFamily) {
        const ScopeFamilyRow* family = ScopeFamilyRowOf(familyCode);
        return family != nullptr ? m.*(family->map) : m.scopeGeneric;
    }
    return familyCode == row->variantFamily ? m.*(row->variantMap) : m.*(row->map);
}

void ForEachBuiltInEncoder(const std::function<void(uint32_t, const ZarnSim_Encoder_t&)>& add) {
    for (const FirmwareRow& row : kFirmwares)
        if (row.encoder != nullptr)
            add(row.dppCode, *row.encoder);
}

bool HasChannelGroups(uint32_t familyCode, uint32_t dppCode) {
    const FirmwareRow* row = FirmwareRowOf(dppCode);
    if (row == nullptr)
        return false;
    if (row->byFamily) {
        const ScopeFamilyRow* family = ScopeFamilyRowOf(familyCode);
        return family != nullptr && family->groups;
    }
    return row->groups;
}

} // namespace zsim
