// High-voltage supply of the simulated board: the supply's registers after
// the channels' blocks (selector codes 176 to 183 report a quantity's limits),
// and the register-level device's monitor registers.
#include "ZarnSimBoardKinds.h"

#include <algorithm>

namespace zsim {
namespace {

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

} // namespace

bool DigitizerBoard::HvRead(uint32_t address, uint32_t* value) {
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

bool DigitizerBoard::HvWrite(uint32_t address, uint32_t value) {
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

bool DeviceBoard::HvRead(uint32_t address, uint32_t* value) {
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
