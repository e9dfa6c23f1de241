/*
 * CBoard_Morvane: the register-level device (family 8560, DPP code 142).
 *
 * Device table, open and close, the flash controller and its pages (board
 * information, coarse DC offsets, high-voltage calibration with its
 * least-squares fit), the copy of the calibration into the record's
 * high-voltage blocks, event and aggregate sizes, the channel commands, the
 * real-time and dead-time sums, and the decoder of the channel aggregates.
 */
#include "CBoard_Morvane.h"

#include <libxml/tree.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "ZarnFamilySupport.h"
#include "ZarnComm.h"
#include "ZarnParameters.h"

static const c_LogModule_t CBoard_Morvane_log = {"CBoard_MorvaneLog.txt", "CBoard_Morvane"};

#define PLOG(level, ...) c_lprintf(&CBoard_Morvane_log, (level), __LINE__, __VA_ARGS__)
#define BLOG(digitizer, level, ...) \
    c_extendedLogMsg(&CBoard_Morvane_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

constexpr uint32_t kRegBoardConfig = 0x8000;
constexpr uint32_t kRegBoardClear = 0x8018;
constexpr uint32_t kRegBoardRun = 0x802C;
constexpr uint32_t kRegFirmware = 0x8124;
constexpr uint32_t kRegEventsPerAggregate = 0x8134;
constexpr uint32_t kRegWaveformLength = 0x1020;
constexpr uint32_t kChClear = 0x1018;
constexpr uint32_t kChRun = 0x102C;
constexpr uint32_t kChConfig = 0x1030;
constexpr uint32_t kChSwTrigger = 0x10C0;

constexpr uint32_t kFlashCommand = 0x8500;
constexpr uint32_t kFlashPage = 0x8504;
constexpr uint32_t kFlashCount = 0x8508;
constexpr uint32_t kFlashUnlockWord = 0x8514;
constexpr uint32_t kFlashUnlock1 = 0x8518;
constexpr uint32_t kFlashUnlock2 = 0x851C;
constexpr uint32_t kFlashId = 0x85F0;
constexpr uint32_t kFlashData = 0x8600;
constexpr uint32_t kFlashIdValue = 0x044C2D00u;
constexpr uint32_t kFlashKey = 0x7E14C6B2u;
constexpr uint32_t kFlashReadCommand = 5;
/* Polls of the command register before a page read gives up: the controller
 * is idle again within a few polls, so this bound only ends a hung one. */
constexpr uint32_t kFlashReadyPolls = 10000;

constexpr uint32_t kPageBoardInfo = 0x64u << 16;
constexpr uint32_t kPageCoarseDCO = 0x65u << 16;
constexpr uint32_t kPageHVHeader = 0x67u << 16;
constexpr uint32_t kPageRangeMask = 0x12Cu << 16;
constexpr uint32_t kDefaultRangeMask = 0xFFFFFFFCu; /* ranges 0 and 1 used */
constexpr size_t kRangePagesBytes = 2 * MORVANE_FLASH_PAGE_BYTES;

/* --------------------------------------------------------- device table */

/* Slots are allocated one by one and the table holds their pointers, so a
 * growing table never moves a slot (and its ticket locks) in memory. */
c_MorvaneDevice_t** gSlots = NULL;
uint32_t gSlotCount = 0;
uint32_t gOpenCount = 0;

c_MorvaneDevice_t* slotOf(int slot) {
    if (slot < 0 || (uint32_t)slot >= gSlotCount || gSlots[slot] == NULL || gSlots[slot]->inUse != 1)
        return NULL;
    return gSlots[slot];
}

uint32_t le32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
uint32_t le16(const uint8_t* p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8); }
uint32_t be16(const uint8_t* p) { return ((uint32_t)p[0] << 8) | (uint32_t)p[1]; }
bool header(const uint8_t* page, size_t at, const char* text) { return page[at] == text[0] && page[at + 1] == text[1]; }

/* A page read with its own status mapped to the caller's. */
int readPage(int32_t handle, uint32_t address, uint8_t* page, int failure) {
    return MORFlash_ReadPage(handle, address, page) == 0 ? 0 : failure;
}

/* -------------------------------------------------------- calibration */

struct QuantityInfo {
    const char* name;
    uint32_t offset;   /* register offset within the 0x1h00 block */
    double stepScale;  /* the step byte is in thousandths for these */
    int32_t infoOrder; /* position of its information word on the page */
    int32_t fitDegree; /* 0: not fitted */
};

/* Indexed by MORVANE_CAL_*. Information words are ordered RAMPUP, RAMPDOWN,
 * VSET, VMON, VMAX, ISET, IMON, TMON. */
const QuantityInfo kQuantities[MORVANE_CAL_QUANTITIES] = {
    {"VSET", 0x10D8, 0.001, 2, 2},   {"ISET", 0x10DC, 0.001, 5, 1}, {"VMON", 0x10F4, 0.001, 3, 2},
    {"IMON", 0x10F8, 0.001, 6, 1},   {"VMAX", 0x10E8, 0.001, 4, 2}, {"RAMPUP", 0x10E0, 1.0, 0, 1},
    {"RAMPDOWN", 0x10E4, 1.0, 1, 1}, {"TMON", 0x10FC, 1.0, 7, 0},
};

/* Groups of the calibration page, in page order. */
const int32_t kCalibrationGroups[5] = {MORVANE_CAL_VSET, MORVANE_CAL_VMON, MORVANE_CAL_VMAX, MORVANE_CAL_ISET,
                                       MORVANE_CAL_IMON};

void initCalibrationRecord(c_HVCalibration_t* cal, int type, int slot, uint32_t h, uint32_t infoWord) {
    memset(cal, 0, sizeof *cal);
    const QuantityInfo& q = kQuantities[type];
    snprintf(cal->name, sizeof cal->name, "%s", q.name);
    cal->slot = slot;
    cal->channel = (int32_t)h;
    cal->type = type;
    cal->registerAddress = (h << 8) | q.offset;
    cal->low = (double)(int8_t)((infoWord >> 8) & 0xFF);
    cal->high = (double)(int16_t)(infoWord >> 16);
    double step = (double)(int8_t)(infoWord & 0xFF) * q.stepScale;
    cal->step = step > 0.0 ? step : 1.0;
    cal->lowDefault = cal->low;
}

/* Points of every quantity from the calibration page data (from byte 4). */
void setCalibrationPoints(c_HVCalibrationSet_t* set, const uint8_t* data) {
    double ramp = (double)le32(data);
    for (int g = 0; g < 5; ++g) {
        c_HVCalibration_t* cal = &set->cal[kCalibrationGroups[g]];
        const uint8_t* group = data + 4 + 40 * g;
        cal->nPoints = MORVANE_CAL_POINTS;
        for (int k = 0; k < MORVANE_CAL_POINTS; ++k) {
            cal->points[k][0] = le32(group + 4 * k) / 100.0;
            cal->points[k][1] = le32(group + 20 + 4 * k) / 100.0;
        }
    }
    const int ramps[2] = {MORVANE_CAL_RAMPUP, MORVANE_CAL_RAMPDOWN};
    for (int type : ramps) {
        c_HVCalibration_t* cal = &set->cal[type];
        cal->nPoints = 2;
        cal->points[1][0] = 500.0;
        cal->points[1][1] = 500.0 * ramp / 900.0;
    }
}

void freeCalibration(c_MorvaneHVChannel_t* hv) {
    for (int r = 0; r < MORVANE_HV_RANGES; ++r) {
        c_free(hv->sets[r]);
        hv->sets[r] = NULL;
    }
}

void deleteSlot(c_MorvaneDevice_t* dev) {
    for (int h = 0; h < MORVANE_HV_CHANNELS; ++h)
        freeCalibration(&dev->hv[h]);
    for (int c = 0; c < MORVANE_CHANNELS; ++c)
        c_ticket_delete(&dev->channels[c].lock);
    memset(dev, 0, sizeof *dev);
}

/* Takes a free slot, or grows the table by one: its index, or -2 / -22. */
int takeSlot() {
    if (gOpenCount < gSlotCount) {
        for (uint32_t i = 0; i < gSlotCount; ++i)
            if (gSlots[i] != NULL && gSlots[i]->inUse == 0)
                return (int)i;
        return MORVANE_ERR_CALIBRATION;
    }
    c_MorvaneDevice_t* dev = (c_MorvaneDevice_t*)c_calloc(1, sizeof *dev);
    c_MorvaneDevice_t** grown =
        dev != NULL ? (c_MorvaneDevice_t**)c_realloc(gSlots, (gSlotCount + 1) * sizeof *gSlots) : NULL;
    if (grown == NULL) {
        c_free(dev);
        return MORVANE_ERR_OUT_OF_MEMORY;
    }
    gSlots = grown;
    gSlots[gSlotCount] = dev;
    return (int)gSlotCount++;
}

void freeTableWhenEmpty() {
    if (gOpenCount != 0)
        return;
    for (uint32_t i = 0; i < gSlotCount; ++i)
        c_free(gSlots[i]);
    c_free(gSlots);
    gSlots = NULL;
    gSlotCount = 0;
}

int loadCoarseDCO(c_MorvaneDevice_t* dev) {
    uint8_t page[MORVANE_FLASH_PAGE_BYTES];
    if (readPage(dev->commHandle, kPageCoarseDCO, page, MORVANE_ERR_FLASH) != 0)
        return MORVANE_ERR_FLASH;
    if (!header(page, 0, "CD")) {
        PLOG(C_LOG_ERROR, "Corrupted Coarse DCO values: invalid header.");
        return MORVANE_ERR_FLASH;
    }
    if (page[4] != MORVANE_DCO_ENTRIES)
        return MORVANE_ERR_CALIBRATION;
    uint32_t n = page[3];
    if (n > MORVANE_CHANNELS) { /* more channels than the device has */
        PLOG(C_LOG_ERROR, "Corrupted Coarse DCO values: %u channels.", (unsigned)n);
        return MORVANE_ERR_CALIBRATION;
    }
    dev->dcoChannels = n;
    const uint8_t* data = page + 5;
    for (uint32_t j = 0; j < n; ++j)
        for (uint32_t k = 0; k < MORVANE_DCO_ENTRIES; ++k) {
            uint32_t pair = MORVANE_DCO_ENTRIES * j + k;
            dev->channels[j].coarseDCO[k][0] = (int32_t)le16(data + 4 * pair);
            dev->channels[j].coarseDCO[k][1] = (int32_t)le16(data + 4 * pair + 2);
        }
    return 0;
}

/* ------------------------------------------------------ register access */

int writeRegister(int slot, uint32_t address, uint32_t value) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    return ZarnComm_Write32(dev->commHandle, address, value) == 0 ? 0 : MORVANE_ERR_WRITE_REGISTER;
}

int channelCommand(int slot, uint32_t channel, uint32_t offset, uint32_t value) {
    if (slotOf(slot) == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    if (channel > 2)
        return MORVANE_ERR_INVALID_CHANNEL;
    return writeRegister(slot, (channel << 8) | offset, value);
}

/* The channel record holding a channel's time sums (channels 0 and 1). */
int sumsOf(int slot, uint32_t channel, c_MorvaneChannel_t** out) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    if (channel >= MORVANE_CHANNELS)
        return MORVANE_ERR_INVALID_CHANNEL;
    *out = &dev->channels[channel];
    return 0;
}

/* ------------------------------------------------------------- decoding */

constexpr uint32_t kAggregateSizeMask = 0x0FFFFFFF;
/* The readout walker bounds a channel aggregate by these bits of its size;
 * a size beyond them was never checked against the buffer. */
constexpr uint32_t kWalkedSizeMask = 0x1FFFFF;

struct AggregateFormat {
    uint32_t size;      /* S, words */
    uint32_t waveWords; /* W */
    uint32_t timeWords; /* 2 with E */
    uint32_t energyWords;
    bool waveforms;
    bool dualTrace;
    uint32_t shift;
    int32_t probes[DPPL_TRACE_SLOTS];
    uint32_t analog0Code, analog1Code;
};

constexpr uint32_t kSpecialEventWords = 3;

/* Whether the event whose first word is a is a multichannel-scaling or a
 * real-time/dead-time special event (3 words, no samples). */
bool isShortSpecial(const AggregateFormat& f, uint32_t a) {
    if (f.timeWords == 0 || (a & (1u << 30)) == 0)
        return false;
    uint32_t type = (a >> 16) & 0x3FFF;
    return type == 0 || type == 1 || type == 3;
}

uint32_t wordsOfEvent(const AggregateFormat& f, uint32_t a, uint32_t eventWords) {
    return isShortSpecial(f, a) ? kSpecialEventWords : eventWords;
}

int probeCodes(c_Digitizer_t* d, uint32_t format, AggregateFormat* f) {
    uint32_t a0 = (format >> 22) & 0x3, a1 = (format >> 20) & 0x3, d0 = (format >> 16) & 0xF;
    uint32_t a1Value = a1 * 4 + (f->dualTrace ? 512 : 0);
    int c0 = MORVANE_ProbeCode(0, a0);
    int c1 = MORVANE_ProbeCode(1, a1Value);
    int c3 = MORVANE_ProbeCode(2, d0 * 16);
    if (c0 < 0 || c1 < 0 || c3 < 0) {
        BLOG(d, C_LOG_ERROR, "Invalid trace (probe selectors %u, %u, %u).", (unsigned)a0, (unsigned)a1Value,
             (unsigned)(d0 * 16));
        return DPPL_ERR_INVALID_TRACE;
    }
    for (int i = 0; i < DPPL_TRACE_SLOTS; ++i)
        f->probes[i] = 0;
    f->probes[0] = c0;
    f->probes[1] = f->dualTrace ? c1 : 0;
    f->probes[3] = c3;
    f->probes[4] = MORVANE_ProbeCode(3, 0);
    f->analog0Code = (uint32_t)c0;
    f->analog1Code = (uint32_t)f->probes[1];
    return 0;
}

int16_t analogSample(uint32_t raw14, bool unsignedCode, bool times4) {
    int32_t v = unsignedCode ? (int32_t)raw14 : (int32_t)((raw14 ^ 0x2000u) - 0x2000u);
    if (times4)
        v *= 4;
    return (int16_t)v;
}

/* Writes the W waveform words into the event's traces: 0 or -39 when the
 * traces are shorter than the waveform. */
int decodeWaveform(c_Digitizer_t* d, uint32_t ch, const uint32_t* words, const AggregateFormat& f, c_Waveform_t* w) {
    uint32_t samples = 2 * f.waveWords;
    const int slots[4] = {0, 1, 3, 4};
    for (int s : slots) {
        w->traces[s].probe = f.probes[s];
        if (w->traces[s].samples != NULL && w->traces[s].capacity < samples) {
            BLOG(d, C_LOG_ERROR, "[%u] Waveform of %u samples exceeds the %u samples allocated.", (unsigned)ch,
                 (unsigned)samples, (unsigned)w->traces[s].capacity);
            return DPPL_ERR_INVALID_EVENT;
        }
    }
    w->nSamples = samples;
    int16_t* a0 = (int16_t*)w->traces[0].samples;
    int16_t* a1 = (int16_t*)w->traces[1].samples;
    uint8_t* d0 = (uint8_t*)w->traces[3].samples;
    uint8_t* d1 = (uint8_t*)w->traces[4].samples;
    bool a0Unsigned = f.analog0Code == 1, a0Times4 = f.analog0Code == 4;
    bool a1Unsigned = f.analog1Code == 1, a1Times4 = f.analog1Code == 5 || f.analog1Code == 8;
    for (uint32_t k = 0; k < f.waveWords; ++k) {
        uint32_t word = words[k];
        uint32_t lo = word & 0x3FFF, hi = (word >> 16) & 0x3FFF;
        if (f.dualTrace) {
            int16_t v0 = analogSample(hi, a0Unsigned, a0Times4);
            int16_t v1 = analogSample(lo, a1Unsigned, a1Times4);
            if (a0) a0[2 * k] = a0[2 * k + 1] = v0;
            if (a1) a1[2 * k] = a1[2 * k + 1] = v1;
        } else {
            if (a0) {
                a0[2 * k] = analogSample(lo, a0Unsigned, a0Times4);
                a0[2 * k + 1] = analogSample(hi, a0Unsigned, a0Times4);
            }
            if (a1) a1[2 * k] = a1[2 * k + 1] = 0;
        }
        if (d0) {
            d0[2 * k] = (word >> 14) & 1;
            d0[2 * k + 1] = (word >> 30) & 1;
        }
        if (d1) {
            d1[2 * k] = (word >> 15) & 1;
            d1[2 * k + 1] = (word >> 31) & 1;
        }
    }
    return 0;
}

/* Event flags of the energy word's upper half; the roll-over counter moves
 * with bits 1 and 2. */
uint32_t energyFlags(uint32_t bits, c_ChannelRecord_t* channel) {
    uint32_t flags = 0;
    if (bits & (1u << 0)) flags |= 0x1;
    if (bits & (1u << 1)) {
        flags |= 0x2;
        channel->rollOver1++;
    }
    if (bits & (1u << 2)) {
        flags |= 0x4;
        channel->rollOver1 = 0;
    }
    if (bits & (1u << 3)) flags |= 0x8;
    if (bits & (1u << 4)) flags |= 0x400;
    if (bits & (1u << 6)) flags |= 0x80;
    if (bits & (1u << 7)) flags |= 0x20000;
    if (bits & (1u << 10)) flags |= 0x8000;
    if (bits & (1u << 11)) flags |= 1u << 18;
    return flags;
}

/* A real-time / dead-time special event: adds to the channel's sums. */
void addTimeSums(c_Digitizer_t* d, uint32_t ch, uint64_t realCount, uint64_t deadCount) {
    c_MorvaneChannel_t* sums = NULL;
    if (sumsOf(d->handle, ch, &sums) != 0)
        return;
    double period = d->descriptor.SamplePeriod;
    c_ticket_lock(&sums->lock);
    sums->realTime += (uint64_t)((double)realCount * period);
    sums->deadTime += (uint64_t)((double)deadCount * period);
    c_ticket_unlock(&sums->lock);
}

void stampEvent(c_Digitizer_t* d, uint32_t ch, c_DPPEvent_t* event, uint64_t rawTime) {
    c_ChannelRecord_t* channel = &d->channels[ch];
    channel->lastRawTimeTag = rawTime;
    uint32_t tagBits = d->descriptor.TimeTagBits < 63 ? d->descriptor.TimeTagBits : 63;
    uint64_t periodPs = (uint64_t)(d->descriptor.SamplePeriod * 1000.0);
    uint64_t stamp = (rawTime + channel->rollOver1 * ((uint64_t)1 << tagBits)) * periodPs;
    GENERIC_FillReadCache(d, ch, READCACHE_BASE);
    stamp += channel->readCache.timeOffsetPs;
    event->timeStamp = stamp;
    d->evtCount[ch]++;
    if (event->flags & EVTFLAG_PSEUDO)
        d->evtCount2[ch]++;
    d->lastChTimeStamp[ch] = stamp;
    if (stamp > d->maxTimeStamp) {
        d->maxTimeStamp = stamp;
        d->lastTimeStamp = stamp;
    }
}

} // namespace

extern "C" {

/* ================================================================ flash */

int MORFlash_WaitReady(int32_t handle) {
    for (uint32_t poll = 0; poll < kFlashReadyPolls; ++poll) {
        uint32_t status = 0;
        int r = ZarnComm_Read32(handle, kFlashCommand, &status);
        if (r != 0)
            return r;
        if ((status & 0xFF) <= 1)
            return 0;
    }
    PLOG(C_LOG_ERROR, "Flash controller still busy after %u polls.", (unsigned)kFlashReadyPolls);
    return ZARN_COMM_Timeout;
}

int MORFlash_Unlock(int32_t handle) {
    uint32_t id = 0;
    if (ZarnComm_Read32(handle, kFlashId, &id) != 0 || id != kFlashIdValue)
        return 1;
    uint32_t status = 0;
    ZarnComm_Write32(handle, kFlashUnlock1, 0);
    ZarnComm_Write32(handle, kFlashUnlock2, 1);
    ZarnComm_Write32(handle, kFlashUnlockWord, kFlashKey);
    ZarnComm_Read32(handle, kFlashCommand, &status);
    return 0;
}

int MORFlash_ReadPage(int32_t handle, uint32_t pageAddress, uint8_t* destination) {
    if (MORFlash_Unlock(handle) != 0)
        return MORVANE_ERR_FLASH_LOCKED;
    int r;
    if ((r = ZarnComm_Write32(handle, kFlashPage, pageAddress)) != 0 ||
        (r = ZarnComm_Write32(handle, kFlashCount, MORVANE_FLASH_PAGE_BYTES - 1)) != 0 ||
        (r = ZarnComm_Write32(handle, kFlashCommand, kFlashReadCommand)) != 0 || (r = MORFlash_WaitReady(handle)) != 0)
        return r;
    uint32_t addresses[64], data[64];
    int32_t errors[64];
    for (uint32_t k = 0; k < 64; ++k)
        addresses[k] = kFlashData + 4 * k;
    if ((r = ZarnComm_MultiRead32(handle, addresses, 64, data, errors)) != 0)
        return r;
    for (uint32_t k = 0; k < 64; ++k)
        if (errors[k] != 0)
            return errors[k];
    if (destination != NULL)
        for (uint32_t k = 0; k < 64; ++k)
            for (uint32_t b = 0; b < 4; ++b)
                destination[4 * k + b] = (uint8_t)(data[k] >> (8 * b));
    return 0;
}

/* ========================================================== calibration */

int MORVANE_PolyFit(const double points[][2], uint32_t count, int32_t degree, double* coeff) {
    if (points == NULL || coeff == NULL || degree < 0 || (uint32_t)degree >= count || degree > 5)
        return -1;
    const int m = degree + 1;
    double a[6][12];
    double b[6];
    for (int i = 0; i < m; ++i) {
        b[i] = 0.0;
        for (int j = 0; j < m; ++j) {
            double s = 0.0;
            for (uint32_t k = 0; k < count; ++k)
                s += pow(points[k][0], i + j);
            a[i][j] = s;
            a[i][m + j] = i == j ? 1.0 : 0.0;
        }
        for (uint32_t k = 0; k < count; ++k)
            b[i] += points[k][1] * pow(points[k][0], i);
    }
    for (int p = 0; p < m; ++p) {
        double pivot = a[p][p];
        if (pivot == 0.0 || !isfinite(pivot))
            return -1;
        for (int j = 0; j < 2 * m; ++j)
            a[p][j] /= pivot;
        for (int i = 0; i < m; ++i) {
            if (i == p)
                continue;
            double factor = a[i][p];
            for (int j = 0; j < 2 * m; ++j)
                a[i][j] -= factor * a[p][j];
        }
    }
    for (int i = 0; i < m; ++i) {
        double c = 0.0;
        for (int j = 0; j < m; ++j)
            c += a[i][m + j] * b[j];
        coeff[i] = c;
    }
    return 0;
}

int MORVANE_SetHVCalibration(int slot, uint32_t h, uint32_t rangeMask, const uint8_t* ranges, uint32_t rangeCount) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    if (h >= MORVANE_HV_CHANNELS || rangeCount > MORVANE_HV_RANGES || (rangeCount > 0 && ranges == NULL))
        return MORVANE_ERR_CALIBRATION;
    c_MorvaneHVChannel_t* hv = &dev->hv[h];
    freeCalibration(hv);
    hv->rangeCount = rangeCount;
    for (uint32_t i = 0; i < rangeCount; ++i) {
        const uint8_t* info = ranges + kRangePagesBytes * i + 4;
        const uint8_t* calibration = ranges + kRangePagesBytes * i + MORVANE_FLASH_PAGE_BYTES + 4;
        uint32_t word0 = le32(info);
        uint32_t index = (word0 >> 8) & 0xFF;
        /* An index twice would drop the first set: refused like one out of range. */
        if (index >= MORVANE_HV_RANGES || hv->sets[index] != NULL) {
            PLOG(C_LOG_ERROR, "Invalid rcode.");
            return 0;
        }
        c_HVCalibrationSet_t* set = (c_HVCalibrationSet_t*)c_calloc(1, sizeof *set);
        if (set == NULL)
            return MORVANE_ERR_OUT_OF_MEMORY;
        hv->sets[index] = set;
        set->rangeIndex = (int32_t)index;
        set->enabled = (rangeMask >> i) & 1u ? 0 : 1;
        hv->polarity = (int32_t)(word0 & 1u);
        for (int type = 0; type < MORVANE_CAL_QUANTITIES; ++type)
            initCalibrationRecord(&set->cal[type], type, slot, h, le32(info + 4 + 4 * kQuantities[type].infoOrder));
        setCalibrationPoints(set, calibration);
        for (int type = 0; type < MORVANE_CAL_QUANTITIES; ++type) {
            c_HVCalibration_t* cal = &set->cal[type];
            if (kQuantities[type].fitDegree == 0)
                continue;
            cal->degree = kQuantities[type].fitDegree;
            int r = MORVANE_PolyFit(cal->points, cal->nPoints, cal->degree, cal->coeff);
            if (r != 0) {
                PLOG(C_LOG_ERROR, "%s_%u: Can't set HV calibration fit for channel %i (ERR %i)", dev->name,
                     (unsigned)dev->serialNumber, (int)h, MORVANE_ERR_CALIBRATION);
                return MORVANE_ERR_CALIBRATION;
            }
        }
    }
    return 0;
}

int MORVANE_LoadHVCalibration(int slot) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    uint8_t head[MORVANE_FLASH_PAGE_BYTES], masks[MORVANE_FLASH_PAGE_BYTES];
    if (readPage(dev->commHandle, kPageHVHeader, head, -1) != 0 || !header(head, 2, "VH") ||
        readPage(dev->commHandle, kPageRangeMask, masks, -1) != 0)
        return MORVANE_ERR_CALIBRATION;
    bool haveMasks = header(masks, 2, "SV");
    uint32_t n = le32(head + 4);
    if (n > MORVANE_HV_CHANNELS) {
        PLOG(C_LOG_ERROR, "%s_%u: HV header names %u channels.", dev->name, (unsigned)dev->serialNumber, (unsigned)n);
        return MORVANE_ERR_CALIBRATION;
    }
    dev->hvChannels = n;
    uint8_t* pages = (uint8_t*)c_malloc(kRangePagesBytes * MORVANE_HV_RANGES);
    if (pages == NULL)
        return MORVANE_ERR_OUT_OF_MEMORY;
    int result = 0;
    size_t at = 8;
    for (uint32_t h = 0; h < n && result == 0; ++h) {
        uint32_t ranges = at + 4 <= MORVANE_FLASH_PAGE_BYTES ? le32(head + at) : 0xFFFFFFFFu;
        at += 4;
        if (ranges > MORVANE_HV_RANGES || at + 8 * (size_t)ranges > MORVANE_FLASH_PAGE_BYTES) {
            PLOG(C_LOG_ERROR, "%s_%u: HV header names %u ranges for channel %u.", dev->name,
                 (unsigned)dev->serialNumber, (unsigned)ranges, (unsigned)h);
            result = MORVANE_ERR_CALIBRATION;
            break;
        }
        for (uint32_t r = 0; r < ranges && result == 0; ++r, at += 8) {
            uint8_t* info = pages + kRangePagesBytes * r;
            uint8_t* calibration = info + MORVANE_FLASH_PAGE_BYTES;
            int e = MORFlash_ReadPage(dev->commHandle, le32(head + at + 4), calibration);
            if (e != 0 || !header(calibration, 2, "CV")) {
                PLOG(C_LOG_ERROR, "%s_%u: Can't read HV calibration values (ERR %u)", dev->name,
                     (unsigned)dev->serialNumber, (unsigned)e);
                result = MORVANE_ERR_CALIBRATION;
            } else if ((e = MORFlash_ReadPage(dev->commHandle, le32(head + at), info)) != 0 || !header(info, 2, "FV")) {
                PLOG(C_LOG_ERROR, "%s_%u: Can't read HV information values (ERR %u)", dev->name,
                     (unsigned)dev->serialNumber, (unsigned)e);
                result = MORVANE_ERR_CALIBRATION;
            }
        }
        if (result == 0) {
            uint32_t mask = haveMasks ? le32(masks + 4 + 4 * h) : kDefaultRangeMask;
            result = MORVANE_SetHVCalibration(slot, h, mask, pages, ranges);
        }
    }
    c_free(pages);
    return result;
}

/* ========================================================= device table */

int XMOR_DGTZ_OpenDigitizer(int* slot) {
    if (slot == NULL)
        return MORVANE_ERR_CALIBRATION;
    int link = 0;
    int32_t handle = -1;
    if (ZarnComm_OpenLink(0, &link, 0, 0, &handle) != 0)
        return MORVANE_ERR_LINK_OPEN;
    int index = takeSlot();
    if (index < 0) {
        ZarnComm_CloseLink(handle);
        return index;
    }
    c_MorvaneDevice_t* dev = gSlots[index];
    memset(dev, 0, sizeof *dev);
    for (int c = 0; c < MORVANE_CHANNELS; ++c)
        c_ticket_init(&dev->channels[c].lock);
    gOpenCount++;
    dev->inUse = 1;
    dev->commHandle = handle;
    snprintf(dev->name, sizeof dev->name, "%s", "Morvane");
    int code = MORVANE_LoadHVCalibration(index);
    if (code == 0)
        code = loadCoarseDCO(dev);
    if (code != 0) {
        XMOR_DGTZ_CloseDigitizer(index);
        return code;
    }
    *slot = index;
    return 0;
}

int XMOR_DGTZ_CloseDigitizer(int slot) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    for (int h = 0; h < MORVANE_HV_CHANNELS; ++h)
        freeCalibration(&dev->hv[h]);
    if (ZarnComm_CloseLink(dev->commHandle) != 0)
        return MORVANE_ERR_CALIBRATION;
    deleteSlot(dev);
    gOpenCount--;
    freeTableWhenEmpty();
    return 0;
}

c_MorvaneDevice_t* XMOR_GetDevice(int slot) { return slotOf(slot); }

uint32_t XMOR_GetSlotCount(void) { return gSlotCount; }

int XMOR_GetCommHandle(int slot, int32_t* handle) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL || handle == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    *handle = dev->commHandle;
    return 0;
}

/* ==================================================== board information */

int MORVANE_ParseBoardInfoPage(const uint8_t* page, c_MorvaneBoardInfo_t* info) {
    if (page == NULL || info == NULL)
        return MORVANE_ERR_CALIBRATION;
    if (!header(page, 0, "CR")) {
        PLOG(C_LOG_ERROR, "Corrupted BoardInfo values: invalid header.");
        return MORVANE_ERR_CALIBRATION;
    }
    switch (page[14]) {
    case 144: info->hvPolarity = 'M'; break;
    case 145: info->hvPolarity = 'N'; break;
    case 146: info->hvPolarity = 'P'; break;
    default:
        PLOG(C_LOG_ERROR, "Unknown HV polarity %i.", (int)page[14]);
        return MORVANE_ERR_CALIBRATION;
    }
    if (page[15] != 2) {
        PLOG(C_LOG_ERROR, "Unknown form factor %i.", (int)page[15]);
        return MORVANE_ERR_CALIBRATION;
    }
    if (page[22] != 1) {
        PLOG(C_LOG_ERROR, "Unknown flash size code %i.", (int)page[22]);
        return MORVANE_ERR_CALIBRATION;
    }
    info->formFactor = 2;
    info->word32 = 32;
    info->modelNumber = be16(page + 16);
    info->infoWord = be16(page + 20);
    info->serialNumber = be16(page + 23);
    info->channels = page[25];
    /* Every model of the device is of its one family, with a 14-bit ADC. */
    info->familyCode = DPPL_FAMILY_MORVANE;
    info->adcBits = 14;
    info->word15 = 15;
    snprintf(info->modelName, sizeof info->modelName, "QN%u%c", (unsigned)info->modelNumber, info->hvPolarity);
    return 0;
}

/* The high-voltage channel count from the header page, read register by
 * register: 0, or the failing step's code (-1, -2, -3). */
static int hvChannelsFromFlash(int32_t handle, uint32_t* count) {
    uint32_t word = 0;
    if (MORFlash_Unlock(handle) != 0 || ZarnComm_Write32(handle, kFlashPage, kPageHVHeader) != 0)
        return -1;
    if (ZarnComm_Write32(handle, kFlashCount, MORVANE_FLASH_PAGE_BYTES - 1) != 0)
        return -2;
    if (ZarnComm_Write32(handle, kFlashCommand, kFlashReadCommand) != 0 || MORFlash_WaitReady(handle) != 0)
        return -3;
    if (ZarnComm_Read32(handle, kFlashData, &word) != 0)
        return -2;
    if ((word >> 16) != 0x4856)
        return -3;
    if (ZarnComm_Read32(handle, kFlashData + 4, &word) != 0)
        return -2;
    *count = word & 0xFF;
    return 0;
}

int XMOR_DGTZ_GetInfo(int slot, c_MorvaneBoardInfo_t* info) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    if (info == NULL)
        return MORVANE_ERR_CALIBRATION;
    memset(info, 0, sizeof *info);
    uint8_t page[MORVANE_FLASH_PAGE_BYTES];
    if (readPage(dev->commHandle, kPageBoardInfo, page, -1) != 0)
        return MORVANE_ERR_CALIBRATION;
    int code = MORVANE_ParseBoardInfoPage(page, info);
    if (code != 0)
        return code;
    info->commHandle = dev->commHandle;
    int32_t link = 0;
    if (ZarnComm_GetInfo(dev->commHandle, ZARN_COMM_INFO_LINK, &link) == 0)
        info->linkInfo = link;
    uint32_t firmware = 0;
    if (ZarnComm_Read32(dev->commHandle, kRegFirmware, &firmware) != 0)
        return MORVANE_ERR_FLASH;
    snprintf(info->channelFirmwareRel, sizeof info->channelFirmwareRel, "%02hhu.%02hhu - Build %04hX",
             (unsigned char)(firmware >> 8), (unsigned char)firmware, (unsigned short)(firmware >> 16));
    uint32_t hvChannels = 0;
    if ((code = hvChannelsFromFlash(dev->commHandle, &hvChannels)) != 0) {
        PLOG(C_LOG_ERROR, "MORFlash_GetHVChannelsNumber failed with internal error (%i).", code);
        return MORVANE_ERR_FLASH;
    }
    info->hvChannels = hvChannels;
    /* The prefix of the device's own messages. */
    snprintf(dev->name, sizeof dev->name, "%s", info->modelName);
    dev->serialNumber = info->serialNumber;
    return 0;
}

/* ===================================================== high-voltage data */

static int rangeElement(c_Digitizer_t* d, xmlNodePtr elements[3]) {
    xmlNodePtr ranges =
        c_xml_getfirstnodefromxpathquery(c_getLibraryDefinitions(), "/Definitions/ParameterValues/HV_RANGES");
    if (ranges == NULL) {
        BLOG(d, C_LOG_ERROR, "Cannot find HV_RANGES in definitions document.");
        return DPPL_ERR_GENERIC;
    }
    static const char* const kNames[3] = {"HV_RANGE_HPGE", "HV_RANGE_PMT", "HV_RANGE_SD"};
    static const char* const kShown[3] = {"HPGe", "PMT", "SD"};
    for (int i = 0; i < 3; ++i) {
        elements[i] = c_xml_getfirstchildrenelementfromname(ranges, kNames[i]);
        if (elements[i] == NULL) {
            BLOG(d, C_LOG_ERROR, "Definitions document doesn't define %s range.", kShown[i]);
            return DPPL_ERR_GENERIC;
        }
    }
    return 0;
}

static void copyCalibration(c_HVConversionBlock_t* block, const c_HVCalibration_t* cal) {
    block->nPoints = cal->nPoints;
    memcpy(block->points, cal->points, sizeof block->points);
    block->degree = cal->degree;
    memcpy(block->coeff, cal->coeff, sizeof block->coeff);
    block->min = cal->low;
    block->max = cal->high;
    block->step = cal->step;
}

static int fillRange(c_Digitizer_t* d, xmlNodePtr element, const c_HVCalibrationSet_t* set, c_HVRangeBlock_t* range,
                     uint32_t h) {
    const char* name = c_xml_getattributevalue(element, "name", 0);
    if (element->name == NULL || name == NULL) {
        BLOG(d, C_LOG_ERROR, "HV Range '%s' doesn't define codename or name.",
             element->name != NULL ? (const char*)element->name : "");
        return DPPL_ERR_GENERIC;
    }
    snprintf(range->codename, sizeof range->codename, "%.99s", (const char*)element->name);
    snprintf(range->name, sizeof range->name, "%.99s", name);
    double code = 0;
    int r = c_xml_getcodefromnodechild(element, &code);
    if (r != 0) {
        BLOG(d, C_LOG_ERROR, "Cannot get code for HVRange '%s'.", range->codename);
        return r;
    }
    range->rangeCode = (int32_t)code;
    range->hvIndex = h;
    const struct {
        int conv;
        int cal;
    } kCopies[] = {{HVCONV_VSET, MORVANE_CAL_VSET},       {HVCONV_VMAX, MORVANE_CAL_VMAX},
                   {HVCONV_ISET, MORVANE_CAL_ISET},       {HVCONV_RAMPUP, MORVANE_CAL_RAMPUP},
                   {HVCONV_RAMPDOWN, MORVANE_CAL_RAMPDOWN}, {HVCONV_VMON, MORVANE_CAL_VMON},
                   {HVCONV_IMON, MORVANE_CAL_IMON}};
    for (const auto& copy : kCopies)
        copyCalibration(&range->conv[copy.conv], &set->cal[copy.cal]);
    return 0;
}

int MORVANE_FillHVData(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_MorvaneDevice_t* dev = slotOf(d->handle);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    for (uint32_t h = 0; h < dev->hvChannels && h < DPPL_MAX_HV_CHANNELS; ++h) {
        xmlNodePtr elements[3];
        int code = rangeElement(d, elements);
        if (code != 0)
            return code;
        c_HVChannelBlock_t* block = &d->hv[h];
        uint32_t filled = 0;
        for (uint32_t k = 0; k < dev->hv[h].rangeCount && k < MORVANE_HV_RANGES; ++k) {
            const c_HVCalibrationSet_t* set = dev->hv[h].sets[k];
            if (set == NULL || set->enabled != 1 || filled >= DPPL_MAX_HV_RANGES)
                continue;
            if (set->rangeIndex < 0 || set->rangeIndex > 2) {
                BLOG(d, C_LOG_ERROR, "Unsupported HV Range '%i'", (int)set->rangeIndex);
                return DPPL_ERR_GENERIC;
            }
            if ((code = fillRange(d, elements[set->rangeIndex], set, &block->ranges[filled], h)) != 0)
                return code;
            filled++;
        }
        block->rangeCount = filled;
        block->polarity = dev->hv[h].polarity;
    }
    d->descriptor.HVChannels = dev->hvChannels;
    return 0;
}

/* ========================================================= record open */

int MORVANE_OpenRecordDevice(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    memset(&d->connParams, 0, sizeof d->connParams);
    d->handle = -1;
    int slot = -1;
    int code = XMOR_DGTZ_OpenDigitizer(&slot);
    if (code != 0)
        return code;
    d->handle = slot;
    /* Known as the device from here on, so that every later failure closes
     * the device slot and nothing else. */
    d->descriptor.FamilyCode = DPPL_FAMILY_MORVANE;
    d->descriptor.CommHandle = gSlots[slot]->commHandle;
    return 0;
}

void MORVANE_CloseRecordDevice(c_Digitizer_t* d) {
    if (d == NULL)
        return;
    for (int ch = 0; ch < DPPL_MAX_CHANNELS; ++ch) {
        c_free(d->channels[ch].coarseDCO);
        d->channels[ch].coarseDCO = NULL;
    }
    XMOR_DGTZ_CloseDigitizer(d->handle);
}

int MORVANE_PrepareRecord(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_MorvaneDevice_t* dev = slotOf(d->handle);
    int code = dev != NULL ? MORVANE_FillHVData(d) : MORVANE_ERR_INVALID_SLOT;
    if (code != 0) {
        PLOG(C_LOG_ERROR, "Fill DPPL HV data error: %i", code);
        MORVANE_CloseRecordDevice(d);
        return DPPL_ERR_DIGITIZER_API;
    }
    for (uint32_t ch = 0; ch < dev->dcoChannels && ch < MORVANE_CHANNELS; ++ch) {
        c_CoarseDCOTable_t* table = (c_CoarseDCOTable_t*)c_calloc(1, sizeof *table);
        if (table == NULL) {
            PLOG(C_LOG_ERROR, "Fill DPPL Coarse Gains data error: %i", MORVANE_ERR_OUT_OF_MEMORY);
            MORVANE_CloseRecordDevice(d);
            return DPPL_ERR_DIGITIZER_API;
        }
        for (int k = 0; k < MORVANE_DCO_ENTRIES; ++k) {
            table->entries[k].value = (uint32_t)dev->channels[ch].coarseDCO[k][0];
            table->entries[k].zeroOffset = (uint32_t)dev->channels[ch].coarseDCO[k][1];
        }
        c_free(d->channels[ch].coarseDCO);
        d->channels[ch].coarseDCO = table;
    }
    return 0;
}

int MORVANE_ReadBoardInformation(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_MorvaneBoardInfo_t info;
    int code = XMOR_DGTZ_GetInfo(d->handle, &info);
    if (code != 0) {
        PLOG(C_LOG_ERROR, "Error in ZARN_DGTZ_GetInfo: %i", code);
        return DPPL_ERR_DIGITIZER_API;
    }
    c_BoardDescriptor_t* desc = &d->descriptor;
    memset(desc->ModelName, 0, sizeof desc->ModelName);
    memcpy(desc->ModelName, info.modelName, sizeof desc->ModelName);
    desc->Model = info.modelNumber;
    desc->Channels = info.channels;
    desc->FormFactor = info.formFactor;
    desc->FamilyCode = info.familyCode;
    memset(desc->BoardFirmwareRel, 0, sizeof desc->BoardFirmwareRel);
    snprintf(desc->BoardFirmwareRel, sizeof desc->BoardFirmwareRel, "%s", "NOT PRESENT");
    memcpy(desc->ChannelFirmwareRel, info.channelFirmwareRel, sizeof desc->ChannelFirmwareRel);
    desc->SerialNumber = info.serialNumber;
    desc->InfoWord = info.infoWord;
    desc->ADC_NBits = info.adcBits;
    desc->CommHandle = info.commHandle;
    desc->LinkInfo = (uint32_t)info.linkInfo;
    memset(desc->Unused1, 0, sizeof desc->Unused1);
    desc->Unused2 = 0;
    memset(desc->Reserved, 0, sizeof desc->Reserved);
    memset(desc->Reserved2, 0, sizeof desc->Reserved2);
    memset(desc->ReservedText1, 0, sizeof desc->ReservedText1);
    memset(desc->ReservedText2, 0, sizeof desc->ReservedText2);
    memset(desc->Pad1, 0, sizeof desc->Pad1);
    memset(desc->Pad2, 0, sizeof desc->Pad2);
    return 0;
}

/* ================================================================ sizes */

int XMOR_DGTZ_GetEventSize(int slot, uint32_t channel, uint32_t* bytes) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    uint32_t config = 0, chConfig = 0, length = 0;
    if (ZarnComm_Read32(dev->commHandle, kRegBoardConfig, &config) != 0)
        return MORVANE_ERR_READ_REGISTER;
    if (channel > 2)
        return MORVANE_ERR_INVALID_CHANNEL;
    if (ZarnComm_Read32(dev->commHandle, kChConfig | (channel << 8), &chConfig) != 0)
        return MORVANE_ERR_READ_REGISTER;
    if ((chConfig & 0x8) == 0) {
        *bytes = 0;
        return 0;
    }
    uint32_t size = 12;
    if (config & (1u << 16)) {
        if (ZarnComm_Read32(dev->commHandle, kRegWaveformLength, &length) != 0)
            return MORVANE_ERR_READ_REGISTER;
        size += 4 * length;
    }
    *bytes = size;
    return 0;
}

int XMOR_DGTZ_GetAggregateSize(int slot, uint32_t* bytes) {
    c_MorvaneDevice_t* dev = slotOf(slot);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    if (bytes == NULL)
        return MORVANE_ERR_READ_REGISTER;
    uint32_t config = 0, perAggregate = 1;
    if (ZarnComm_Read32(dev->commHandle, kRegBoardConfig, &config) != 0)
        return MORVANE_ERR_READ_REGISTER;
    if ((config & (1u << 16)) == 0 &&
        ZarnComm_Read32(dev->commHandle, kRegEventsPerAggregate, &perAggregate) != 0)
        return MORVANE_ERR_READ_REGISTER;
    uint64_t total = 16;
    for (uint32_t ch = 0; ch < MORVANE_CHANNELS; ++ch) {
        uint32_t eventBytes = 0;
        int code = XMOR_DGTZ_GetEventSize(slot, ch, &eventBytes);
        if (code != 0)
            return code;
        if (eventBytes != 0)
            total += 8 + (uint64_t)eventBytes * perAggregate;
    }
    *bytes = total > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)total;
    return 0;
}

/* ===================================================== channel commands */

int XMOR_DGTZ_StopChannelAcquisition(int slot, uint32_t channel) { return channelCommand(slot, channel, kChRun, 0); }
int XMOR_DGTZ_StartChannelAcquisition(int slot, uint32_t channel) { return channelCommand(slot, channel, kChRun, 1); }
int XMOR_DGTZ_ClearChannelData(int slot, uint32_t channel) { return channelCommand(slot, channel, kChClear, 1); }
int XMOR_DGTZ_SendChannelSWTrigger(int slot, uint32_t channel) {
    return channelCommand(slot, channel, kChSwTrigger, 1);
}

int XMOR_DGTZ_StartAcquisition(int slot) {
    if (slotOf(slot) == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    for (uint32_t ch = 0; ch < MORVANE_CHANNELS; ++ch)
        XMOR_ClearTimeSums(slot, ch);
    return writeRegister(slot, kRegBoardRun, 1);
}
int XMOR_DGTZ_StopAcquisition(int slot) { return writeRegister(slot, kRegBoardRun, 0); }
int XMOR_DGTZ_ClearData(int slot) { return writeRegister(slot, kRegBoardClear, 1); }

int XMOR_DGTZ_SendSWTrigger(int slot) {
    for (uint32_t ch = 0; ch < MORVANE_CHANNELS; ++ch) {
        int code = XMOR_DGTZ_SendChannelSWTrigger(slot, ch);
        if (code != 0)
            return code;
    }
    return 0;
}

int XMOR_ClearTimeSums(int slot, uint32_t channel) {
    c_MorvaneChannel_t* sums = NULL;
    int code = sumsOf(slot, channel, &sums);
    if (code != 0)
        return code;
    c_ticket_lock(&sums->lock);
    sums->realTime = 0;
    sums->deadTime = 0;
    c_ticket_unlock(&sums->lock);
    return 0;
}

int XMOR_TakeTimeSums(int slot, uint32_t channel, uint64_t* realTime, uint64_t* deadTime) {
    c_MorvaneChannel_t* sums = NULL;
    int code = sumsOf(slot, channel, &sums);
    if (code != 0)
        return code;
    c_ticket_lock(&sums->lock);
    if (realTime != NULL)
        *realTime = sums->realTime;
    if (deadTime != NULL)
        *deadTime = sums->deadTime;
    sums->realTime = 0;
    sums->deadTime = 0;
    c_ticket_unlock(&sums->lock);
    return 0;
}

int XMOR_DGTZ_ReadData(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_ReadoutBuffer_t* buffer = &d->roBuffer;
    if (buffer->ROBuf == NULL || buffer->ROAllocSize == 0)
        return DPPL_ERR_DIGITIZER_NOT_OPEN;
    c_MorvaneDevice_t* dev = slotOf(d->handle);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    uint32_t bytes = 0;
    for (;;) {
        uint32_t words = (buffer->ROAllocSize - bytes) / 4;
        if (words > 0x200000u)
            words = 0x200000u;
        if (words == 0) {
            if (bytes == 0)
                return MORVANE_ERR_OUT_OF_MEMORY;
            break; /* the buffer is full */
        }
        uint32_t got = 0;
        int r = ZarnComm_BLTRead(dev->commHandle, 0, buffer->ROBuf + bytes, words, &got);
        if (got > words)
            got = words;
        if (r == 0 && got > 0) {
            bytes += 4 * got;
            continue;
        }
        if (r == 0 || r == ZARN_COMM_NoMoreData) {
            bytes += 4 * got;
            break;
        }
        buffer->ROBytes = 0;
        return MORVANE_ERR_FLASH;
    }
    buffer->ROBytes = bytes;
    return 0;
}

/* ===================================== record-level acquisition commands */

int MORVANE_BoardReset(c_Digitizer_t* d) {
    if (slotOf(d->handle) != NULL)
        return 0; /* the device has nothing to reset */
    BLOG(d, C_LOG_ERROR, "error %i in XMOR_DGTZ_Reset()", MORVANE_ERR_INVALID_SLOT);
    return DPPL_ERR_DIGITIZER_API;
}

int MORVANE_BoardStart(c_Digitizer_t* d) {
    int code = XMOR_DGTZ_StartAcquisition(d->handle);
    if (code == 0)
        return 0;
    BLOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_SWStartAcquisition: %i", code);
    return DPPL_ERR_DIGITIZER_API;
}

int MORVANE_BoardStop(c_Digitizer_t* d) {
    int code = XMOR_DGTZ_StopAcquisition(d->handle);
    if (code == 0)
        return 0;
    BLOG(d, C_LOG_ERROR, "Error in XMOR_DGTZ_StopAcquisition: %i", code);
    return DPPL_ERR_DIGITIZER_API;
}

int MORVANE_ChannelStart(c_Digitizer_t* d, int32_t channel) {
    uint32_t ch = (uint32_t)channel;
    int code = XMOR_DGTZ_ClearChannelData(d->handle, ch);
    if (code == MORVANE_ERR_INVALID_SLOT || code == MORVANE_ERR_INVALID_CHANNEL) {
        BLOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_SWStartAcquisition: %i", code);
        return DPPL_ERR_DIGITIZER_API;
    }
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_ClearData: %i", code);
        return DPPL_ERR_DIGITIZER_API;
    }
    if (ch < MORVANE_CHANNELS) /* channel 2 keeps no sums */
        XMOR_ClearTimeSums(d->handle, ch);
    code = XMOR_DGTZ_StartChannelAcquisition(d->handle, ch);
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_SWStartAcquisition: %i", code);
        return DPPL_ERR_DIGITIZER_API;
    }
    return 0;
}

int MORVANE_SWTrigger(c_Digitizer_t* d) {
    return XMOR_DGTZ_SendSWTrigger(d->handle) == 0 ? 0 : DPPL_ERR_DIGITIZER_API;
}

int MORVANE_ChannelSWTrigger(c_Digitizer_t* d, int32_t channel) {
    return channel >= 0 && XMOR_DGTZ_SendChannelSWTrigger(d->handle, (uint32_t)channel) == 0 ? 0
                                                                                           : DPPL_ERR_DIGITIZER_API;
}

int MORVANE_GetRealtimeAndDeadtime(c_Digitizer_t* d, int32_t channel, uint64_t* realTime, uint64_t* deadTime) {
    if (slotOf(d->handle) == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    if (channel < 0 || channel > 2)
        return MORVANE_ERR_INVALID_CHANNEL;
    return XMOR_TakeTimeSums(d->handle, (uint32_t)channel, realTime, deadTime);
}

/* ======================================================== tests of state */

bool XMOR_IsBoardConfigured(c_Digitizer_t* d) {
    if (d == NULL || d->descriptor.DPPCode != DPPL_DPPCODE_MORVANE)
        return false;
    c_Parameter_t* p = c_pfind(d, DPPL_PARAM_BOARD_CONFIG_STATUS);
    double value = 0;
    if (p == NULL || d->kind == DGTZ_KIND_GEN2_REPLAY || GENERIC_GetParam(d, p, &value) != 0) {
        BLOG(d, C_LOG_WARNING, "Unable to retrieve %s parameter value.",
             p != NULL ? p->name : "DPPL_PARAM_BOARD_CONFIG_STATUS");
        return false;
    }
    return (int64_t)value == 1;
}

bool XMOR_IsHVChannelOn(c_Digitizer_t* d, uint32_t hvChannel) {
    if (d == NULL || d->descriptor.DPPCode != DPPL_DPPCODE_MORVANE)
        return false;
    c_Parameter_t* p = c_pfindhvc(d, (int32_t)hvChannel, DPPL_PARAM_HVCH_ON);
    double value = 0;
    if (p == NULL || d->kind == DGTZ_KIND_GEN2_REPLAY || GENERIC_GetParam(d, p, &value) != 0) {
        BLOG(d, C_LOG_WARNING, "Unable to retrieve %s parameter value.", p != NULL ? p->name : "DPPL_PARAM_HVCH_ON");
        return false;
    }
    return (int64_t)value != 0;
}

/* ============================================================= decoding */

int MORVANE_ProbeCode(int kind, uint32_t value) {
    switch (kind) {
    case 0: {
        static const int kAnalog0[6] = {1, 34, 33, 4, 2, 3};
        return value < 6 ? kAnalog0[value] : DPPL_ERR_INVALID_TRACE;
    }
    case 1:
        switch (value) {
        case 0: return 0;
        case 512: return 1;
        case 516: return 6;
        case 520: return 8;
        case 524: return 5;
        default: return DPPL_ERR_INVALID_TRACE;
        }
    case 2: {
        static const int kDigital0[16] = {13, 10, 11, 23, 12, 22, 14, 15, 13, 17, 18, 19, 27, 37, 38, 39};
        return value % 16 == 0 && value / 16 < 16 ? kDigital0[value / 16] : DPPL_ERR_INVALID_TRACE;
    }
    case 3:
        return 26;
    default:
        return -32;
    }
}

int MORVANE_DecodeChannelAggregate(c_Digitizer_t* d, uint32_t* aggregate, uint32_t counts[64]) {
    if (d == NULL || aggregate == NULL || counts == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if ((aggregate[0] & (1u << 30)) == 0) {
        BLOG(d, C_LOG_ERROR, "Invalid channel aggregate header word 0x%x", aggregate[0]);
        return DPPL_ERR_INVALID_EVENT;
    }
    AggregateFormat f{};
    f.size = aggregate[0] & kAggregateSizeMask;
    if (f.size < 2 || f.size > kWalkedSizeMask) {
        BLOG(d, C_LOG_ERROR, "Invalid channel aggregate size %u", (unsigned)f.size);
        return DPPL_ERR_INVALID_EVENT;
    }
    uint32_t format = aggregate[1];
    f.waveWords = format & 0xFFFF;
    f.timeWords = (format >> 28) & 1 ? 2 : 0;
    f.energyWords = (format >> 29) & 1;
    f.waveforms = (format >> 30) & 1;
    f.dualTrace = (format >> 31) & 1;
    f.shift = (format >> 24) & 0x3;
    if (!f.waveforms && f.waveWords != 0) {
        /* Waveform words that the events would not carry: the walk would go astray. */
        BLOG(d, C_LOG_ERROR, "Waveform length %u without waveforms in the header", (unsigned)f.waveWords);
        return DPPL_ERR_INVALID_EVENT;
    }
    uint32_t eventWords = f.waveWords + f.energyWords + f.timeWords;
    if (eventWords == 0) {
        BLOG(d, C_LOG_ERROR, "Found EvtSize=0 in header");
        return DPPL_ERR_INVALID_EVENT;
    }
    /* Special events take 3 words whatever the others take: the events are
     * counted by walking them, and the walk must end at the aggregate's end. */
    uint32_t n = 0, end = 2;
    while (end < f.size) {
        end += wordsOfEvent(f, aggregate[end], eventWords);
        n++;
    }
    if (end != f.size) {
        BLOG(d, C_LOG_ERROR, "Size of Aggregate (%u) doesn't give integer number of events", (unsigned)f.size);
        return DPPL_ERR_INVALID_EVENT;
    }
    if (f.waveforms) {
        int code = probeCodes(d, format, &f);
        if (code != 0)
            return code;
    }
    uint32_t position = 2;
    for (uint32_t e = 0; e < n; ++e) {
        uint32_t a = aggregate[position];
        uint32_t ch = a >> 31;
        c_ChannelRecord_t* channel = &d->channels[ch];
        uint32_t room = channel->capacity > counts[ch] ? channel->capacity - counts[ch] : 0;
        if ((e == 0 && room < n) || room == 0 || channel->events == NULL) {
            BLOG(d, C_LOG_ERROR, "Number of events %u exceeds the number of available events (%u)",
                 (unsigned)(e == 0 ? n : n - e), (unsigned)room);
            return DPPL_ERR_EVENT_BUFFER_OVERFLOW;
        }
        bool special = f.timeWords != 0 && (a & (1u << 30)) != 0;
        uint32_t type = (a >> 16) & 0x3FFF;
        bool shortSpecial = isShortSpecial(f, a);
        uint32_t consumed = shortSpecial ? kSpecialEventWords : eventWords;
        c_DPPEvent_t* event = &channel->events[counts[ch]];
        event->flags = 0;
        event->sizeWords = eventWords;
        uint64_t rawTime = 0;
        /* A special event carries no samples: its record must not show the
         * traces that an earlier event left in it. */
        if (shortSpecial && event->waveform != NULL)
            event->waveform->nSamples = 0;
        if (special && type == 0) {
            event->flags = EVTFLAG_MCS;
            event->specialFlag = (uint8_t)((a >> 15) & 1);
            event->specialIndex = (int16_t)(a & 0x7FFF);
            event->specialWord1 = aggregate[position + 1];
            event->specialWord2 = aggregate[position + 2];
            event->energy = 0;
            event->shortCharge = 0;
        } else if (special && (type == 1 || type == 3)) {
            uint64_t realCount = aggregate[position + 1] | ((uint64_t)((a >> 8) & 0xFF) << 32);
            uint64_t deadCount = aggregate[position + 2] | ((uint64_t)(a & 0xFF) << 32);
            addTimeSums(d, ch, realCount, deadCount);
            event->flags = 0x10008;
            event->energy = 0;
            event->shortCharge = 0;
            rawTime = realCount;
        } else {
            const uint32_t* word = &aggregate[position];
            if (f.timeWords != 0) {
                uint64_t high = special ? (a & 0xFFFF) : (a & 0x3FFFFFFF);
                rawTime = ((high << 32) | word[1]) << f.shift;
                word += 2;
            }
            c_Waveform_t* w = event->waveform;
            if (f.waveforms && w != NULL) {
                int code = decodeWaveform(d, ch, word, f, w);
                if (code != 0)
                    return code;
            } else if (!f.waveforms && w != NULL) {
                w->nSamples = 0;
            }
            word += f.waveWords;
            event->shortCharge = 0;
            event->energy = 0;
            if (f.energyWords != 0) {
                uint32_t energy = *word & 0xFFFF;
                event->energy = (uint16_t)(energy >= 0x8000 ? 0x7FFF : energy);
                event->flags = energyFlags(*word >> 16, channel);
            }
        }
        counts[ch]++;
        stampEvent(d, ch, event, rawTime);
        position += consumed;
    }
    return 0;
}

} // extern "C"
