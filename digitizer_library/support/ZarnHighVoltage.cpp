/*
 * ZarnHighVoltage: high-voltage channels of boards with a built-in supply,
 * and the reader of the board's serial flash.
 */
#include "ZarnHighVoltage.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

#include "ZarnDigitizer.h"
#include "ZarnFamilyRows.h"

static const c_LogModule_t ZarnHighVoltage_log = {"ZarnHighVoltageLog.txt", "ZarnHighVoltage"};

#define PLOG(level, ...) c_lprintf(&ZarnHighVoltage_log, (level), __LINE__, __VA_ARGS__)

namespace {

/* Register offsets of one channel (B | 0x1000 | offset). */
constexpr uint32_t kRegVSet = 0x20;
constexpr uint32_t kRegISet = 0x24;
constexpr uint32_t kRegRampUp = 0x28;
constexpr uint32_t kRegRampDown = 0x2C;
constexpr uint32_t kRegVMax = 0x30;
constexpr uint32_t kRegControl = 0x34;
constexpr uint32_t kRegStatus = 0x38;
constexpr uint32_t kRegMonitor1 = 0x40;
constexpr uint32_t kRegMonitor2 = 0x44;

constexpr uint32_t kControlOn = 0x1;
constexpr uint32_t kControlMode = 0x2;
constexpr uint32_t kControlExternalPair = 0x80;

/* Register blocks 0x10 .. 0x1F hold channel registers: the channel index
 * occupies bits 8-11 of the address. */
constexpr uint32_t kMaxChannelIndex = 0xF;

constexpr uint32_t kSettleMonitorMs = 20;
constexpr uint32_t kSettleSelectorMs = 100;

constexpr uint32_t kFlashDummyBytes = 4;
constexpr uint32_t kFlashAddressLimit = 1u << 24; /* three address bytes */

uint32_t channelAddress(uint32_t channelIndex, uint32_t offset) { return 0x1000u | (channelIndex << 8) | offset; }

int readRegister(int32_t handle, uint32_t address, uint32_t* value) {
    int r = ZARN_DGTZ_ReadRegister(handle, address, value);
    if (r != 0) {
        PLOG(C_LOG_ERROR, "ZARN_DGTZ_ReadRegister(%d, 0x%04X) failed with error %i.", (int)handle, address, r);
        return HV_ERR_DIGITIZER_API;
    }
    return HV_SUCCESS;
}

int writeRegister(int32_t handle, uint32_t address, uint32_t value) {
    int r = ZARN_DGTZ_WriteRegister(handle, address, value);
    if (r != 0) {
        PLOG(C_LOG_ERROR, "ZARN_DGTZ_WriteRegister(%d, 0x%04X, 0x%X) failed with error %i.", (int)handle, address,
             value, r);
        return HV_ERR_DIGITIZER_API;
    }
    return HV_SUCCESS;
}

/* One channel's registers: its handle and register channel index. The index
 * comes from the record (regBase + hvIndex) and must address a channel
 * block, or every access would land on some other register. */
struct ChannelRegs {
    int32_t handle;
    uint32_t index;

    int read(uint32_t offset, uint32_t* value) const {
        return readRegister(handle, channelAddress(index, offset), value);
    }
    int write(uint32_t offset, uint32_t value) const {
        return writeRegister(handle, channelAddress(index, offset), value);
    }
};

bool channelRegs(const c_HVChannelBlock_t* channel, ChannelRegs* regs) {
    if (channel == NULL || channel->hvIndex >= DPPL_MAX_HV_CHANNELS || channel->regBase > kMaxChannelIndex ||
        channel->regBase + channel->hvIndex > kMaxChannelIndex)
        return false;
    regs->handle = channel->handle;
    regs->index = channel->regBase + channel->hvIndex;
    return true;
}

/* Finishes a c_hv* call: logs a failure under the function's name. */
int finish(const char* function, int code) {
    if (code != HV_SUCCESS)
        _hvLogError(function, code);
    return code;
}

bool withinLimits(const c_HVChannelBlock_t* channel, int quantity, double value) {
    /* Written so that a value that is not a number is outside. */
    return value >= channel->limitMin[quantity] && value <= channel->limitMax[quantity];
}

/* Register count of a value: trunc(value / lsb + bias). False when the
 * channel has no usable resolution or the count does not fit the register. */
bool toCount(double value, double lsb, double bias, uint32_t* count) {
    if (!(lsb > 0) || !isfinite(lsb))
        return false;
    double counts = trunc(value / lsb + bias);
    if (!(counts >= 0 && counts <= (double)UINT32_MAX))
        return false;
    *count = (uint32_t)counts;
    return true;
}

/* Writes one setting in counts of its quantity's resolution. */
int writeSetting(const c_HVChannelBlock_t* channel, const ChannelRegs& regs, uint32_t offset, int quantity,
                 double value, int invalidCode) {
    uint32_t count = 0;
    if (!toCount(value, channel->lsb[quantity], 0.49, &count))
        return invalidCode;
    return regs.write(offset, count);
}

/* Sets or clears bits of the control register, keeping the others. */
int updateControl(const ChannelRegs& regs, uint32_t bits, bool set) {
    uint32_t control = 0;
    int code = regs.read(kRegControl, &control);
    if (code != HV_SUCCESS)
        return code;
    control = set ? (control | bits) : (control & ~bits);
    return regs.write(kRegControl, control);
}

int readControlBit(c_HVChannelBlock_t* channel, uint32_t bit, int32_t* out) {
    ChannelRegs regs;
    if (!channelRegs(channel, &regs))
        return HV_ERR_INVALID_CHANNEL;
    if (out == NULL)
        return HV_ERR_GENERIC;
    uint32_t control = 0;
    int code = regs.read(kRegControl, &control);
    if (code == HV_SUCCESS)
        *out = (control & bit) != 0 ? 1 : 0;
    return code;
}

/* Reads the monitor pair selected by `external` (bit 7 of the control
 * register), switching the pair for the read and back afterwards. */
int readMonitorPair(const ChannelRegs& regs, bool external, uint32_t* first, uint32_t* second) {
    uint32_t control = 0;
    int code = regs.read(kRegControl, &control);
    if (code != HV_SUCCESS)
        return code;
    bool selected = ((control & kControlExternalPair) != 0) == external;
    if (!selected) {
        uint32_t switched = external ? (control | kControlExternalPair) : (control & ~kControlExternalPair);
        if ((code = regs.write(kRegControl, switched)) != HV_SUCCESS)
            return code;
        c_sleep(kSettleMonitorMs);
    }
    code = regs.read(kRegMonitor1, first);
    if (code == HV_SUCCESS)
        code = regs.read(kRegMonitor2, second);
    /* The pair the caller had selected is put back even after a failed
     * read, so that a failure does not leave the other pair selected. */
    int restored = regs.write(kRegControl, control);
    if (code == HV_SUCCESS)
        code = restored;
    if (code == HV_SUCCESS && !external)
        c_sleep(kSettleMonitorMs);
    return code;
}

/* -------------------------------------------------------------- limits */

struct Limits {
    double max[DPPL_HV_QUANTITIES];
    double min[DPPL_HV_QUANTITIES];
    double lsb[DPPL_HV_QUANTITIES];

    void set(int quantity, double maximum, double minimum, double resolution) {
        max[quantity] = maximum;
        min[quantity] = minimum;
        lsb[quantity] = resolution;
    }
};

bool isCurrentSelector(uint32_t selector) { return selector == HV_SELECT_ISET || selector == HV_SELECT_IMON; }

/* The quantity's own code, for a supply that reports an unusable scale. */
int invalidCodeOfSelector(uint32_t selector) {
    switch (selector) {
    case HV_SELECT_VSET: return HV_ERR_VSET;
    case HV_SELECT_ISET: return HV_ERR_ISET;
    case HV_SELECT_RAMP: return HV_ERR_RAMPUP;
    case HV_SELECT_VMAX: return HV_ERR_VMAX;
    case HV_SELECT_VMON: return HV_ERR_VMON;
    case HV_SELECT_IMON: return HV_ERR_IMON;
    default: return HV_ERR_GENERIC;
    }
}

/* Unit factor and resolution from a quantity's scale word. */
int scaleOf(uint32_t selector, uint32_t scale, double* unit, double* resolution) {
    if (selector == HV_SELECT_RAMP) {
        *unit = 1;
        *resolution = 1;
        return HV_SUCCESS;
    }
    scale &= 0xFFFFu; /* the status register has 16 bits */
    bool current = isCurrentSelector(selector);
    uint32_t mask = current ? 0x3FFFu : 0x7FFFu;
    uint32_t factor = scale & mask;
    *unit = 1;
    if (current) {
        uint32_t prefix = (scale >> 14) & 0x3u;
        *unit = prefix == 0 ? 1000000.0 : prefix == 1 ? 1000.0 : 1.0;
    }
    /* A scale of 0 gives no resolution to convert with. */
    if (factor == 0)
        return invalidCodeOfSelector(selector);
    if (!current && (scale & ~mask) != 0)
        *resolution = factor * *unit;
    else
        *resolution = *unit / factor;
    return HV_SUCCESS;
}

/* Defaults of supplies that cannot report their limits (firmware level 1
 * or less), by board family. */
int applyFamilyDefaults(uint32_t family, Limits* limits) {
    const ZarnHVSupplyDefaults_t& supply = ZarnFamily_Find(family)->hvSupply;
    if (supply.voltage == 0)
        return HV_ERR_FAMILY;
    double f = supply.voltage, g = supply.currentStep, h = supply.current;
    limits->set(HVQ_VSET, f, 0, 0.1);
    limits->set(HVQ_ISET, h, 0, g);
    limits->set(HVQ_RAMPUP, 500, 1, 1);
    limits->set(HVQ_RAMPDOWN, 500, 1, 1);
    limits->set(HVQ_VMAX, f, 0, 20);
    limits->set(HVQ_VMON, f, 0, 0.1);
    limits->set(HVQ_IMON, h, 0, g);
    return HV_SUCCESS;
}

int readReportedLimits(c_HVChannelBlock_t* channel, const ChannelRegs& regs, Limits* limits, uint32_t* hwInfo) {
    static const struct {
        uint32_t selector;
        int quantity;
    } kQuantities[] = {{HV_SELECT_VSET, HVQ_VSET}, {HV_SELECT_ISET, HVQ_ISET}, {HV_SELECT_RAMP, HVQ_RAMPUP},
                       {HV_SELECT_VMAX, HVQ_VMAX}, {HV_SELECT_VMON, HVQ_VMON}, {HV_SELECT_IMON, HVQ_IMON}};
    for (const auto& q : kQuantities) {
        int k = q.quantity;
        int code = _hvReadQuantityLimits(channel->handle, regs.index, q.selector, &limits->min[k], &limits->max[k],
                                         &limits->lsb[k]);
        if (code != HV_SUCCESS)
            return code;
    }
    limits->set(HVQ_RAMPDOWN, limits->max[HVQ_RAMPUP], limits->min[HVQ_RAMPUP], limits->lsb[HVQ_RAMPUP]);
    int code = regs.write(kRegControl, HV_SELECT_HWINFO);
    if (code != HV_SUCCESS)
        return code;
    c_sleep(kSettleSelectorMs);
    return regs.read(kRegMonitor1, hwInfo);
}

int readDefaultLimits(const c_HVChannelBlock_t* channel, Limits* limits) {
    ZARN_DGTZ_BoardInfo_t info;
    memset(&info, 0, sizeof info);
    int r = ZARN_DGTZ_GetInfo(channel->handle, &info);
    if (r != 0) {
        PLOG(C_LOG_ERROR, "ZARN_DGTZ_GetInfo(%d) failed with error %i.", (int)channel->handle, r);
        return HV_ERR_DIGITIZER_API;
    }
    return applyFamilyDefaults(info.FamilyCode, limits);
}

int loadLimits(c_HVChannelBlock_t* channel, const ChannelRegs& regs, Limits* limits, uint32_t* hwInfo) {
    uint32_t control = 0, status = 0;
    int code = regs.read(kRegControl, &control);
    if (code == HV_SUCCESS)
        code = regs.write(kRegControl, control | kControlExternalPair);
    if (code != HV_SUCCESS)
        return code;
    c_sleep(kSettleSelectorMs);
    if ((code = regs.read(kRegStatus, &status)) != HV_SUCCESS)
        return code;
    uint32_t firmwareLevel = (status >> 8) & 0xFFu;
    if (firmwareLevel > 1)
        return readReportedLimits(channel, regs, limits, hwInfo);
    return readDefaultLimits(channel, limits);
}

/* --------------------------------------------------------------- flash */

uint32_t pageShift(uint32_t pageSize) { return pageSize == 264 ? 9 : pageSize == 528 ? 10 : 11; }

/* Reads one page into `page` (pageSize bytes); `command` holds the opcode,
 * three address bytes and the dummy bytes. */
bool readOnePage(const c_FlashDescription_t* flash, uint32_t pageNumber, uint8_t* command, uint8_t* page) {
    uint32_t address = pageNumber << pageShift(flash->pageSize);
    uint32_t commandBytes = 4 + flash->dummyBytes;
    memset(command, 0, commandBytes);
    command[0] = FLASH_PAGE_READ_OPCODE;
    command[1] = (uint8_t)(address >> 16);
    command[2] = (uint8_t)(address >> 8);
    command[3] = (uint8_t)address;
    bool ok = ZARN_DGTZ_WriteRegister(flash->handle, flash->selectRegister, flash->type) == 0;
    for (uint32_t k = 0; ok && k < commandBytes; ++k)
        ok = ZARN_DGTZ_WriteRegister(flash->handle, flash->dataRegister, command[k]) == 0;
    for (uint32_t k = 0; ok && k < flash->pageSize; ++k) {
        uint32_t value = 0;
        ok = ZARN_DGTZ_ReadRegister(flash->handle, flash->dataRegister, &value) == 0;
        page[k] = (uint8_t)value;
    }
    /* Deselected even after a failure, so the chip takes the next command. */
    uint32_t deselect = flash->type == 0 ? 1u : 0u;
    bool deselected = ZARN_DGTZ_WriteRegister(flash->handle, flash->selectRegister, deselect) == 0;
    return ok && deselected;
}

} // namespace

/* ==================================================================== */

const char* _hvErrorText(int code) {
    static const char* const kTexts[] = {"Invalid Channel",        "Error Calling ZarnDigitizer API",
                                         "Invalid VSet Value",     "Invalid ISet Value",
                                         "Invalid RampDown Value", "Invalid RampUp Value",
                                         "Invalid VMax Value",     "Invalid VMon Value",
                                         "Invalid IMon Value",     "Invalid VExt Value",
                                         "Invalid RTMP Value",     "Invalid HV Family"};
    if (code <= HV_ERR_INVALID_CHANNEL && code >= HV_ERR_FAMILY)
        return kTexts[HV_ERR_INVALID_CHANNEL - code];
    return "Generic Error";
}

void _hvLogError(const char* function, int code) {
    PLOG(C_LOG_ERROR, "From %s: %s", function != NULL ? function : "", _hvErrorText(code));
}

int _hvCheckSettings(const c_HVChannelBlock_t* channel, const c_HVSettings_t* s) {
    if (channel == NULL || s == NULL)
        return HV_ERR_GENERIC;
    if (!withinLimits(channel, HVQ_VSET, s->vset))
        return HV_ERR_VSET;
    if (!withinLimits(channel, HVQ_ISET, s->iset))
        return HV_ERR_ISET;
    if (!withinLimits(channel, HVQ_RAMPDOWN, s->rampDown))
        return HV_ERR_RAMPDOWN;
    if (!withinLimits(channel, HVQ_RAMPUP, s->rampUp))
        return HV_ERR_RAMPUP;
    if (!withinLimits(channel, HVQ_VMAX, s->vmax))
        return HV_ERR_VMAX;
    return HV_SUCCESS;
}

static int setSettings(c_HVChannelBlock_t* channel, const c_HVSettings_t* s) {
    ChannelRegs regs;
    if (!channelRegs(channel, &regs))
        return HV_ERR_INVALID_CHANNEL;
    int code = _hvCheckSettings(channel, s);
    if (code == HV_SUCCESS)
        code = writeSetting(channel, regs, kRegVSet, HVQ_VSET, s->vset, HV_ERR_VSET);
    if (code == HV_SUCCESS)
        code = writeSetting(channel, regs, kRegISet, HVQ_ISET, s->iset, HV_ERR_ISET);
    if (code == HV_SUCCESS)
        code = writeSetting(channel, regs, kRegRampUp, HVQ_RAMPUP, s->rampUp, HV_ERR_RAMPUP);
    if (code == HV_SUCCESS)
        code = writeSetting(channel, regs, kRegRampDown, HVQ_RAMPDOWN, s->rampDown, HV_ERR_RAMPDOWN);
    if (code == HV_SUCCESS)
        code = updateControl(regs, kControlMode, s->mode != 1);
    return code;
}

int c_hvsetc(c_HVChannelBlock_t* channel, const c_HVSettings_t* settings) {
    return finish("c_hvsetc", setSettings(channel, settings));
}

static int getSettings(c_HVChannelBlock_t* channel, c_HVSettings_t* out) {
    ChannelRegs regs;
    if (!channelRegs(channel, &regs))
        return HV_ERR_INVALID_CHANNEL;
    if (out == NULL)
        return HV_ERR_GENERIC;
    static const struct {
        uint32_t offset;
        int quantity;
        double c_HVSettings_t::*field;
    } kSettings[] = {{kRegVSet, HVQ_VSET, &c_HVSettings_t::vset},
                     {kRegISet, HVQ_ISET, &c_HVSettings_t::iset},
                     {kRegRampUp, HVQ_RAMPUP, &c_HVSettings_t::rampUp},
                     {kRegRampDown, HVQ_RAMPDOWN, &c_HVSettings_t::rampDown},
                     {kRegVMax, HVQ_VMAX, &c_HVSettings_t::vmax}};
    c_HVSettings_t read;
    memset(&read, 0, sizeof read);
    for (const auto& setting : kSettings) {
        uint32_t count = 0;
        int code = regs.read(setting.offset, &count);
        if (code != HV_SUCCESS)
            return code;
        read.*setting.field = count * channel->lsb[setting.quantity];
    }
    uint32_t control = 0;
    int code = regs.read(kRegControl, &control);
    if (code != HV_SUCCESS)
        return code;
    read.mode = (control & kControlMode) == 0 ? 1 : 0;
    *out = read;
    return _hvCheckSettings(channel, out);
}

int c_hvgetc(c_HVChannelBlock_t* channel, c_HVSettings_t* settings) {
    return finish("c_hvgetc", getSettings(channel, settings));
}

int c_hvgetd(c_HVChannelBlock_t* channel, c_HVSettings_t* settings) {
    if (channel == NULL || settings == NULL)
        return finish("c_hvgetd", channel == NULL ? HV_ERR_INVALID_CHANNEL : HV_ERR_GENERIC);
    settings->vset = 0;
    settings->iset = channel->limitMax[HVQ_ISET] / 10;
    settings->rampUp = channel->limitMax[HVQ_RAMPUP] / 10;
    settings->rampDown = channel->limitMax[HVQ_RAMPDOWN] / 10;
    settings->vmax = channel->limitMax[HVQ_VMAX];
    settings->mode = 0;
    return HV_SUCCESS;
}

int _hvReadQuantityLimits(int32_t handle, uint32_t channelIndex, uint32_t selector, double* minimum, double* maximum,
                          double* resolution) {
    if (channelIndex > kMaxChannelIndex)
        return HV_ERR_INVALID_CHANNEL;
    if (minimum == NULL || maximum == NULL || resolution == NULL || selector < HV_SELECT_VSET ||
        selector > HV_SELECT_IMON)
        return HV_ERR_GENERIC;
    ChannelRegs regs = {handle, channelIndex};
    uint32_t scale = 0, maxCount = 0, minCount = 0;
    int code = regs.write(kRegControl, selector);
    if (code != HV_SUCCESS)
        return code;
    c_sleep(kSettleSelectorMs);
    if ((code = regs.read(kRegStatus, &scale)) != HV_SUCCESS)
        return code;
    double unit = 1, lsb = 1;
    if ((code = scaleOf(selector, scale, &unit, &lsb)) != HV_SUCCESS) {
        PLOG(C_LOG_ERROR, "HV supply reports scale word 0x%04X for selector %u.", (unsigned)(scale & 0xFFFFu),
             (unsigned)selector);
        return code;
    }
    if ((code = regs.read(kRegMonitor1, &maxCount)) != HV_SUCCESS ||
        (code = regs.read(kRegMonitor2, &minCount)) != HV_SUCCESS)
        return code;
    *maximum = maxCount * unit * lsb;
    *minimum = minCount * unit * lsb;
    *resolution = lsb;
    return HV_SUCCESS;
}

int _hvLoadLimits(c_HVChannelBlock_t* channel) {
    ChannelRegs regs;
    if (!channelRegs(channel, &regs))
        return HV_ERR_INVALID_CHANNEL;
    uint32_t original = 0;
    int code = regs.read(kRegControl, &original);
    if (code != HV_SUCCESS)
        return code;
    /* Limits are kept aside and land in the record only when all of them
     * were read, so a failed load leaves the previous ones. */
    Limits limits;
    memset(&limits, 0, sizeof limits);
    uint32_t hwInfo = channel->hwInfo;
    code = loadLimits(channel, regs, &limits, &hwInfo);
    /* The control register may hold a selector or the other monitor pair:
     * it gets its first value back whatever happened. */
    int restored = regs.write(kRegControl, original);
    if (code == HV_SUCCESS)
        code = restored;
    if (code != HV_SUCCESS)
        return code;
    limits.set(HVQ_VEXT, 100000, 0, 0.001);
    limits.set(HVQ_RTMP, 100000, 0, 0.1);
    memcpy(channel->limitMax, limits.max, sizeof limits.max);
    memcpy(channel->limitMin, limits.min, sizeof limits.min);
    memcpy(channel->lsb, limits.lsb, sizeof limits.lsb);
    channel->hwInfo = hwInfo;
    c_sleep(kSettleSelectorMs);
    return HV_SUCCESS;
}

int c_hvloadp(c_HVChannelBlock_t* channel) { return finish("c_hvloadp", _hvLoadLimits(channel)); }

int c_hvsetvmax(c_HVChannelBlock_t* channel, double vmax) {
    ChannelRegs regs;
    if (!channelRegs(channel, &regs))
        return finish("c_hvsetvmax", HV_ERR_INVALID_CHANNEL);
    uint32_t count = 0;
    if (!withinLimits(channel, HVQ_VMAX, vmax) || !toCount(vmax, channel->lsb[HVQ_VMAX], 0.0, &count))
        return finish("c_hvsetvmax", HV_ERR_VMAX);
    return finish("c_hvsetvmax", regs.write(kRegVMax, count));
}

int c_hvgets(c_HVChannelBlock_t* channel, int16_t* status) {
    ChannelRegs regs;
    if (!channelRegs(channel, &regs))
        return finish("c_hvgets", HV_ERR_INVALID_CHANNEL);
    if (status == NULL)
        return finish("c_hvgets", HV_ERR_GENERIC);
    uint32_t value = 0;
    int code = regs.read(kRegStatus, &value);
    if (code == HV_SUCCESS)
        *status = (int16_t)(uint16_t)(value & 0xFFFFu);
    return finish("c_hvgets", code);
}

int c_hvseton(c_HVChannelBlock_t* channel, int32_t on) {
    ChannelRegs regs;
    if (!channelRegs(channel, &regs))
        return finish("c_hvseton", HV_ERR_INVALID_CHANNEL);
    return finish("c_hvseton", updateControl(regs, kControlOn, on != 0));
}

int c_hvgeton(c_HVChannelBlock_t* channel, int32_t* on) {
    return finish("c_hvgeton", readControlBit(channel, kControlOn, on));
}

int c_hvsetmon(c_HVChannelBlock_t* channel, int32_t pair) {
    ChannelRegs regs;
    if (!channelRegs(channel, &regs))
        return finish("c_hvsetmon", HV_ERR_INVALID_CHANNEL);
    return finish("c_hvsetmon", updateControl(regs, kControlExternalPair, pair == 1));
}

int c_hvgetmon(c_HVChannelBlock_t* channel, int32_t* pair) {
    return finish("c_hvgetmon", readControlBit(channel, kControlExternalPair, pair));
}

static int readMonitors(c_HVChannelBlock_t* channel, bool external, double* first, double* second) {
    ChannelRegs regs;
    if (!channelRegs(channel, &regs))
        return HV_ERR_INVALID_CHANNEL;
    if (first == NULL || second == NULL)
        return HV_ERR_GENERIC;
    uint32_t count1 = 0, count2 = 0;
    int code = readMonitorPair(regs, external, &count1, &count2);
    if (code != HV_SUCCESS)
        return code;
    int q1 = external ? HVQ_VEXT : HVQ_VMON;
    int q2 = external ? HVQ_RTMP : HVQ_IMON;
    *first = count1 * channel->lsb[q1];
    *second = count2 * channel->lsb[q2];
    if (!withinLimits(channel, q1, *first))
        return external ? HV_ERR_VEXT : HV_ERR_VMON;
    if (!withinLimits(channel, q2, *second))
        return external ? HV_ERR_RTMP : HV_ERR_IMON;
    return HV_SUCCESS;
}

int c_hvreadm(c_HVChannelBlock_t* channel, double* vmon, double* imon) {
    return finish("c_hvreadm", readMonitors(channel, false, vmon, imon));
}

int c_hvreade(c_HVChannelBlock_t* channel, double* vext, double* rtmp) {
    return finish("c_hvreade", readMonitors(channel, true, vext, rtmp));
}

/* ------------------------------------------------------------ board flash */

void _flashTypeFromRegister(uint32_t typeRegister, uint32_t* type, uint32_t* pageSize) {
    if ((typeRegister & 0x3u) == 2) {
        *type = 4;
        *pageSize = 264;
    } else if ((typeRegister & 0x1u) != 0) {
        *type = 2;
        *pageSize = 528;
    } else {
        *type = 0;
        *pageSize = 264;
    }
}

c_FlashDescription_t _boardFlash(int32_t handle, uint32_t typeRegister) {
    c_FlashDescription_t flash = {handle, FLASH_REG_DATA, FLASH_REG_SELECT, 0, kFlashDummyBytes, 0};
    _flashTypeFromRegister(typeRegister, &flash.type, &flash.pageSize);
    return flash;
}

int _readFlashPages(const c_FlashDescription_t* flash, uint8_t* destination, uint32_t firstPage, uint32_t pageCount) {
    if (flash == NULL || destination == NULL || flash->pageSize == 0)
        return -1;
    uint32_t shift = pageShift(flash->pageSize);
    /* Every page must be addressable with the three address bytes. */
    if (pageCount > 0 && ((uint64_t)firstPage + pageCount - 1) << shift >= kFlashAddressLimit) {
        PLOG(C_LOG_ERROR, "Flash pages %u to %u lie beyond the flash's address space.", (unsigned)firstPage,
             (unsigned)(firstPage + pageCount - 1));
        return -2;
    }
    uint8_t* command = (uint8_t*)c_malloc(4 + flash->dummyBytes);
    uint8_t* page = (uint8_t*)c_malloc(flash->pageSize);
    if (command == NULL || page == NULL) {
        PLOG(C_LOG_ERROR, "Can't allocate flash work buffers.");
        c_free(command);
        c_free(page);
        return -1;
    }
    bool ok = true;
    for (uint32_t n = 0; ok && n < pageCount; ++n) {
        ok = readOnePage(flash, firstPage + n, command, page);
        if (ok)
            memcpy(destination + (size_t)n * flash->pageSize, page, flash->pageSize);
    }
    c_free(command);
    c_free(page);
    if (!ok) {
        PLOG(C_LOG_ERROR, "Flash page read failed (handle %d).", (int)flash->handle);
        return -2;
    }
    return 0;
}

int ReadCalibration(int32_t handle, uint8_t* out) {
    if (out == NULL)
        return -1;
    uint32_t typeRegister = 0;
    if (ZARN_DGTZ_ReadRegister(handle, FLASH_REG_TYPE, &typeRegister) != 0) {
        PLOG(C_LOG_ERROR, "Can't read the flash type register.");
        return -2;
    }
    const c_FlashDescription_t flash = _boardFlash(handle, typeRegister);
    uint32_t firstPage = flash.pageSize == 264 ? 4 : 2;
    uint32_t pages = FLASH_CALIBRATION_SIZE / flash.pageSize;
    uint8_t* block = (uint8_t*)c_malloc(FLASH_CALIBRATION_SIZE);
    if (block == NULL) {
        PLOG(C_LOG_ERROR, "Can't allocate the calibration buffer.");
        return -1;
    }
    int code = _readFlashPages(&flash, block, firstPage, pages);
    if (code == 0 && (block[0] != 0xCA || block[1] != 0x00)) {
        PLOG(C_LOG_ERROR, "No calibration block in the board flash.");
        code = -5;
    }
    if (code == 0)
        memcpy(out, block, FLASH_CALIBRATION_SIZE);
    c_free(block);
    return code;
}
