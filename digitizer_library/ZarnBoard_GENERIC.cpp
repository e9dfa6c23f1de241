/*
 * ZarnBoard_GENERIC: board open, setup, default values, status checks, replay
 * values and DAC calibration.
 *
 * The open runs once per c_newDigitizer: device open, board information,
 * reset, setup (descriptor fields, family init, collections, default values,
 * buffers), status check and restore. Every failure after the device answered
 * closes it again and frees what the open built, so the caller only has to
 * reset the record.
 */
#include "ZarnBoard_GENERIC.h"

#include <errno.h>
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "CBoard_Morvane.h"
#include "CBoard_Scope.h"
#include "ZarnBoard_Draq.h"
#include "ZarnBoard_Orlu.h"
#include "ZarnBoard_Pemb.h"
#include "ZarnBoard_Tilk.h"
#include "ZarnBoard_Vesk.h"
#include "ZarnComm.h"
#include "ZarnDPPLayer.h"
#include "ZarnDigitizer.h"
#include "ZarnFirmwareTable.h"
#include "ZarnHighVoltage.h"
#include "ZarnParameters.h"

static const c_LogModule_t ZarnBoard_GENERIC_log = {"ZarnBoard_GENERICLog.txt", "ZarnBoard_GENERIC"};

/* A message without the board prefix, and one with it. */
#define PLOG(level, ...) c_lprintf(&ZarnBoard_GENERIC_log, (level), __LINE__, __VA_ARGS__)
#define BLOG(digitizer, level, ...) c_extendedLogMsg(&ZarnBoard_GENERIC_log, (digitizer), (level), __LINE__, __VA_ARGS__)

static_assert(sizeof(ZARN_DGTZ_BoardInfo_t) == DPPL_BOARD_INFO_SIZE, "board information is the descriptor's head");
static_assert(offsetof(c_BoardDescriptor_t, DPPCode) == DPPL_BOARD_INFO_SIZE, "descriptor head is the board information");

namespace {

constexpr uint32_t kNoFamilyCheck = 0xFFFFFFFFu;
constexpr int kLinkTypeNetwork = 6;
constexpr uint32_t kRegBoardConfig = 0x8000;
constexpr uint32_t kBoardConfigBase = 0x01000100;
constexpr uint32_t kRegMemoryCode = 0x8140;
constexpr uint32_t kRegLvdsControl = 0x811C;
constexpr uint32_t kRegPllLatch = 0xEF04;
constexpr uint32_t kRegAcqStatus = 0x8104;
constexpr uint32_t kRegFlashType = 0xF050;
constexpr uint32_t kRegFlashSelect = 0xEF2C;
constexpr uint32_t kRegFlashData = 0xEF30;
constexpr uint32_t kDacCalibrationMarker = 0x0D;
constexpr size_t kDacPageBytes = 264;

bool isReplay(const c_Digitizer_t* d) { return d->replay != 0; }
bool isMorvane(const c_Digitizer_t* d) { return d->descriptor.FamilyCode == DPPL_FAMILY_MORVANE; }
bool isFamily(const c_Digitizer_t* d, uint32_t a, uint32_t b = kNoFamilyCheck, uint32_t c = kNoFamilyCheck) {
    uint32_t f = d->descriptor.FamilyCode;
    return f == a || f == b || f == c;
}

void setTypeName(c_Digitizer_t* d, const char* name) {
    memset(d->descriptor.DPPTypeName, 0, sizeof d->descriptor.DPPTypeName);
    strncpy(d->descriptor.DPPTypeName, name, sizeof d->descriptor.DPPTypeName - 1);
}

/* ------------------------------------------------------------------- open */

/* The message and library status of a failed board open. */
int mapOpenError(int code, const c_ConnParams_t* params) {
    switch (code) {
    case ZARN_DGTZ_CommError:
        PLOG(C_LOG_ERROR, "Open digitizer failed due to a comm error: %i", code);
        break;
    case ZARN_DGTZ_InvalidLinkType:
        PLOG(C_LOG_ERROR, "Open digitizer failed due to an invalid link type: %i", params != NULL ? params->linkType : 0);
        break;
    case ZARN_DGTZ_MaxDevicesError:
        PLOG(C_LOG_ERROR, "Open digitizer failed due to max number of devices already connected: %i", code);
        break;
    case ZARN_DGTZ_BadBoardType:
        PLOG(C_LOG_ERROR, "Open digitizer failed due to a unsupported board type: %i", code);
        break;
    case ZARN_DGTZ_OutOfMemory:
        PLOG(C_LOG_ERROR, "Open digitizer failed due to an out of memory error: %i", code);
        break;
    case ZARN_DGTZ_CalibrationError:
        PLOG(C_LOG_ERROR, "Open digitizer failed due to a board calibration error: %i", code);
        break;
    case ZARN_DGTZ_AlreadyOpen:
        PLOG(C_LOG_ERROR, "Requested device is already open: %i", code);
        break;
    case ZARN_DGTZ_UnsupportedBaseAddress:
        PLOG(C_LOG_ERROR, "Open digitizer failed due to an unsupported base address: %u",
             params != NULL ? params->vmeBase : 0u);
        return DPPL_ERR_UNSUPPORTED_BASE_ADDRESS;
    default:
        PLOG(C_LOG_ERROR, "Open digitizer failed due to a generic error: %i", code);
        break;
    }
    return DPPL_ERR_DIGITIZER_API;
}

/* The register-level device has its own open (device table, flash, high
 * voltage, coarse DC offsets); its codes go through the same table. */
int openRegisterLevelDevice(c_Digitizer_t* d) { return MORVANE_OpenRecordDevice(d); }

int openThroughBoardAccess(c_Digitizer_t* d, const c_ConnParams_t* params) {
    const void* linkArg = params->linkType == kLinkTypeNetwork ? (const void*)params->address
                                                               : (const void*)&params->linkNumber;
    int handle = -1;
    int code = ZARN_DGTZ_OpenDigitizer2(params->linkType, linkArg, params->node, params->vmeBase, &handle);
    d->handle = code == 0 ? handle : -1;
    return code;
}

int readBoardInformation(c_Digitizer_t* d) {
    ZARN_DGTZ_BoardInfo_t info;
    memset(&info, 0, sizeof info);
    int code = ZARN_DGTZ_GetInfo(d->handle, &info);
    if (code != 0) {
        PLOG(C_LOG_ERROR, "Error in ZARN_DGTZ_GetInfo: %i", code);
        return DPPL_ERR_DIGITIZER_API;
    }
    memcpy(&d->descriptor, &info, sizeof info);
    c_BoardDescriptor_t* desc = &d->descriptor;
    memset(desc->Reserved, 0, sizeof desc->Reserved);
    memset(desc->Reserved2, 0, sizeof desc->Reserved2);
    memset(desc->ReservedText1, 0, sizeof desc->ReservedText1);
    memset(desc->ReservedText2, 0, sizeof desc->ReservedText2);
    memset(desc->Pad1, 0, sizeof desc->Pad1);
    memset(desc->Pad2, 0, sizeof desc->Pad2);
    return 0;
}

int resetBoard(c_Digitizer_t* d) {
    int code = c_breset(d);
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_Reset: %i", code);
        return DPPL_ERR_DIGITIZER_API;
    }
    return 0;
}

/* The largest value a parameter may take, rounded up to a whole number. */
bool parameterCeilMax(c_Digitizer_t* d, int32_t code, const char* name, double* out) {
    c_Parameter_t* p = c_pfind(d, code);
    if (p == NULL) {
        BLOG(d, C_LOG_ERROR, "Can't find %s.", name);
        return false;
    }
    *out = ceil(p->max);
    return true;
}

/* Fixed-size buffers of the register-level device, sized from the largest
 * values its parameters allow. */
int allocateFixedBuffers(c_Digitizer_t* d) {
    double nablt = 0, aggr = 0, reclen = 0;
    if (!parameterCeilMax(d, DPPL_PARAM_NABLT, "DPPL_PARAM_NABLT", &nablt) ||
        !parameterCeilMax(d, DPPL_PARAM_EVENTAGGR, "DPPL_PARAM_EVENTAGGR", &aggr))
        return DPPL_ERR_NULL_ARGUMENT;
    c_Parameter_t* rec = c_pfind(d, DPPL_PARAM_RECLEN);
    if (rec == NULL) {
        BLOG(d, C_LOG_ERROR, "Can't find DPPL_PARAM_RECLEN.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    reclen = ceil(rec->max / d->descriptor.SamplePeriod);
    uint32_t events = (uint32_t)(int64_t)nablt * (uint32_t)(int64_t)aggr;
    int code = _bfixedalloc(d, 0x100000u, events, 1, (uint32_t)reclen);
    if (code != 0) {
        PLOG(C_LOG_ERROR, "From %s: %s", "c_bfixedealloc", c_decodeError(code));
        BLOG(d, C_LOG_ERROR, "Error in c_bfixedealloc: %i", code);
    }
    return code;
}

/* Gives back everything the open built (buffers, collections, the scope
 * buffer), then closes the board. */
void undoOpen(c_Digitizer_t* d) {
    _freeDgtzBuffers(d);
    _freeParamCollections(d);
    if (d->scope != NULL) {
        c_free(d->scope->items);
        c_free(d->scope);
        d->scope = NULL;
    }
    if (isMorvane(d))
        MORVANE_CloseRecordDevice(d);
    else if (d->handle >= 0)
        ZARN_DGTZ_CloseDigitizer(d->handle);
}

/* ------------------------------------------------------------------ setup */

int loadParameters(c_Digitizer_t* d) {
    int code = GENERIC_LoadParameters(d);
    if (code == 0)
        return 0;
    BLOG(d, C_LOG_ERROR, "Can't load the parameters of the board (loader error %i).", code);
    return d->descriptor.DPPCode == DPPL_DPPCODE_MORVANE ? code : DPPL_ERR_PARAMETER;
}

void setTraceBits(c_Digitizer_t* d, uint32_t timeTagBits, uint32_t energyBits, uint32_t analog, uint32_t digital) {
    d->descriptor.TimeTagBits = timeTagBits;
    d->descriptor.EnergyBits = energyBits;
    d->descriptor.AnalogVTraces = analog;
    d->descriptor.DigitalVTraces = digital;
}

/* The register of channel 0's enable is written back with bits 2 and 3
 * cleared (family 7 of DPP code 128). */
int clearChannelZeroEnableBits(c_Digitizer_t* d) {
    c_Parameter_t* p = c_pfindc(d, 0, DPPL_PARAM_CH_ENABLED);
    if (p == NULL) {
        BLOG(d, C_LOG_ERROR, "Error. Mandatory 'DPPL_PARAM_CH_ENABLED' parameter not found");
        return DPPL_ERR_PARAMETER;
    }
    uint32_t value = 0;
    if (isReplay(d) || c_rread(d, p->regaddr, &value) != 0) {
        BLOG(d, C_LOG_ERROR, "Error while reading from register %u", (unsigned)p->regaddr);
        return DPPL_ERR_READ_REGISTER;
    }
    if (c_rwrite(d, p->regaddr, value & ~0xCu) != 0) {
        BLOG(d, C_LOG_ERROR, "Error while writing to register %u", (unsigned)p->regaddr);
        return DPPL_ERR_WRITE_REGISTER;
    }
    return 0;
}

int setupScope(c_Digitizer_t* d) {
    setTraceBits(d, 31, 0, 1, 0);
    if (isFamily(d, 6)) {
        BLOG(d, C_LOG_ERROR, "Standard waveform firmware is not supported on family %u.", 6u);
        return DPPL_ERR_NOT_SUPPORTED;
    }
    if (!isFamily(d, 0, 4, 5) && !isFamily(d, 11, 14)) {
        BLOG(d, C_LOG_ERROR, "Unsupported family %u for standard waveform firmware.", (unsigned)d->descriptor.FamilyCode);
        return DPPL_ERR_INVALID_DPP_CODE;
    }
    return SCOPE_InitBoard(d); /* also loads the parameters */
}

int setupOrluPHA(c_Digitizer_t* d) {
    setTraceBits(d, 30, isFamily(d, 16) ? 15 : 14, 2, 2);
    int code = ORLU_InitBoard(d);
    if (code == 0)
        code = c_rwrite(d, kRegBoardConfig, kBoardConfigBase);
    if (code == 0)
        code = loadParameters(d);
    if (code == 0 && isFamily(d, 7))
        code = clearChannelZeroEnableBits(d);
    return code;
}

/* Memory size of the boards whose code is 2 or 16 (DPP codes 130 to 135). */
int memorySizeFromCode(c_Digitizer_t* d, uint32_t word) {
    uint32_t memoryCode = (word >> 8) & 0xFF;
    if (memoryCode == 2)
        d->descriptor.MemSize = 0x20000;
    else if (memoryCode == 16)
        d->descriptor.MemSize = 0x100000;
    else {
        BLOG(d, C_LOG_ERROR, "Invalid memory code %u.", (unsigned)memoryCode);
        return DPPL_ERR_INVALID_MEMORY_CODE;
    }
    return 0;
}

int setupVeskCI(c_Digitizer_t* d) {
    d->descriptor.TimeTagBits = 32;
    d->descriptor.EnergyBits = 15;
    if (isReplay(d)) {
        BLOG(d, C_LOG_ERROR, "A replay record has no board to set up.");
        return DPPL_ERR_FILE_DIGITIZER;
    }
    uint32_t word = 0;
    int r = ZarnComm_Read32(d->descriptor.CommHandle, kRegMemoryCode, &word);
    if (r != 0) {
        BLOG(d, C_LOG_ERROR, "ZarnComm_Read32(%d, 0x%X, &data) failed with error %i.", (int)d->descriptor.CommHandle,
             kRegMemoryCode, r);
        return DPPL_ERR_READ_REGISTER;
    }
    d->descriptor.MemBlock = 128;
    int code = memorySizeFromCode(d, word);
    if (code != 0)
        return code;
    d->descriptor.ADCBits = d->descriptor.ADC_NBits;
    code = VESK_InitBoard(d);
    return code == 0 ? loadParameters(d) : code;
}

int setupTilkPSD(c_Digitizer_t* d) {
    setTraceBits(d, 32, 15, 2, 3);
    int code = TILK_InitBoard(d);
    return code == 0 ? loadParameters(d) : code;
}

int setupDraqQDC(c_Digitizer_t* d) {
    setTraceBits(d, 32, 16, 1, 4);
    int code = DRAQ_InitBoard(d);
    return code == 0 ? loadParameters(d) : code;
}

int setupPemb(c_Digitizer_t* d, bool writeBoardConfig) {
    setTraceBits(d, 31, d->descriptor.DPPCode == 136 ? 15 : 14, 2, 2);
    int code = PEMB_InitBoard(d);
    if (code == 0 && writeBoardConfig)
        code = c_rwrite(d, kRegBoardConfig, kBoardConfigBase);
    return code == 0 ? loadParameters(d) : code;
}

/* Defaults of the register-level device's high-voltage channels, in the
 * quantity order VSet, ISet, RampUp, RampDown, VMax, VMon, IMon, VExt, RTMP. */
void setDeviceHVDefaults(c_Digitizer_t* d) {
    static const double kMax[DPPL_HV_QUANTITIES] = {5000, 300, 500, 500, 5000, 5000, 300, 1, 1};
    static const double kMin[DPPL_HV_QUANTITIES] = {0, 0, 1, 1, 0, 0, 0, 0, 0};
    static const double kLsb[DPPL_HV_QUANTITIES] = {0.1, 0.01, 0.01, 0.01, 0.1, 0.1, 0.01, 1, 1};
    uint32_t count = d->descriptor.HVChannels < DPPL_MAX_HV_CHANNELS ? d->descriptor.HVChannels : DPPL_MAX_HV_CHANNELS;
    for (uint32_t h = 0; h < count; ++h) {
        c_HVChannelBlock_t* hv = &d->hv[h];
        memcpy(hv->limitMax, kMax, sizeof kMax);
        memcpy(hv->limitMin, kMin, sizeof kMin);
        memcpy(hv->lsb, kLsb, sizeof kLsb);
        hv->handle = d->handle;
        hv->hvIndex = h;
        hv->regBase = 0;
        hv->hwInfo = 0;
    }
}

int setupMorvane(c_Digitizer_t* d) {
    setTraceBits(d, 32, 15, 2, 2);
    c_BoardDescriptor_t* desc = &d->descriptor;
    desc->SamplePeriod = 10.0;
    desc->MemBlock = 0;
    desc->MemSize = 0;
    desc->NumGroups = 0;
    desc->NumChannels = (uint8_t)desc->Channels;
    desc->ADCBits = 14;
    desc->MonOuts = 1;
    setDeviceHVDefaults(d);
    if (desc->Channels == 1 && ZarnComm_Write32(desc->CommHandle, 0x8130, 1) != 0) {
        BLOG(d, C_LOG_ERROR, "Error writing specific register for morvane one.");
        return DPPL_ERR_FIRMWARE_NOT_SUPPORTED;
    }
    return loadParameters(d);
}

/* The firmware setup of the record's DPP code (its row in the firmware
 * table): type name, descriptor fields, family init, parameters. */
int dispatchFirmware(c_Digitizer_t* d) {
    const ZarnFirmware_t* firmware = ZarnFirmware_Find(d->descriptor.DPPCode);
    if (firmware == NULL) {
        BLOG(d, C_LOG_ERROR, "Unsupported DPP code %d.", (int)d->descriptor.DPPCode);
        return DPPL_ERR_INVALID_DPP_CODE;
    }
    if (firmware->typeName != NULL)
        setTypeName(d, firmware->typeName);
    return firmware->setup(d);
}

/* A decimal number as "%d" reads it (blanks, a sign, digits) that fits 32
 * bits: the position after it, or NULL. The text may come from a file. */
const char* readDecimal(const char* text, int32_t* value) {
    char* end = NULL;
    errno = 0;
    long long read = strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || read < INT32_MIN || read > INT32_MAX)
        return NULL;
    *value = (int32_t)read;
    return end;
}

/* "<major>.<minor>", both decimal; the major number is the DPP code. */
bool parseFirmwareRelease(c_Digitizer_t* d) {
    char text[sizeof d->descriptor.ChannelFirmwareRel + 1];
    memcpy(text, d->descriptor.ChannelFirmwareRel, sizeof d->descriptor.ChannelFirmwareRel);
    text[sizeof text - 1] = '\0';
    int32_t major = 0, minor = 0;
    const char* point = readDecimal(text, &major);
    if (point == NULL || *point != '.' || readDecimal(point + 1, &minor) == NULL)
        return false;
    d->descriptor.DPPCode = major;
    d->descriptor.DPPMinorRev = minor;
    return true;
}

void setDumperBaseName(c_Digitizer_t* d) {
    char name[DPPL_DUMPER_BASE_SIZE];
    int length = snprintf(name, sizeof name, "RawData_%.*s_%u",
                          (int)strnlen(d->descriptor.ModelName, sizeof d->descriptor.ModelName),
                          d->descriptor.ModelName, (unsigned)d->descriptor.SerialNumber);
    if (length >= 0 && (size_t)length < sizeof name)
        memcpy(d->writer.baseName, name, (size_t)length + 1);
}

/* Whether the register-level device reports its board configuration done. */
bool boardConfigurationDone(c_Digitizer_t* d) {
    if (d->descriptor.DPPCode != DPPL_DPPCODE_MORVANE)
        return false;
    c_Parameter_t* p = c_pfind(d, DPPL_PARAM_BOARD_CONFIG_STATUS);
    double value = 0;
    if (p == NULL || d->kind == DGTZ_KIND_GEN2_REPLAY || GENERIC_GetParam(d, p, &value) != 0) {
        BLOG(d, C_LOG_WARNING, "Unable to retrieve %s parameter value.", "DPPL_PARAM_BOARD_CONFIG_STATUS");
        return false;
    }
    return (int64_t)value == 1;
}

/* ---------------------------------------------------------- default values */

/* Which parameters of a high-voltage collection the walk leaves alone. */
struct HVFilter {
    bool active;      /* the collection is a high-voltage one */
    bool skipOnCode;  /* DPPL_PARAM_HVCH_ON is never set here */
    bool configured;  /* board configuration done: skip non-hvconfig parameters */
    bool channelOn;   /* DPP code 142 with the channel on: skip non-hvon parameters */
};

bool skipParameter(c_Digitizer_t* d, const c_Parameter_t* p, const HVFilter& filter) {
    if (!filter.active)
        return false;
    if (filter.skipOnCode && p->code == DPPL_PARAM_HVCH_ON)
        return true;
    if (filter.configured && !p->hvconfig) {
        BLOG(d, C_LOG_DETAIL, "HV configured. Skipping param '%s'.", p->name);
        return true;
    }
    if (filter.channelOn && !p->hvon) {
        BLOG(d, C_LOG_DETAIL, "HV ON. Skipping param '%s'.", p->name);
        return true;
    }
    return false;
}

/* One parameter to its preferred value ("LEAVE_AS_IS": the board's value). */
int setDefaultValue(c_Digitizer_t* d, c_Parameter_t* p) {
    if (p->leaveAsIs) {
        double value = 0;
        if (c_pget(d, p, &value) != 0) {
            BLOG(d, C_LOG_ERROR, "Error getting parameter '%s' value with 'LEAVE_AS_IS' default option", p->name);
            return DPPL_ERR_PARAMETER;
        }
        p->preferred = value;
    }
    return GENERIC_SetParam(d, p, p->preferred, 0);
}

/* Every parameter of a collection; a -30 is passed over. On failure the
 * failing parameter's code is reported through failedCode. */
int setCollectionDefaults(c_Digitizer_t* d, c_ParamCollection_t* coll, const HVFilter& filter, int32_t* failedCode) {
    if (coll == NULL)
        return 0;
    int32_t slots = coll->lastCode - coll->firstCode + 1;
    for (int32_t i = 0; i < slots; ++i) {
        c_Parameter_t* p = coll->items[i];
        if (p == NULL || skipParameter(d, p, filter))
            continue;
        int code = setDefaultValue(d, p);
        if (code != 0 && code != DPPL_ERR_NULL_ARGUMENT) {
            *failedCode = coll->firstCode + i;
            return code;
        }
    }
    return 0;
}

bool hvChannelIsOn(c_Digitizer_t* d, uint32_t h) {
    c_Parameter_t* p = c_pfindhvc(d, (int32_t)h, DPPL_PARAM_HVCH_ON);
    double value = 0;
    if (p == NULL || c_pget(d, p, &value) != 0) {
        BLOG(d, C_LOG_WARNING, "Unable to retrieve %s parameter value.", "DPPL_PARAM_HVCH_ON");
        return false;
    }
    return value != 0;
}

/* The active range's first parameters into the channel's active copy: codes
 * first, first+1, first+5, first+6, first+4 (stops at the first missing). */
void copyActiveRange(c_HVChannelBlock_t* hv, const c_ParamCollection_t* coll) {
    if (coll == NULL)
        return;
    static const int32_t kOffsets[5] = {0, 1, 5, 6, 4};
    for (int k = 0; k < 5; ++k) {
        c_Parameter_t* p = _pretrieve(coll, coll->firstCode + kOffsets[k]);
        if (p == NULL)
            return;
        hv->activeCopy[k] = p->value;
    }
}

int activeRangeOf(c_Digitizer_t* d, uint32_t h, uint32_t* range) {
    if (GENERIC_GetHVActiveRangeIndex(d, h, range) != 0 || *range >= DPPL_MAX_HV_RANGES) {
        BLOG(d, C_LOG_ERROR, "Can't find active HV range for HV channel %u", (unsigned)h);
        return DPPL_ERR_PARAMETER;
    }
    return 0;
}

int setHVChannelDefaults(c_Digitizer_t* d, uint32_t h) {
    HVFilter filter = {true, true, boardConfigurationDone(d), false};
    filter.channelOn = d->descriptor.DPPCode == DPPL_DPPCODE_MORVANE && hvChannelIsOn(d, h);
    int32_t failed = -1;
    int code = setCollectionDefaults(d, d->hv[h].coll, filter, &failed);
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Error %i setting default value for hv channel %u parameter %i", code, (unsigned)h, failed);
        return code;
    }
    uint32_t range = 0;
    if ((code = activeRangeOf(d, h, &range)) != 0)
        return code;
    HVFilter rangeFilter = {true, false, filter.configured, false};
    code = setCollectionDefaults(d, d->hv[h].ranges[range].coll, rangeFilter, &failed);
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Error %i setting default value for hv range %u, hv channel %u, parameter %i", code,
             (unsigned)range, (unsigned)h, failed);
        return code;
    }
    if (activeRangeOf(d, h, &range) != 0) {
        BLOG(d, C_LOG_ERROR, "Error %i while updating hv channel %u info", DPPL_ERR_PARAMETER, (unsigned)h);
        return DPPL_ERR_PARAMETER;
    }
    copyActiveRange(&d->hv[h], d->hv[h].ranges[range].coll);
    return 0;
}

/* Walks every category in the fixed order; the first failure ends it. */
int setEveryDefault(c_Digitizer_t* d) {
    const HVFilter none = {false, false, false, false};
    const c_BoardDescriptor_t* desc = &d->descriptor;
    int32_t failed = -1;
    int code = setCollectionDefaults(d, d->boardColl, none, &failed);
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Error %i setting default value for board parameter %i", code, failed);
        return code;
    }
    for (uint8_t g = 0; g < desc->NumGroups && g < DPPL_MAX_GROUPS; ++g) {
        if ((code = setCollectionDefaults(d, d->groupColl[g], none, &failed)) != 0) {
            BLOG(d, C_LOG_ERROR, "Error %i setting default value for group %hhu parameter %i", code, g, failed);
            return code;
        }
    }
    for (uint8_t c = 0; c < desc->NumChannels && c < DPPL_MAX_CHANNELS; ++c) {
        if ((code = setCollectionDefaults(d, d->channels[c].coll, none, &failed)) != 0) {
            BLOG(d, C_LOG_ERROR, "Error %i setting default value for channel %hhu parameter %i", code, c, failed);
            return code;
        }
    }
    for (uint32_t l = 0; l < desc->LVDSGroups && l < DPPL_MAX_LVDS_GROUPS; ++l) {
        if ((code = setCollectionDefaults(d, d->lvdsColl[l], none, &failed)) != 0) {
            BLOG(d, C_LOG_ERROR, "Error %i setting default value for lvds group %u parameter %i", code, (unsigned)l,
                 failed);
            return code;
        }
    }
    for (uint32_t t = 0; t < DPPL_MAX_VTRACES; ++t) {
        if (d->vtrace[t].coll == NULL)
            continue;
        if ((code = setCollectionDefaults(d, d->vtrace[t].coll, none, &failed)) != 0) {
            BLOG(d, C_LOG_ERROR, "Error %i setting default value for virtual trace %u parameter %i", code, (unsigned)t,
                 failed);
            return code;
        }
    }
    for (uint32_t h = 0; h < desc->HVChannels && h < DPPL_MAX_HV_CHANNELS; ++h) {
        if ((code = setHVChannelDefaults(d, h)) != 0)
            return code;
    }
    for (uint32_t m = 0; m < desc->MonOuts && m < DPPL_MAX_MONOUTS; ++m) {
        if ((code = setCollectionDefaults(d, d->monOutColl, none, &failed)) != 0) {
            BLOG(d, C_LOG_ERROR, "Error %i setting default value for mon out %u parameter %i", code, (unsigned)m, failed);
            return code;
        }
    }
    for (uint32_t v = 0; v < desc->VGAs && v < DPPL_MAX_VGAS; ++v) {
        if ((code = setCollectionDefaults(d, d->vgaColl[v], none, &failed)) != 0) {
            BLOG(d, C_LOG_ERROR, "Error %i setting default value for VGA %u parameter %i", code, (unsigned)v, failed);
            return code;
        }
    }
    return 0;
}

/* ------------------------------------------------------------ replay values */

/* Doubles held by a value block of a recorded file (0 when unknown). */
size_t blockEntries(const double* block) { return block != NULL ? c_malloc_size(block) / sizeof(double) : 0; }

/* Pins every parameter of a collection to its recorded value: a software-only
 * list of exactly that one value. Codes past the end of the block read as
 * -1.0, as codes the recorder did not hold. The set hooks are unbound too: a
 * pinned value never changes, and a hook would set other pinned parameters or
 * reallocate the buffers through the live board's path. */
void pinRecordedValues(c_ParamCollection_t* coll, const double* block) {
    if (coll == NULL || block == NULL)
        return;
    size_t entries = blockEntries(block);
    int32_t slots = coll->lastCode - coll->firstCode + 1;
    for (int32_t i = 0; i < slots; ++i) {
        c_Parameter_t* p = coll->items[i];
        if (p == NULL)
            continue;
        double value = (size_t)i < entries ? block[i] : -1.0;
        p->regaddr = 0;
        p->mask = C_PARAM_FULL_MASK;
        p->swcheck = NULL; /* software-only whatever a check would say */
        p->preset = NULL;
        p->postset = NULL;
        p->setfcn = NULL;
        p->type = C_PARAM_TYPE_LIST;
        memset(p->values, 0, sizeof p->values);
        p->values[0].value = value;
        p->values[0].regvalue = 0;
        p->count = 1;
        p->value = value;
    }
}

/* -------------------------------------------------------------- DAC flash */

/* Reads one page of the board's serial flash through the board-access
 * register calls: select, read command with the page address and four dummy
 * bytes, one data access per byte, deselect. */
int readFlashPage(int handle, uint32_t type, uint32_t pageSize, uint32_t page, uint8_t* out) {
    uint32_t shift = pageSize == 264 ? 9 : (pageSize == 528 ? 10 : 11);
    uint32_t address = page << shift;
    uint32_t deselect = type == 0 ? 1 : 0;
    int failed = ZARN_DGTZ_WriteRegister(handle, kRegFlashSelect, type);
    const uint32_t command[8] = {0xD2, (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF, 0, 0, 0, 0};
    for (uint32_t k = 0; k < 8 && failed == 0; ++k)
        failed = ZARN_DGTZ_WriteRegister(handle, kRegFlashData, command[k]);
    for (uint32_t k = 0; k < pageSize && failed == 0; ++k) {
        uint32_t value = 0;
        failed = ZARN_DGTZ_ReadRegister(handle, kRegFlashData, &value);
        out[k] = (uint8_t)(value & 0xFF);
    }
    int deselected = ZARN_DGTZ_WriteRegister(handle, kRegFlashSelect, deselect);
    return failed != 0 || deselected != 0 ? -2 : 0;
}

float littleEndianFloat(const uint8_t* bytes) {
    uint32_t word = (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) | ((uint32_t)bytes[3] << 24);
    float value;
    memcpy(&value, &word, sizeof value);
    return value;
}

int setCalibrationValue(c_Digitizer_t* d, c_Parameter_t* p, double value) {
    if (p != NULL)
        p->preferred = value;
    return GENERIC_SetParam(d, p, value, 0);
}

bool isOpenRecord(const c_Digitizer_t* d) { return d != NULL && (d->kind == 0 || d->kind == 1); }

} // namespace

/* ------------------------------------------- firmware setups (table rows) */

int GENERIC_SetupScope(c_Digitizer_t* d) { return setupScope(d); }
int GENERIC_SetupOrluPHA(c_Digitizer_t* d) { return setupOrluPHA(d); }
int GENERIC_SetupVeskCI(c_Digitizer_t* d) { return setupVeskCI(d); }
int GENERIC_SetupTilkPSD(c_Digitizer_t* d) { return setupTilkPSD(d); }
int GENERIC_SetupDraqQDC(c_Digitizer_t* d) { return setupDraqQDC(d); }
int GENERIC_SetupPembPSD(c_Digitizer_t* d) { return setupPemb(d, false); }
int GENERIC_SetupPembPHA(c_Digitizer_t* d) { return setupPemb(d, true); }
int GENERIC_SetupMorvane(c_Digitizer_t* d) { return setupMorvane(d); }

/* ========================================================================= */

int GENERIC_OpenDigitizer(c_Digitizer_t* d, const c_ConnParams_t* params) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int openCode = params == NULL ? openRegisterLevelDevice(d) : openThroughBoardAccess(d, params);
    d->kind = DGTZ_KIND_OPEN;
    if (openCode != 0)
        return mapOpenError(openCode, params);
    if (params == NULL && (openCode = MORVANE_PrepareRecord(d)) != 0)
        return openCode;

    d->linkFlag = params != NULL && params->linkType == 1 && params->vmeBase == 0 ? 1 : 0;
    int code = params == NULL ? MORVANE_ReadBoardInformation(d) : readBoardInformation(d);
    if (code == 0)
        code = resetBoard(d);
    if (code == 0 && (code = GENERIC_SetupDigitizer(d)) != 0)
        BLOG(d, C_LOG_ERROR, "Error setting up digitizer.");
    if (code == 0 && c_checkStatus(d) != 0) {
        BLOG(d, C_LOG_INFO, "GENERIC_CheckStatus() failed. The status was not clean.");
        if ((code = GENERIC_RestoreStatus(d)) != 0)
            BLOG(d, C_LOG_ERROR, "Can't restore status.");
    }
    if (code == 0 && isMorvane(d))
        code = allocateFixedBuffers(d);
    if (code != 0)
        undoOpen(d);
    return code;
}

int GENERIC_SetupDigitizer(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_BoardDescriptor_t* desc = &d->descriptor;
    if (desc->FormFactor == 0 || desc->FormFactor == 1)
        desc->LVDSGroups = 4;
    else if (desc->FormFactor == 2 || desc->FormFactor == 3)
        desc->LVDSGroups = 0;
    else {
        BLOG(d, C_LOG_ERROR, "Unsupported form factor %u.", (unsigned)desc->FormFactor);
        return DPPL_ERR_GENERIC;
    }
    if (!parseFirmwareRelease(d)) {
        BLOG(d, C_LOG_ERROR, "Can't parse the channel firmware release '%.40s'.", desc->ChannelFirmwareRel);
        return DPPL_ERR_GENERIC;
    }
    setDumperBaseName(d);
    desc->MonOuts = 0;
    desc->VGAs = 0;

    int code = dispatchFirmware(d);
    if (code != 0)
        return code;
    if (desc->LVDSGroups > 0) {
        uint32_t value = 0;
        if ((code = c_rread(d, kRegLvdsControl, &value)) != 0 || (code = c_rwrite(d, kRegLvdsControl, value | 0x100)) != 0)
            return code;
    }
    if ((code = GENERIC_SetAllParameters(d)) != 0) {
        BLOG(d, C_LOG_ERROR, "GENERIC_SetAllParameters(...) failed with error %i", code);
        return DPPL_ERR_INIT_DIGITIZER;
    }
    if (desc->DPPCode == DPPL_DPPCODE_MORVANE && !boardConfigurationDone(d)) {
        if (d->handle < 0)
            return DPPL_ERR_WAVEFORM_SETUP; /* no such device slot */
        if (ZarnComm_Write32(desc->CommHandle, 0xEF20, 0x5B90) != 0) {
            BLOG(d, C_LOG_WARNING, "Unable to set 0x5B90.");
            return DPPL_ERR_FIRMWARE_NOT_SUPPORTED;
        }
    }
    return 0;
}

int GENERIC_SetAllParameters(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    /* Every set runs with automatic reallocation off; the buffers are sized
     * once at the end from the final values. */
    c_Parameter_t* autoAlloc = c_pfind(d, DPPL_PARAM_AUTOALLOC_BUFFERS);
    bool allocate = true;
    if (autoAlloc != NULL) {
        allocate = autoAlloc->value != 0;
        autoAlloc->preferred = 0;
        if (GENERIC_SetParam(d, autoAlloc, 0, 0) != 0) {
            BLOG(d, C_LOG_WARNING, "Cannot set parameter DPPL_PARAM_AUTOALLOC_BUFFERS to FALSE. Going on anyway with legacy behaviour.");
            allocate = true;
        }
    }
    int code = setEveryDefault(d);
    if (code != 0)
        return code;
    double remembered = allocate ? 1.0 : 0.0;
    if (autoAlloc != NULL && autoAlloc->value != remembered) {
        if ((code = c_pset(d, autoAlloc, remembered)) != 0) {
            BLOG(d, C_LOG_ERROR, "Cannot restore previous value of parameter DPPL_PARAM_AUTOALLOC_BUFFERS.");
            return code;
        }
    }
    if (!allocate)
        return 0;
    BLOG(d, C_LOG_DETAIL, "Allocating buffers after GENERIC_SetAllParameters");
    if ((code = _brealloc(d)) != 0) {
        PLOG(C_LOG_ERROR, "From %s: %s", "c_brealloc", c_decodeError(code));
        BLOG(d, C_LOG_ERROR, "Cannot allocate buffers.");
        return code;
    }
    BLOG(d, C_LOG_DETAIL, "RO Buffer Size=%u B", (unsigned)d->roBuffer.ROAllocSize);
    return 0;
}

int GENERIC_LoadFileParameters(c_Digitizer_t* d, const c_RawDataHeader_t* header) {
    if (d == NULL || header == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int code = GENERIC_LoadParameters(d);
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Can't load the parameters of the recorded board (loader error %i).", code);
        return DPPL_ERR_PARAMETER;
    }
    const c_BoardDescriptor_t* desc = &d->descriptor;
    pinRecordedValues(d->boardColl, header->brdparams);
    for (uint32_t g = 0; g < desc->NumGroups && g < DPPL_MAX_GROUPS; ++g)
        pinRecordedValues(d->groupColl[g], header->grparams[g]);
    for (uint32_t c = 0; c < desc->NumChannels && c < DPPL_MAX_CHANNELS; ++c)
        pinRecordedValues(d->channels[c].coll, header->chparams[c]);
    for (uint32_t l = 0; l < desc->LVDSGroups && l < DPPL_MAX_LVDS_GROUPS; ++l)
        pinRecordedValues(d->lvdsColl[l], header->lgparams[l]);
    uint32_t traces = desc->AnalogVTraces + desc->DigitalVTraces;
    for (uint32_t t = 0; t < traces && t < DPPL_MAX_VTRACES; ++t)
        pinRecordedValues(d->vtrace[t].coll, header->vtparams[t]);
    for (uint32_t h = 0; h < desc->HVChannels && h < DPPL_MAX_HV_CHANNELS; ++h) {
        pinRecordedValues(d->hv[h].coll, header->hvchparams[h]);
        if ((int32_t)d->hv[h].rangeCount <= 0)
            BLOG(d, C_LOG_ERROR, "Invalid HV Range %i for HV channel %i", (int)d->hv[h].rangeCount, (int)h);
        else
            pinRecordedValues(d->hv[h].ranges[0].coll, header->hvrangeparams[h]);
    }
    for (uint32_t m = 0; m < desc->MonOuts && m < DPPL_MAX_MONOUTS; ++m)
        pinRecordedValues(d->monOutColl, header->moparams[m]);
    for (uint32_t v = 0; v < desc->VGAs && v < DPPL_MAX_VGAS; ++v)
        pinRecordedValues(d->vgaColl[v], header->vgaparams[v]);
    return 0;
}

int GENERIC_CheckAutoShutdown(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    const ZarnFirmware_t* firmware = ZarnFirmware_Find(d->descriptor.DPPCode);
    if (firmware == NULL)
        return DPPL_ERR_INVALID_DPP_CODE;
    return firmware->checkShutdown != NULL ? firmware->checkShutdown(d) : 0;
}

int GENERIC_CheckPLLLockedParameter(c_Digitizer_t* d) {
    d->failStatus &= (uint8_t)~FAILSTATUS_PLL_UNLOCK;
    c_Parameter_t* p = c_pfind(d, DPPL_PARAM_PLLLOCKED);
    if (p == NULL) {
        BLOG(d, C_LOG_ERROR, "Can't find 'PLL locked' parameter");
        return DPPL_ERR_PARAMETER;
    }
    double value = 0;
    int code = c_pget(d, p, &value);
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Can't get 'PLL locked' parameter value");
        return code;
    }
    if (value != 0)
        return 0;
    BLOG(d, C_LOG_ERROR, "PLL unlock detected");
    d->failStatus |= FAILSTATUS_PLL_UNLOCK;
    return DPPL_ERR_PLL_LOCK_LOSS;
}

/* ------------------------------------------------ steps of the family setups */

#define FLOG(log, digitizer, level, ...) c_extendedLogMsg((log), (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

constexpr size_t kRangeTextMax = 99;

void copyRangeText(char* field, const char* text) {
    size_t length = strnlen(text, kRangeTextMax);
    memcpy(field, text, length);
    field[length] = '\0';
}

/* Range block of a channel from its element of the definitions. */
int fillRangeBlock(const c_LogModule_t* log, c_Digitizer_t* d, c_HVRangeBlock_t* range, xmlNodePtr element,
                   uint32_t hvIndex) {
    const char* codeName = (const char*)element->name;
    const char* name = c_xml_getattributevalue(element, "name", 0);
    if (codeName == NULL || name == NULL) {
        FLOG(log, d, C_LOG_ERROR, "HV Range '%s' doesn't define codename or name.", codeName != NULL ? codeName : "");
        return DPPL_ERR_GENERIC;
    }
    copyRangeText(range->codename, codeName);
    copyRangeText(range->name, name);
    double code = 0;
    if (c_xml_getcodefromnode(element, &code) != 0) {
        FLOG(log, d, C_LOG_ERROR, "Cannot get code for HVRange '%s'.", codeName);
        return DPPL_ERR_GENERIC;
    }
    range->rangeCode = (int32_t)code;
    range->hvIndex = hvIndex;
    return 0;
}

/* Linear conversions of the range from the channel's limits: two points
 * (max, max / lsb) and (min, min / lsb), raw = x / lsb. */
void fillLinearConversions(const c_HVChannelBlock_t* hv, c_HVRangeBlock_t* range) {
    static const int kQuantity[DPPL_HV_CONVERSIONS] = {HVQ_VSET,     HVQ_VMAX, HVQ_ISET, HVQ_RAMPUP,
                                                       HVQ_RAMPDOWN, HVQ_VMON, HVQ_IMON};
    for (int k = 0; k < DPPL_HV_CONVERSIONS; ++k) {
        int q = kQuantity[k];
        double lsb = hv->lsb[q], max = hv->limitMax[q], min = hv->limitMin[q];
        c_HVConversionBlock_t* conv = &range->conv[k];
        memset(conv, 0, sizeof *conv);
        conv->nPoints = 2;
        conv->points[0][0] = max;
        conv->points[0][1] = max / lsb;
        conv->points[1][0] = min;
        conv->points[1][1] = min / lsb;
        conv->degree = 1;
        conv->coeff[0] = 0;
        conv->coeff[1] = 1 / lsb;
        conv->min = min;
        conv->max = max;
        conv->step = lsb;
    }
}

/* Polarity from the model name's last letter: 'M' mixed (channel 0
 * positive, channel 1 negative), 'N' negative, 'P' positive. */
void setPolarityFromModel(const c_Digitizer_t* d, c_HVChannelBlock_t* hv, uint32_t i) {
    size_t length = strnlen(d->descriptor.ModelName, sizeof d->descriptor.ModelName);
    char last = length > 0 ? d->descriptor.ModelName[length - 1] : '\0';
    if (last == 'M')
        hv->polarity = i == 0 ? 0 : 1;
    else if (last == 'N')
        hv->polarity = 1;
    else if (last == 'P')
        hv->polarity = 0;
}

} // namespace

int GENERIC_ReadMemorySize(const c_LogModule_t* log, c_Digitizer_t* d, const GENERIC_MemoryCodes_t* codes) {
    if (d->replay) {
        FLOG(log, d, C_LOG_ERROR, "A replay record has no board to set up.");
        return DPPL_ERR_FILE_DIGITIZER;
    }
    c_BoardDescriptor_t* desc = &d->descriptor;
    uint32_t word = 0;
    int r = ZarnComm_Read32(desc->CommHandle, kRegMemoryCode, &word);
    if (r != 0) {
        FLOG(log, d, C_LOG_ERROR, "ZarnComm_Read32(%d, 0x%X, &data) failed with error %i.", (int)desc->CommHandle,
             kRegMemoryCode, r);
        return DPPL_ERR_READ_REGISTER;
    }
    uint32_t memoryCode = (word >> 8) & 0xFF;
    if (memoryCode == codes->code[0])
        desc->MemSize = codes->size[0];
    else if (memoryCode == codes->code[1])
        desc->MemSize = codes->size[1];
    else {
        FLOG(log, d, C_LOG_ERROR, "Invalid memory code %u.", (unsigned)memoryCode);
        return DPPL_ERR_INVALID_MEMORY_CODE;
    }
    return 0;
}

int GENERIC_CheckChannelCount(const c_LogModule_t* log, c_Digitizer_t* d) {
    const c_BoardDescriptor_t* desc = &d->descriptor;
    if (desc->Channels <= DPPL_MAX_CHANNELS)
        return 0;
    FLOG(log, d, C_LOG_ERROR, "The board reports %u channels; at most %u are supported.", (unsigned)desc->Channels,
         (unsigned)DPPL_MAX_CHANNELS);
    return DPPL_ERR_GENERIC;
}

int GENERIC_FindHVRanges(const c_LogModule_t* log, c_Digitizer_t* d, GENERIC_HVRanges_t* out) {
    xmlNodePtr ranges =
        c_xml_getfirstnodefromxpathquery(c_getLibraryDefinitions(), "/Definitions/ParameterValues/HV_RANGES");
    if (ranges == NULL) {
        FLOG(log, d, C_LOG_ERROR, "Cannot find HV_RANGES in definitions document.");
        return DPPL_ERR_GENERIC;
    }
    out->hpge = c_xml_getfirstchildrenelementfromname(ranges, "HV_RANGE_HPGE");
    out->pmt = c_xml_getfirstchildrenelementfromname(ranges, "HV_RANGE_PMT");
    out->sd = c_xml_getfirstchildrenelementfromname(ranges, "HV_RANGE_SD");
    const char* missing = out->hpge == NULL ? "HPGe" : out->pmt == NULL ? "PMT" : out->sd == NULL ? "SD" : NULL;
    if (missing != NULL) {
        FLOG(log, d, C_LOG_ERROR, "Definitions document doesn't define %s range.", missing);
        return DPPL_ERR_GENERIC;
    }
    return 0;
}

int GENERIC_InitHVChannel(const c_LogModule_t* log, c_Digitizer_t* d, uint32_t i, xmlNodePtr range,
                          int32_t activeRange) {
    c_HVChannelBlock_t* hv = &d->hv[i];
    hv->regBase = d->descriptor.Channels;
    hv->hvIndex = i;
    hv->handle = d->handle;
    int hvCode = _hvLoadLimits(hv);
    if (hvCode != HV_SUCCESS) {
        c_lprintf(log, C_LOG_ERROR, __LINE__, "From %s: %s", "c_hvloadp", _hvErrorText(hvCode));
        return DPPL_ERR_HV;
    }
    setPolarityFromModel(d, hv, i);
    hv->rangeCount = 1;
    hv->activeRange = activeRange;
    int code = fillRangeBlock(log, d, &hv->ranges[0], range, i);
    if (code != 0)
        return code;
    fillLinearConversions(hv, &hv->ranges[0]);
    return 0;
}

int GENERIC_CheckPLLLock(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    const ZarnFirmware_t* firmware = ZarnFirmware_Find(d->descriptor.DPPCode);
    if (firmware == NULL)
        return DPPL_ERR_INVALID_DPP_CODE;
    return firmware->checkPLL != NULL ? firmware->checkPLL(d) : 0;
}

int c_checkStatus(c_Digitizer_t* d) {
    if (!isOpenRecord(d))
        return DPPL_ERR_DIGITIZER_NOT_OPEN;
    if (d->kind == DGTZ_KIND_GEN2_REPLAY)
        return DPPL_ERR_NOT_SUPPORTED;
    int code = GENERIC_CheckAutoShutdown(d);
    return code != 0 ? code : GENERIC_CheckPLLLock(d);
}

int GENERIC_RestorePLLUnlock(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (isReplay(d))
        return DPPL_ERR_FILE_DIGITIZER;
    /* Reading both registers clears the latched condition. */
    const uint32_t latches[2] = {kRegPllLatch, kRegAcqStatus};
    for (uint32_t address : latches) {
        uint32_t value = 0;
        int r = ZarnComm_Read32(d->descriptor.CommHandle, address, &value);
        if (r != 0) {
            BLOG(d, C_LOG_ERROR, "ZarnComm_Read32(%d, 0x%X, &data) failed with error %i.", (int)d->descriptor.CommHandle,
                 address, r);
            return DPPL_ERR_READ_REGISTER;
        }
    }
    int code = GENERIC_CheckPLLLock(d);
    if (code != 0)
        BLOG(d, C_LOG_ERROR, "Tried to clean PLL unlock error without success");
    return code;
}

int c_restorePLLUnlock(c_Digitizer_t* d) {
    if (!isOpenRecord(d))
        return DPPL_ERR_DIGITIZER_NOT_OPEN;
    return GENERIC_RestorePLLUnlock(d);
}

int GENERIC_RestoreStatus(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (d->kind == DGTZ_KIND_GEN2_REPLAY)
        return 0;
    const ZarnFirmware_t* firmware = ZarnFirmware_Find(d->descriptor.DPPCode);
    if (firmware == NULL)
        return DPPL_ERR_INVALID_DPP_CODE;
    int code = firmware->restoreShutdown != NULL ? firmware->restoreShutdown(d) : 0;
    if (code != 0)
        return code;
    if ((code = GENERIC_CheckAutoShutdown(d)) != 0) {
        BLOG(d, C_LOG_ERROR, "Tried to clean AutoShutdown error without success");
        return code;
    }
    return GENERIC_RestorePLLUnlock(d);
}

int GENERIC_GetHVActiveRangeIndex(c_Digitizer_t* d, uint32_t hvChannel, uint32_t* rangeIndex) {
    if (d == NULL || rangeIndex == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (!isMorvane(d)) {
        *rangeIndex = 0;
        return 0;
    }
    /* The device has two high-voltage channel records: channel 2 is refused
     * like any channel beyond them. */
    int deviceCode = 0;
    uint32_t control = 0;
    if (d->handle < 0)
        deviceCode = -5;
    else if (hvChannel >= DPPL_MAX_HV_CHANNELS)
        deviceCode = -13;
    else if (ZarnComm_Read32(d->descriptor.CommHandle, (hvChannel << 8) | 0x10EC, &control) != 0) {
        /* The device's own prefix: the HV channel joins the board name. */
        PLOG(C_LOG_ERROR, "%.*s_%u[HV%i]: Can't read HVCHANNEL_CONTROL register.",
             (int)strnlen(d->descriptor.ModelName, sizeof d->descriptor.ModelName), d->descriptor.ModelName,
             (unsigned)d->descriptor.SerialNumber, (int)hvChannel);
        deviceCode = -10;
    }
    if (deviceCode != 0) {
        BLOG(d, C_LOG_ERROR, "GENERIC_GetHVActiveRangeIndex: XMOR_DGTZ_GetHVActiveRangeIndex failed with error %i",
             deviceCode);
        return DPPL_ERR_GENERIC;
    }
    uint32_t rangeCode = (control >> 3) & 0x3;
    const c_HVChannelBlock_t* hv = &d->hv[hvChannel];
    for (uint32_t r = 0; r < hv->rangeCount && r < DPPL_MAX_HV_RANGES; ++r) {
        if ((uint32_t)hv->ranges[r].rangeCode == rangeCode) {
            *rangeIndex = r;
            return 0;
        }
    }
    BLOG(d, C_LOG_ERROR, "Can't find a HVrange corrseponding to read code %u", (unsigned)rangeCode);
    return DPPL_ERR_GENERIC;
}

int GENERIC_ReadDACCalibrationFromFlash(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    uint32_t typeBits = 0;
    if (ZARN_DGTZ_ReadRegister(d->handle, kRegFlashType, &typeBits) != 0) {
        BLOG(d, C_LOG_ERROR, "Can't read the flash type register.");
        return DPPL_ERR_GENERIC;
    }
    uint32_t type = 0, pageSize = 264, page = 6;
    if ((typeBits & 0x3) == 2) {
        type = 4;
    } else if (typeBits & 0x1) {
        type = 2;
        pageSize = 528;
        page = 3;
    }
    uint8_t* buffer = (uint8_t*)c_calloc(pageSize, 1);
    if (buffer == NULL || readFlashPage(d->handle, type, pageSize, page, buffer) != 0) {
        c_free(buffer);
        BLOG(d, C_LOG_ERROR, "Can't read the DAC calibration page of the board flash.");
        return DPPL_ERR_GENERIC;
    }
    uint8_t pageData[kDacPageBytes];
    memcpy(pageData, buffer, kDacPageBytes);
    c_free(buffer);
    if (pageData[0] != kDacCalibrationMarker) {
        BLOG(d, C_LOG_ERROR, "No DAC Calibration data found in board flash. Proceding with default values.");
        return 0;
    }
    BLOG(d, C_LOG_INFO, "DAC Calibration data found in board flash.");
    return GENERIC_LoadDACCalibration(d, pageData + 1, kDacPageBytes - 1, isFamily(d, 4) ? 1 : 0);
}

int GENERIC_LoadDACCalibration(c_Digitizer_t* d, const void* data, size_t size, uint8_t perGroup) {
    if (d == NULL || data == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    size_t n = perGroup ? d->descriptor.NumGroups : d->descriptor.NumChannels;
    if (size < 8 * n) {
        BLOG(d, C_LOG_ERROR, "Invalid size to load DAC calibration. (size=%zu, n_ch=%zu)", size, n);
        return DPPL_ERR_GENERIC;
    }
    const uint8_t* bytes = (const uint8_t*)data;
    for (size_t i = 0; i < n; ++i) {
        int32_t index = (int32_t)i;
        c_Parameter_t* p0 = perGroup ? c_pfindg(d, index, DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P0)
                                     : c_pfindc(d, index, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P0);
        c_Parameter_t* p1 = perGroup ? c_pfindg(d, index, DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P1)
                                     : c_pfindc(d, index, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P1);
        int code = setCalibrationValue(d, p0, littleEndianFloat(bytes + 8 * i));
        if (code == 0)
            code = setCalibrationValue(d, p1, littleEndianFloat(bytes + 8 * i + 4));
        if (code != 0)
            return code;
    }
    return 0;
}

/* ==========================================================================
 * Acquisition control and readout: statuses, start and stop of the board and
 * of single channels, the read path (board, replayed file, recording), the
 * aggregate walkers, the per-read parameter cache, the time base, the
 * end-of-run marks and the software CFD.
 * ========================================================================== */

#include "ZarnROBuffDumper.h"

#define ALOG(digitizer, level, ...) \
    c_extendedLogMsg(&ZarnBoard_GENERIC_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

/* Flags of the acquisition control's own parameter writes: no access,
 * acquisition or high-voltage test. */
constexpr uint32_t kAcqSetFlags = C_SETPARAM_SKIP_ACCESS | C_SETPARAM_SKIP_ACQUISITION | C_SETPARAM_SKIP_HV;
constexpr uint32_t kMaxBlockWords = 0x200000;
constexpr uint32_t kIrqWaitMs = 100;
constexpr uint32_t kBoardAggregateSizeMask = 0x0FFFFFFF;
constexpr uint32_t kMaskBits = 8;

uint32_t acqChannels(const c_Digitizer_t* d) {
    return d->descriptor.NumChannels < DPPL_MAX_CHANNELS ? d->descriptor.NumChannels : DPPL_MAX_CHANNELS;
}
uint32_t acqGroups(const c_Digitizer_t* d) {
    return d->descriptor.NumGroups < DPPL_MAX_GROUPS ? d->descriptor.NumGroups : DPPL_MAX_GROUPS;
}
bool acqIsMorvane(const c_Digitizer_t* d) { return d->descriptor.FamilyCode == DPPL_FAMILY_MORVANE; }

void logFromFunction(const char* function, int code) {
    c_lprintf(&ZarnBoard_GENERIC_log, C_LOG_ERROR, __LINE__, "From %s: %s", function, c_decodeError(code));
}

/* Priority of a status in the board fold; -1 for none. */
int statusPriority(int32_t status) {
    switch (status) {
    case ACQSTATUS_RUNNING: return 5;
    case ACQSTATUS_PAUSING: return 4;
    case ACQSTATUS_STOPPING: return 3;
    case ACQSTATUS_PAUSED: return 2;
    case ACQSTATUS_STOPPED: return 1;
    default: return -1;
    }
}

/* Every channel's DPPL_PARAM_CH_ACQ_RUN (where it exists) to value; the
 * failures are logged and the last one is the result. */
int setEveryRunParameter(c_Digitizer_t* d, double value) {
    int result = 0;
    for (uint32_t ch = 0; ch < acqChannels(d); ++ch) {
        c_Parameter_t* run = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_ACQ_RUN);
        if (run == NULL)
            continue;
        int code = GENERIC_SetParam(d, run, value, kAcqSetFlags);
        if (code != 0) {
            ALOG(d, C_LOG_ERROR, "Cannot set DPPL_PARAM_CH_ACQ_RUN to %s for channel %u", value != 0 ? "TRUE" : "FALSE",
                 (unsigned)ch);
            result = code;
        }
    }
    return result;
}

/* A channel parameter that the single-channel stop needs; -42 after logging
 * when it is missing or unreadable. */
int readStopParameter(c_Digitizer_t* d, uint32_t ch, int32_t code, const char* codeName, double* value) {
    c_Parameter_t* p = c_pfindc(d, (int32_t)ch, code);
    if (p == NULL) {
        ALOG(d, C_LOG_ERROR, "Can't find parameter %s for channel %u. Single channel pause/stop not supported.", codeName,
             (unsigned)ch);
        return DPPL_ERR_NOT_SUPPORTED;
    }
    if (c_pget(d, p, value) != 0) {
        ALOG(d, C_LOG_ERROR, "Can't get parameter %s for channel %u", codeName, (unsigned)ch);
        return DPPL_ERR_NOT_SUPPORTED;
    }
    return 0;
}

/* ns to ps, truncated; a negative offset wraps so that adding it subtracts. */
uint64_t psFromNs(double ns) {
    double ps = ns * 1000.0;
    if (!(ps > -9.2e18 && ps < 9.2e18))
        return 0;
    return (uint64_t)(int64_t)ps;
}

/* A time in ns as whole samples (0 for anything that is not a positive
 * finite number of samples). */
uint32_t samplesFromNs(double ns, double period) {
    double samples = ns / period;
    if (!(samples >= 0.0) || !isfinite(samples))
        return 0;
    return samples >= 4294967295.0 ? 0xFFFFFFFFu : (uint32_t)samples;
}

/* The register value that a parameter's own converter gives its current
 * value (the value itself without a converter). */
uint32_t registerValueOf(c_Digitizer_t* d, c_Parameter_t* p) {
    if (p->valtoreg != NULL) {
        c_ParamRef_t ref = {d, p};
        return p->valtoreg(&ref, p->value);
    }
    double v = p->value;
    return v >= 0.0 && v < 4294967296.0 ? (uint32_t)v : 0;
}

void fillBaseCache(c_Digitizer_t* d, uint32_t ch, c_ReadCache_t* cache) {
    c_Parameter_t* run = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_ACQ_RUN);
    cache->hasAcqRun = run != NULL;
    cache->acqRun = run != NULL ? run->value : 0.0;
    cache->hasGainReg = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_GAINREG) != NULL;
    c_Parameter_t* offset = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_TIME_OFFSET);
    double ns = 0.0;
    if (offset == NULL || c_pget(d, offset, &ns) != 0) {
        ALOG(d, C_LOG_WARNING, "Unable to retrieve %s parameter value.",
             offset != NULL ? offset->name : "DPPL_PARAM_CH_TIME_OFFSET");
        ns = 0.0;
    }
    cache->timeOffsetPs = psFromNs(ns);
}

/* Software gain h = (D x R) / (g x 2^n) of a pulse-height channel without a
 * gain register, with D and R the register values of the decay and rise
 * times, n the trapezoid normalisation and g the fine gain (1 without). */
void fillGainCache(c_Digitizer_t* d, uint32_t ch, c_ReadCache_t* cache) {
    cache->gainH = cache->gainL = 1.0;
    c_Parameter_t* norm = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_TRAP_NORM);
    c_Parameter_t* decay = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_TDECAY);
    c_Parameter_t* rise = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_TRAP_TRISE);
    const char* missing = norm == NULL ? "TRAP_NORM" : decay == NULL ? "TDECAY" : rise == NULL ? "TRAP_TRISE" : NULL;
    if (missing != NULL) {
        ALOG(d, C_LOG_ERROR, "[%u] Can't get %s parameter.", (unsigned)ch, missing);
        cache->gainStatus = DPPL_ERR_PARAMETER;
        return;
    }
    cache->gainStatus = 0;
    uint32_t product = registerValueOf(d, decay) * registerValueOf(d, rise); /* a 32-bit product */
    double n = norm->value >= 0.0 && norm->value < 64.0 ? trunc(norm->value) : 0.0;
    c_Parameter_t* fine = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_FGAIN);
    double g = fine != NULL ? fine->value : 1.0;
    double h = (double)product / (g * ldexp(1.0, (int)n));
    if (!(h > 0.0) || !isfinite(h) || !isfinite(1.0 / h)) {
        ALOG(d, C_LOG_WARNING, "[%u] Software gain %f is not usable; energies are not rescaled.", (unsigned)ch, h);
        return;
    }
    cache->gainH = h;
    cache->gainL = 1.0 / h;
}

/* ------------------------------------------------------------ read path */

/* The recording step of a read: appends the buffer just read to the
 * writer's raw-data file while dumpEnabled is set. A failed write is logged
 * by the dumper and never fails the read. */
int appendBufferToRawDataFile(c_Digitizer_t* d) {
    c_bddumpbuffer(d);
    return 0;
}

/* One data record of the replayed file; its end signals the end of the run. */
int readFileRecord(c_Digitizer_t* d) {
    int code = c_bdreadrecord(&d->reader, &d->roBuffer, d->descriptor.FamilyCode);
    return code == BD_END_OF_FILE ? GENERIC_SignalEndOfRun(d) : code;
}

/* The words that one block read may ask for: what is left of the buffer. */
uint32_t blockWords(const c_ReadoutBuffer_t* buffer, uint32_t bytes) {
    uint32_t words = (buffer->ROAllocSize - bytes) / 4;
    return words < kMaxBlockWords ? words : kMaxBlockWords;
}

/* ------------------------------------------------------------ walkers */

/*
 * Walks the board aggregates of the buffer. Every size is checked against
 * the words read before it is used: a board aggregate must hold its header
 * and fit the buffer, a channel aggregate must hold at least its size word
 * and fit its board aggregate, so a corrupted size can neither read past the
 * buffer nor stall the walk. decodeUnit(k, aggregate) decodes the unit of
 * mask bit k. With deviceRules (the register-level device) an aggregate of
 * mask 0 is skipped and the mask scan ends when the aggregate is used up.
 */
template <typename DecodeUnit>
int walkBoardAggregates(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer, uint32_t sizeMask, uint32_t units,
                        bool deviceRules, DecodeUnit&& decodeUnit) {
    uint32_t bytes = buffer->ROBytes < buffer->ROAllocSize ? buffer->ROBytes : buffer->ROAllocSize;
    const uint32_t words = bytes / 4;
    if (words == 0)
        return 0;
    if (buffer->ROBuf == NULL) {
        ALOG(d, C_LOG_ERROR, "Readout buffer holds %u bytes but has no memory.", bytes);
        return DPPL_ERR_NULL_ARGUMENT;
    }
    uint32_t* data = (uint32_t*)buffer->ROBuf;
    if (units > kMaskBits)
        units = kMaskBits;
    uint32_t position = 0;
    /* A buffer of 4 words or fewer holds nothing, and neither does the tail
     * of 4 words or fewer after the last aggregate. */
    while (position + 4 < words) {
        uint32_t size = data[position] & kBoardAggregateSizeMask;
        uint32_t mask = data[position + 1] & 0xFFu;
        if (deviceRules && mask == 0) {
            position += 4;
            continue;
        }
        if (size < 4 || size > words - position) {
            ALOG(d, C_LOG_ERROR, "Board aggregate of %u words at word %u does not fit the %u words read.", size,
                 position, words);
            ALOG(d, C_LOG_ERROR, "End of Aggregate not met.");
            return DPPL_ERR_INVALID_EVENT;
        }
        const uint32_t end = position + size;
        position += 4;
        for (uint32_t k = 0; k < units; ++k) {
            if ((mask & (1u << k)) == 0)
                continue;
            if (deviceRules && position == end)
                break;
            uint32_t unitSize = position < end ? data[position] & sizeMask : 0;
            if (unitSize == 0 || unitSize > end - position) {
                ALOG(d, C_LOG_ERROR, "Aggregate of unit %u (%u words) at word %u does not fit its board aggregate.",
                     (unsigned)k, unitSize, position);
                ALOG(d, C_LOG_ERROR, "End of Aggregate not met.");
                return DPPL_ERR_INVALID_EVENT;
            }
            int code = decodeUnit(k, &data[position]);
            if (code != 0) {
                ALOG(d, C_LOG_ERROR, "can't decode aggregate [ERR %i]", code);
                return code;
            }
            position += unitSize;
        }
        if (position != end) {
            ALOG(d, C_LOG_ERROR, "End of Aggregate not met.");
            return DPPL_ERR_INVALID_EVENT;
        }
    }
    return 0;
}

int noDecoder(c_Digitizer_t* d) {
    ALOG(d, C_LOG_ERROR, "No decoder for DPP code %d.", (int)d->descriptor.DPPCode);
    return DPPL_ERR_INVALID_DPP_CODE;
}

/* A decoder that reports more events than it was given room for. */
int decoderOverflow(c_Digitizer_t* d, uint32_t ch, int64_t decoded, uint32_t freeSlots) {
    ALOG(d, C_LOG_ERROR, "[%u] Decoder reported %lld events for %u free slots.", (unsigned)ch, (long long)decoded,
         freeSlots);
    return DPPL_ERR_EVENT_BUFFER_OVERFLOW;
}

void storeCounts(c_Digitizer_t* d, const uint32_t* counts, uint32_t channels) {
    for (uint32_t ch = 0; ch < channels; ++ch)
        d->channels[ch].nEvents = counts[ch];
}

c_DPPEvent_t* firstFree(c_ChannelRecord_t* channel, uint32_t count) {
    return channel->events != NULL ? channel->events + count : NULL;
}

uint32_t freeSlots(const c_ChannelRecord_t* channel, uint32_t count) {
    return channel->capacity > count ? channel->capacity - count : 0;
}

/* ---------------------------------------------------------- software CFD */

int16_t clampSample(double value) {
    if (!(value > -32768.0))
        return value != value ? 0 : -32768;
    if (value > 32767.0)
        return 32767;
    return (int16_t)value;
}

} // namespace

/* ------------------------------------------------ acquisition statuses */

bool _isChannelEnabledForStatus(c_Digitizer_t* d, int32_t channel) {
    c_Parameter_t* enable = c_pfindc(d, channel, DPPL_PARAM_CH_ENABLED);
    return enable != NULL && enable->value == 1.0;
}

void _setAcqStatus(c_Digitizer_t* d, int32_t status) {
    if (d == NULL)
        return;
    d->acqStatus = status;
    for (uint32_t ch = 0; ch < acqChannels(d); ++ch)
        d->channels[ch].acqStatus = _isChannelEnabledForStatus(d, (int32_t)ch) ? status : ACQSTATUS_STOPPED;
}

int32_t _foldAcqStatus(c_Digitizer_t* d, int32_t a, int32_t b) {
    int pa = statusPriority(a), pb = statusPriority(b);
    if (pa < 0 && pb < 0) {
        ALOG(d, C_LOG_WARNING, "Cannot determine priority of acquisition statuses %d and %d. Will return lesser %d.",
             (int)a, (int)b, (int)ACQSTATUS_UNDETERMINED);
        return ACQSTATUS_UNDETERMINED;
    }
    return pa >= pb ? a : b;
}

void _setChannelAcqStatus(c_Digitizer_t* d, int32_t channel, int32_t status) {
    if (d == NULL || channel < 0 || (uint32_t)channel >= acqChannels(d))
        return;
    d->channels[channel].acqStatus = _isChannelEnabledForStatus(d, channel) ? status : ACQSTATUS_STOPPED;
    int32_t folded = status;
    for (uint32_t ch = 0; ch < acqChannels(d); ++ch) {
        folded = _foldAcqStatus(d, folded, d->channels[ch].acqStatus);
        d->acqStatus = folded;
    }
}

void _clearChannelTimeState(c_Digitizer_t* d, int32_t channel) {
    c_ChannelRecord_t* rec = &d->channels[channel];
    rec->lastRawTimeTag = rec->rollOver1 = rec->lastExtTimeTag = rec->rollOver2 = 0;
    rec->endOfRun = 0;
}

int _resetAcquisition(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int result = d->acqStatus == ACQSTATUS_RUNNING ? c_bstopa(d) : 0;
    d->idleFlush = 1;
    d->lastDataTime = c_get_time();
    d->lastTimeStamp = 0;
    d->bytesTotal = 0;
    d->linkFlag = 0;
    d->irqWait = 0;
    _setAcqStatus(d, ACQSTATUS_STOPPED);
    return result;
}

/* --------------------------------------------------------- start, stop */

int _startBoardAcquisition(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (d->replay)
        return 0;
    if (d->acqStatus == ACQSTATUS_RUNNING) {
        ALOG(d, C_LOG_WARNING, "Digitizer acquisition already running");
        return 0;
    }
    int code = c_bdclear(d);
    if (code != 0) {
        ALOG(d, C_LOG_ERROR, "Error in c_bdclear: %i", code);
        if (code < 0)
            logFromFunction("_startBoardAcquisition", code);
        return code;
    }
    if (GENERIC_CheckAutoShutdown(d) != 0 || GENERIC_CheckPLLLock(d) != 0) {
        ALOG(d, C_LOG_INFO, "Digitizer found in failure status before start acquisition. Restoring it.");
        code = GENERIC_RestoreStatus(d);
        if (code != 0) {
            ALOG(d, C_LOG_ERROR, "Cannot clear status errors. ERR: %i", code);
            if (code < 0)
                logFromFunction("_startBoardAcquisition", code);
            return code;
        }
    }
    if (acqIsMorvane(d)) {
        if ((code = MORVANE_BoardStart(d)) != 0)
            logFromFunction("_startBoardAcquisition", code);
        return code;
    }
    int outside = ZARN_DGTZ_SWStartAcquisition(d->handle);
    if (outside != 0) {
        ALOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_SWStartAcquisition: %i", outside);
        logFromFunction("_startBoardAcquisition", DPPL_ERR_DIGITIZER_API);
        return DPPL_ERR_DIGITIZER_API;
    }
    return 0;
}

int _stopBoardAcquisition(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int result = 0;
    if (d->replay) {
        /* A replay has no board to stop. Its channels' run flags are pinned to
         * the recorded values (any other value is refused) and its decoders
         * ignore them, so they are left alone, as the start leaves them. */
        result = 0;
    } else if (d->acqStatus == ACQSTATUS_STOPPED || d->acqStatus == ACQSTATUS_PAUSED) {
        ALOG(d, C_LOG_WARNING, "Digitizer acquisition already stopped");
        return 0;
    } else if (acqIsMorvane(d)) {
        result = MORVANE_BoardStop(d);
    } else if (d->kind == DGTZ_KIND_GEN2_REPLAY) {
        ALOG(d, C_LOG_ERROR, "Error stopping acquisition: %i", DPPL_ERR_NOT_SUPPORTED);
        result = DPPL_ERR_DIGITIZER_API;
    } else {
        int outside = ZARN_DGTZ_SWStopAcquisition(d->handle);
        if (outside != 0) {
            ALOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_SWStopAcquisition: %i", outside);
            ALOG(d, C_LOG_ERROR, "Error stopping acquisition: %i", DPPL_ERR_DIGITIZER_API);
            result = DPPL_ERR_DIGITIZER_API;
        } else {
            result = setEveryRunParameter(d, 0.0);
        }
    }
    if (result < 0)
        logFromFunction("_stopBoardAcquisition", result);
    return result;
}

int _stopSingleChannel(c_Digitizer_t* d, int32_t channel) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (d->replay)
        return 0; /* no board, and run parameters pinned to their recorded values */
    c_Parameter_t* run = c_pfindc(d, channel, DPPL_PARAM_CH_ACQ_RUN);
    if (run == NULL) {
        ALOG(d, C_LOG_ERROR, "Single channel pause/stop not supported.");
        return DPPL_ERR_NOT_SUPPORTED;
    }
    for (uint32_t other = 0; other < acqChannels(d); ++other) {
        if ((int32_t)other == channel)
            continue;
        double enabled = 0.0, running = 0.0;
        int code = readStopParameter(d, other, DPPL_PARAM_CH_ENABLED, "DPPL_PARAM_CH_ENABLED", &enabled);
        if (code != 0)
            return code;
        if (enabled != 1.0)
            continue;
        code = readStopParameter(d, other, DPPL_PARAM_CH_ACQ_RUN, "DPPL_PARAM_CH_ACQ_RUN", &running);
        if (code != 0)
            return code;
        if (running == 1.0) /* another channel goes on: only this one's run bit */
            return GENERIC_SetParam(d, run, 0.0, kAcqSetFlags);
    }
    return _stopBoardAcquisition(d);
}

int _rewindReplay(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (c_bdrewind(&d->reader) != 0) {
        ALOG(d, C_LOG_ERROR, "Can't move the replayed file back to its first data record.");
        return DPPL_ERR_READ_DATA;
    }
    return 0;
}

/* ------------------------------------------------------------ read path */

int GENERIC_ReadData(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    d->roBuffer.ROBytes = 0; /* nothing read yet: never report an earlier read's bytes */
    int code;
    if (d->replay)
        code = GENERIC_ReadData_File(d);
    else if (acqIsMorvane(d))
        code = XMOR_DGTZ_ReadData(d);
    else if (d->kind == DGTZ_KIND_GEN2_REPLAY)
        code = DPPL_ERR_NOT_SUPPORTED;
    else
        code = GENERIC_ReadData_Board(d);
    if (code == 0)
        appendBufferToRawDataFile(d);
    return code;
}

int GENERIC_ReadFlushedData(c_Digitizer_t* d, int handle) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    uint32_t bytes = 0;
    int outside = ZARN_DGTZ_ReadData(handle, 0, d->roBuffer.ROBuf, &bytes);
    if (outside != 0) {
        ALOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_ReadData: %d", outside);
        return DPPL_ERR_DIGITIZER_API;
    }
    if (bytes > d->roBuffer.ROAllocSize) {
        ALOG(d, C_LOG_ERROR, "ZARN_DGTZ_ReadData reported %u bytes for a buffer of %u.", bytes, d->roBuffer.ROAllocSize);
        return DPPL_ERR_READ_DATA;
    }
    d->roBuffer.ROBytes = bytes;
    /* Recorded like every other buffer: a replay must see all the board gave. */
    appendBufferToRawDataFile(d);
    return 0;
}

int GENERIC_ReadData_Board(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_ReadoutBuffer_t* buffer = &d->roBuffer;
    if (buffer->ROBuf == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    const int32_t link = d->descriptor.CommHandle;
    int result = 0;
    bool noData = false;
    if (d->irqWait) {
        int code = ZarnComm_IRQWait(link, kIrqWaitMs);
        if (code != 0 && code != ZARN_COMM_Timeout) {
            ALOG(d, C_LOG_ERROR, "Error (%i) in ZarnComm_IRQWait(...)", code);
            result = DPPL_ERR_READ_DATA;
        }
        noData = code != 0; /* no interrupt: no data */
    }
    uint32_t bytes = 0;
    while (!noData) {
        uint32_t words = blockWords(buffer, bytes);
        if (words == 0) {
            /* The buffer is full of whole aggregates: keep them; what the
             * board still holds comes with the next read. */
            ALOG(d, C_LOG_DETAIL, "Readout buffer filled (%u B); the rest stays for the next read.",
                 buffer->ROAllocSize);
            break;
        }
        uint32_t got = 0;
        int code = ZarnComm_MBLTRead(link, 0, buffer->ROBuf + bytes, words, &got);
        if (got > words) {
            ALOG(d, C_LOG_ERROR, "ZarnComm_MBLTRead(...) reported %u words for a read of %u.", got, words);
            got = words;
        }
        bytes += got * 4;
        if (code == ZARN_COMM_NoMoreData)
            break;
        if (code != 0) {
            ALOG(d, C_LOG_ERROR, "Error (%i) in ZarnComm_MBLTRead(...). handle=%i", code, (int)d->handle);
            result = DPPL_ERR_READ_DATA;
            break;
        }
        if (got == 0) /* a read that brings nothing ends the transfer like -13 */
            break;
    }
    buffer->ROBytes = bytes;
    if (bytes > 0)
        return result;
    if (d->kind == DGTZ_KIND_GEN2_REPLAY)
        return DPPL_ERR_NOT_SUPPORTED;
    int check = GENERIC_CheckAutoShutdown(d);
    if (check == 0)
        check = GENERIC_CheckPLLLock(d);
    return result != 0 ? result : check;
}

int GENERIC_ReadData_File(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int code = readFileRecord(d);
    if (code != 0) {
        d->roBuffer.ROBytes = 0;
        ALOG(d, C_LOG_ERROR, "GENERIC_ReadData_File exits with error %i", code);
    }
    return code;
}

int GENERIC_SignalEndOfRun(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    for (uint32_t ch = 0; ch < acqChannels(d); ++ch) {
        c_Parameter_t* enable = _pretrieve(d->channels[ch].coll, DPPL_PARAM_CH_ENABLED);
        if (enable == NULL) {
            ALOG(d, C_LOG_ERROR, "Can't get Channel Enable parameter.");
            return DPPL_ERR_NULL_ARGUMENT;
        }
        if (enable->value != 0.0 && d->channels[ch].endOfRun == 0)
            d->channels[ch].endOfRun = 1;
    }
    return 0;
}

void GENERIC_ClearEventWaveforms(c_DPPEvent_t* event) {
    if (event == NULL || event->waveform == NULL)
        return;
    c_Waveform_t* w = event->waveform;
    static const int kSlots[] = {0, 1, 3, 4, 5, 6, 7};
    uint32_t largest = 0;
    for (int slot : kSlots) {
        c_Trace_t* t = &w->traces[slot];
        if (t->samples == NULL)
            continue;
        memset(t->samples, 0, (size_t)t->capacity * (slot < DPPL_ANALOG_TRACES ? sizeof(int16_t) : sizeof(uint8_t)));
        if (t->capacity > largest)
            largest = t->capacity;
    }
    w->nSamples = largest;
}

void GENERIC_MarkEndOfRun(c_Digitizer_t* d) {
    if (d == NULL)
        return;
    for (uint32_t ch = 0; ch < acqChannels(d); ++ch) {
        c_ChannelRecord_t* rec = &d->channels[ch];
        if (rec->endOfRun != 1)
            continue;
        if (rec->events != NULL && rec->nEvents > 0 && rec->nEvents <= rec->capacity) {
            rec->events[rec->nEvents - 1].flags |= EVTFLAG_END_OF_RUN;
        } else if (rec->events != NULL && rec->capacity > 0) {
            c_DPPEvent_t* e = &rec->events[0];
            c_Waveform_t* waveform = e->waveform;
            *e = c_DPPEvent_t{};
            e->waveform = waveform;
            e->flags = EVTFLAG_END_OF_RUN | EVTFLAG_PSEUDO;
            e->timeStamp = d->maxTimeStamp + 1;
            GENERIC_ClearEventWaveforms(e);
            rec->nEvents = 1;
        } else {
            ALOG(d, C_LOG_WARNING, "[%u] No event buffer to carry the end-of-run mark.", (unsigned)ch);
        }
        rec->endOfRun = 2;
    }
}

/* ------------------------------------------------------------ walkers */

int GENERIC_GetEvents_Channel(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer) {
    if (d == NULL || buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    const ZarnFirmware_t* firmware = ZarnFirmware_Find(d->descriptor.DPPCode);
    GENERIC_ChannelDecoder_t decode = firmware != NULL ? firmware->channelDecoder : NULL;
    if (decode == NULL)
        return noDecoder(d);
    GENERIC_InvalidateReadCache(d);
    const uint32_t channels = acqChannels(d);
    uint32_t counts[DPPL_MAX_CHANNELS] = {0};
    int code = walkBoardAggregates(d, buffer, firmware->sizeMask, channels, false, [&](uint32_t ch, uint32_t* aggregate) {
        c_ChannelRecord_t* rec = &d->channels[ch];
        uint32_t room = freeSlots(rec, counts[ch]);
        int32_t decoded = 0;
        int r = decode(d, ch, aggregate, room, firstFree(rec, counts[ch]), &decoded);
        if (r != 0)
            return r;
        if (decoded < 0 || (uint32_t)decoded > room)
            return decoderOverflow(d, ch, decoded, room);
        counts[ch] += (uint32_t)decoded;
        return 0;
    });
    if (code == 0)
        storeCounts(d, counts, channels);
    return code;
}

int GENERIC_GetEvents_Couple(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer) {
    if (d == NULL || buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    const ZarnFirmware_t* firmware = ZarnFirmware_Find(d->descriptor.DPPCode);
    GENERIC_CoupleDecoder_t decode = firmware != NULL ? firmware->coupleDecoder : NULL;
    if (decode == NULL)
        return noDecoder(d);
    GENERIC_InvalidateReadCache(d);
    const uint32_t channels = acqChannels(d);
    uint32_t counts[DPPL_MAX_CHANNELS] = {0};
    int code = walkBoardAggregates(d, buffer, firmware->sizeMask, channels / 2, false, [&](uint32_t k, uint32_t* aggregate) {
        uint32_t even = 2 * k, odd = 2 * k + 1;
        c_ChannelRecord_t* e = &d->channels[even];
        c_ChannelRecord_t* o = &d->channels[odd];
        uint32_t evenRoom = freeSlots(e, counts[even]), oddRoom = freeSlots(o, counts[odd]);
        int32_t evenDecoded = 0, oddDecoded = 0;
        int r = decode(d, aggregate, even, evenRoom, firstFree(e, counts[even]), &evenDecoded, odd, oddRoom,
                       firstFree(o, counts[odd]), &oddDecoded);
        if (r != 0)
            return r;
        if (evenDecoded < 0 || (uint32_t)evenDecoded > evenRoom)
            return decoderOverflow(d, even, evenDecoded, evenRoom);
        if (oddDecoded < 0 || (uint32_t)oddDecoded > oddRoom)
            return decoderOverflow(d, odd, oddDecoded, oddRoom);
        counts[even] += (uint32_t)evenDecoded;
        counts[odd] += (uint32_t)oddDecoded;
        return 0;
    });
    if (code == 0)
        storeCounts(d, counts, channels);
    return code;
}

int GENERIC_GetEvents_Group(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer) {
    if (d == NULL || buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    const ZarnFirmware_t* firmware = ZarnFirmware_Find(d->descriptor.DPPCode);
    GENERIC_GroupDecoder_t decode = firmware != NULL ? firmware->groupDecoder : NULL;
    if (decode == NULL)
        return noDecoder(d);
    GENERIC_InvalidateReadCache(d);
    const uint32_t channels = acqChannels(d);
    uint32_t counts[DPPL_MAX_CHANNELS] = {0};
    int code = walkBoardAggregates(d, buffer, firmware->sizeMask, acqGroups(d), false, [&](uint32_t g, uint32_t* aggregate) {
        uint32_t numbers[DPPL_CHANNELS_PER_GROUP], room[DPPL_CHANNELS_PER_GROUP], decoded[DPPL_CHANNELS_PER_GROUP];
        c_DPPEvent_t* first[DPPL_CHANNELS_PER_GROUP];
        for (uint32_t j = 0; j < DPPL_CHANNELS_PER_GROUP; ++j) {
            uint32_t ch = g * DPPL_CHANNELS_PER_GROUP + j;
            numbers[j] = ch;
            room[j] = ch < channels ? freeSlots(&d->channels[ch], counts[ch]) : 0;
            first[j] = ch < channels ? firstFree(&d->channels[ch], counts[ch]) : NULL;
            decoded[j] = 0;
        }
        int r = decode(d, aggregate, numbers, room, first, decoded);
        if (r != 0)
            return r;
        for (uint32_t j = 0; j < DPPL_CHANNELS_PER_GROUP; ++j) {
            if (decoded[j] > room[j])
                return decoderOverflow(d, numbers[j], decoded[j], room[j]);
            counts[numbers[j]] += decoded[j];
        }
        return 0;
    });
    if (code == 0)
        storeCounts(d, counts, channels);
    return code;
}

int GENERIC_GetEvents_XMOR(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer) {
    if (d == NULL || buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    GENERIC_InvalidateReadCache(d);
    uint32_t units = d->descriptor.Channels < kMaskBits ? d->descriptor.Channels : kMaskBits;
    uint32_t counts[DPPL_MAX_CHANNELS] = {0};
    int code = walkBoardAggregates(d, buffer, 0x1FFFFF, units, true, [&](uint32_t, uint32_t* aggregate) {
        int r = MORVANE_DecodeChannelAggregate(d, aggregate, counts);
        if (r != 0)
            return r;
        for (uint32_t ch = 0; ch < DPPL_MAX_CHANNELS; ++ch)
            if (counts[ch] > d->channels[ch].capacity)
                return decoderOverflow(d, ch, counts[ch], d->channels[ch].capacity);
        return 0;
    });
    if (code == 0)
        storeCounts(d, counts, units);
    return code;
}

int GENERIC_GetEvents(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    const ZarnFirmware_t* firmware = ZarnFirmware_Find(d->descriptor.DPPCode);
    if (firmware == NULL)
        return noDecoder(d);
    switch (firmware->walker) {
    case ZARN_WALKER_SCOPE: return SCOPE_GetEvents(d, buffer);
    case ZARN_WALKER_CHANNEL: return GENERIC_GetEvents_Channel(d, buffer);
    case ZARN_WALKER_COUPLE: return GENERIC_GetEvents_Couple(d, buffer);
    case ZARN_WALKER_GROUP: return GENERIC_GetEvents_Group(d, buffer);
    case ZARN_WALKER_XMOR: return GENERIC_GetEvents_XMOR(d, buffer);
    }
    return noDecoder(d);
}

/* ---------------------------------------------- per-read parameter cache */

void GENERIC_InvalidateReadCache(c_Digitizer_t* d) {
    if (d == NULL)
        return;
    if (++d->readSerial == 0) /* 0 is the serial of a cache never filled */
        d->readSerial = 1;
}

void GENERIC_FillReadCache(c_Digitizer_t* d, uint32_t channel, uint32_t parts) {
    if (d == NULL || channel >= DPPL_MAX_CHANNELS)
        return;
    c_ReadCache_t* cache = &d->channels[channel].readCache;
    if (cache->serial != d->readSerial) {
        cache->serial = d->readSerial;
        cache->filled = 0;
    }
    uint32_t missing = parts & ~cache->filled;
    if (missing & READCACHE_BASE)
        fillBaseCache(d, channel, cache);
    if (missing & READCACHE_GAIN)
        fillGainCache(d, channel, cache);
    if (missing & READCACHE_CFD)
        cache->cfdStatus = GENERIC_GetSoftwareCFDSettings(d, channel, &cache->cfd);
    cache->filled |= missing;
}

GENERIC_TimeBase_t GENERIC_GetTimeBase(const c_Digitizer_t* d, uint32_t extensionBits) {
    GENERIC_TimeBase_t base;
    uint32_t tagBits = d->descriptor.TimeTagBits;
    base.tagBits = tagBits < 63 ? tagBits : 63;
    uint32_t ext = base.tagBits + (extensionBits < 63 ? extensionBits : 63);
    base.extBits = ext < 63 ? ext : 63;
    double ps = d->descriptor.SamplePeriod * 1000.0;
    base.psPerTick = ps >= 1.0 && ps < 1.8e19 ? (uint64_t)ps : 0;
    return base;
}

/* ---------------------------------------------------------- software CFD */

int64_t GENERIC_CalcSoftwareCFDTime(c_Digitizer_t* d, uint32_t channel, uint32_t delay, double fraction,
                                    uint32_t smoothExp, const int16_t* input, int16_t* output, uint32_t samples,
                                    uint32_t preTrigger, uint32_t preGate, int invert) {
    if (d == NULL || channel >= DPPL_MAX_CHANNELS || input == NULL || output == NULL || samples == 0)
        return -1;
    c_ChannelRecord_t* rec = &d->channels[channel];
    double* cfd = rec->cfdWork;
    if (cfd == NULL || rec->cfdCapacity < samples)
        return -1;
    const uint32_t n = samples;

    /* 1. Moving average of 2^smoothExp samples (fewer at the start). */
    uint32_t shift = smoothExp < 31 ? smoothExp : 31;
    uint64_t window = 1ull << shift;
    int64_t sum = 0;
    for (uint32_t i = 0; i < n; ++i) {
        sum += input[i];
        if (i < window) {
            output[i] = (int16_t)(sum / (int64_t)(i + 1));
        } else {
            sum -= input[i - window];
            output[i] = (int16_t)(sum >> shift);
        }
    }

    /* 2. The CFD signal f x s(i) - s(i - D), on the inverted signal for
     * negative pulses. */
    uint32_t adcBits = d->descriptor.ADCBits < 16 ? d->descriptor.ADCBits : 16;
    const int32_t fullScale = (int32_t)((1u << adcBits) - 1);
    auto shaped = [&](uint32_t i) -> double {
        return invert ? (double)(int16_t)(fullScale - output[i]) : (double)output[i];
    };
    for (uint32_t i = 0; i < n; ++i)
        cfd[i] = fma(fraction, shaped(i), -shaped(i >= delay ? i - delay : 0));

    /* 3. Baseline over 90 % of the samples before the gate. */
    uint32_t window90 = preTrigger > preGate ? (uint32_t)(0.9 * (double)(preTrigger - preGate)) : 0;
    if (window90 > n)
        window90 = n;
    double baseline = 0.0;
    for (uint32_t i = 0; i < window90; ++i)
        baseline += cfd[i];
    if (window90 > 0)
        baseline /= window90;

    /* 4. The output trace shows the CFD signal about its baseline. */
    for (uint32_t i = 0; i < n; ++i)
        output[i] = clampSample(trunc(cfd[i] - baseline));
    if (window90 == 0)
        return -1; /* no baseline: no crossing */

    /* 5. First upward crossing of the baseline from the pre-trigger on; the
     * fit needs two samples before and one after it. */
    uint32_t crossing = 0;
    bool found = false;
    for (uint32_t i = preTrigger > 2 ? preTrigger : 2; i + 1 < n; ++i) {
        if (cfd[i - 1] < baseline && baseline < cfd[i]) {
            crossing = i;
            found = true;
            break;
        }
    }
    if (!found)
        return -1;

    /* 6. Cubic through the four samples around it (x = 0..3). */
    double y0 = cfd[crossing - 2] - baseline, y1 = cfd[crossing - 1] - baseline;
    double y2 = cfd[crossing] - baseline, y3 = cfd[crossing + 1] - baseline;
    double a3 = (y3 - y0 - 3.0 * (y2 - y1)) / 6.0;
    double a2 = (y2 + y0 - 2.0 * y1 - 6.0 * a3) / 2.0;
    double a1 = y1 - y0 - a3 - a2;
    auto cubic = [&](double x) { return ((a3 * x + a2) * x + a1) * x + y0; };

    /* 7. Its root in [1, 2] by regula falsi, at most 4 steps. */
    double lo = 1.0, hi = 2.0, pLo = cubic(lo), pHi = cubic(hi), x = lo;
    for (int step = 0; step < 4; ++step) {
        if (pHi - pLo == 0.0) {
            x = lo;
            break;
        }
        x = (pHi * lo - pLo * hi) / (pHi - pLo);
        double p = cubic(x);
        if (p == 0.0)
            break;
        if (p < 0.0) {
            lo = x;
            pLo = p;
        } else {
            hi = x;
            pHi = p;
        }
    }

    /* 8. From sample preTrigger - 1, in ps. */
    double ps = (x - 1.0 + (double)crossing - (double)preTrigger) * d->descriptor.SamplePeriod * 1000.0;
    if (!(ps >= 0.0) || !(ps < 9.2e18))
        return -1;
    return (int64_t)ps;
}

int GENERIC_GetSoftwareCFDSettings(c_Digitizer_t* d, uint32_t channel, c_CFDSettings_t* settings) {
    if (d == NULL || settings == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int32_t ch = (int32_t)channel;
    c_Parameter_t* preTrigger = c_pfindc(d, ch, DPPL_PARAM_CH_PRETRG);
    c_Parameter_t* preGate = c_pfindc(d, ch, DPPL_PARAM_CH_GATEPRE);
    c_Parameter_t* polarity = c_pfindc(d, ch, DPPL_PARAM_CH_POLARITY);
    if (preTrigger == NULL || preGate == NULL || polarity == NULL) {
        ALOG(d, C_LOG_ERROR, "[%u] Can't find preTrigger, preGate or polarity parameter.", (unsigned)channel);
        return DPPL_ERR_PARAMETER;
    }
    c_Parameter_t* delay = c_pfindc(d, ch, DPPL_PARAM_CH_CFD_DELAY);
    c_Parameter_t* fraction = c_pfindc(d, ch, DPPL_PARAM_CH_CFD_FRACTION);
    c_Parameter_t* smoothing = c_pfindc(d, ch, DPPL_PARAM_CH_CFD_SMOOTHEXP);
    if (delay == NULL || fraction == NULL || smoothing == NULL) {
        ALOG(d, C_LOG_ERROR, "[%u] Can't find CFD delay, fraction or smoothing parameter.", (unsigned)channel);
        return DPPL_ERR_PARAMETER;
    }
    if (d->kind == DGTZ_KIND_GEN2_REPLAY)
        return DPPL_ERR_NOT_SUPPORTED;
    struct Read {
        c_Parameter_t* param;
        const char* what;
        double value;
    } reads[] = {{preTrigger, "PreTrigger", 0}, {preGate, "PreGate", 0},         {polarity, "Polarity", 0},
                 {delay, "CFD Delay", 0},       {fraction, "CFD Fraction", 0}, {smoothing, "CFD Smoothing exp.", 0}};
    for (Read& r : reads) {
        int code = c_pget(d, r.param, &r.value);
        if (code != 0) {
            ALOG(d, C_LOG_ERROR, "[%u] Can't get %s from board (%i).", (unsigned)channel, r.what, code);
            return code;
        }
    }
    double period = d->descriptor.SamplePeriod;
    settings->preTrigger = samplesFromNs(reads[0].value, period);
    settings->preGate = samplesFromNs(reads[1].value, period);
    settings->polarity = isfinite(reads[2].value) && fabs(reads[2].value) < 2e9 ? (int32_t)reads[2].value : 0;
    settings->delay = samplesFromNs(reads[3].value, period);
    settings->fraction = reads[4].value;
    settings->smoothExp = samplesFromNs(reads[5].value, 1.0);
    return 0;
}

bool GENERIC_ApplySoftwareCFD(c_Digitizer_t* d, uint32_t channel, const c_CFDSettings_t* settings,
                              c_DPPEvent_t* event, int64_t* fineTimePs) {
    *fineTimePs = -1;
    c_ChannelRecord_t* rec = &d->channels[channel];
    if (!rec->fineTimeEnabled || settings->preTrigger <= 2 || event->waveform == NULL)
        return false;
    c_Waveform_t* w = event->waveform;
    uint32_t n = w->nSamples;
    c_Trace_t* in = &w->traces[0];
    c_Trace_t* out = &w->traces[1];
    if (in->samples == NULL || out->samples == NULL || in->capacity < n || out->capacity < n)
        return false;
    *fineTimePs = GENERIC_CalcSoftwareCFDTime(d, channel, settings->delay, settings->fraction, settings->smoothExp,
                                              (const int16_t*)in->samples, (int16_t*)out->samples, n,
                                              settings->preTrigger, settings->preGate, settings->polarity == 0);
    if (*fineTimePs < 0)
        ALOG(d, C_LOG_WARNING, "[%u] can't calculate fine TT for this event.", (unsigned)channel);
    return true;
}
