/*
 * CBoard_Morvane_Flash: the device's flash controller and its pages: board
 * information, coarse DC offsets, the high-voltage calibration with its
 * least-squares fit, and the copy of the calibration into the record's
 * high-voltage blocks.
 */
#include "CBoard_Morvane.h"

#include <libxml/tree.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "CBoard_MorvaneShared.h"
#include "ZarnComm.h"
#include "ZarnParameters.h"

static const c_LogModule_t CBoard_Morvane_log = {"CBoard_MorvaneLog.txt", "CBoard_Morvane_Flash"};

#define PLOG(level, ...)            c_lprintf(&CBoard_Morvane_log, (level), __LINE__, __VA_ARGS__)
#define BLOG(digitizer, level, ...) c_extendedLogMsg(&CBoard_Morvane_log, (digitizer), (level), __LINE__, __VA_ARGS__)
using morvane::freeCalibration;
using morvane::slotOf;

namespace {

constexpr uint32_t kRegFirmware = 0x8124;
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

} // namespace

namespace morvane {

void freeCalibration(c_MorvaneHVChannel_t* hv) {
    for (int r = 0; r < MORVANE_HV_RANGES; ++r) {
        c_free(hv->sets[r]);
        hv->sets[r] = NULL;
    }
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

} // namespace morvane

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
    default: PLOG(C_LOG_ERROR, "Unknown HV polarity %i.", (int)page[14]); return MORVANE_ERR_CALIBRATION;
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
    } kCopies[] = {{HVCONV_VSET, MORVANE_CAL_VSET},         {HVCONV_VMAX, MORVANE_CAL_VMAX},
                   {HVCONV_ISET, MORVANE_CAL_ISET},         {HVCONV_RAMPUP, MORVANE_CAL_RAMPUP},
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

} // extern "C"
