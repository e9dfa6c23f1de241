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

#include <math.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "ZarnBoard_Orlu.h"
#include "ZarnBoard_Pemb.h"
#include "ZarnComm.h"
#include "ZarnDPPLayer.h"
#include "ZarnDigitizer.h"
#include "ZarnParameters.h"

static const c_LogModule_t ZarnBoard_GENERIC_log = {"ZarnBoard_GENERICLog.txt", "ZarnBoard_GENERIC"};

/* A message without the board prefix, and one with it. */
#define PLOG(level, ...) c_lprintf(&ZarnBoard_GENERIC_log, (level), __LINE__, __VA_ARGS__)
#define BLOG(digitizer, level, ...) c_extendedLogMsg(&ZarnBoard_GENERIC_log, (digitizer), (level), __LINE__, __VA_ARGS__)

/*
 * Drivers of other firmware families and services of modules that are built
 * on their own. They are referenced weakly: while a module is not part of the
 * library its entry stays NULL, and the open answers as for an unsupported
 * family (or, for the reset, falls back to the board-access reset).
 */
extern "C" {
int SCOPE_InitBoard(c_Digitizer_t* digitizer) __attribute__((weak));
int VESK_InitBoard(c_Digitizer_t* digitizer) __attribute__((weak));
int VESK_InitDPPPSD(c_Digitizer_t* digitizer) __attribute__((weak));
int TILK_InitBoard(c_Digitizer_t* digitizer) __attribute__((weak));
int DRAQ_InitBoard(c_Digitizer_t* digitizer) __attribute__((weak));
int TILK_CheckPLLLock(c_Digitizer_t* digitizer) __attribute__((weak));
int DRAQ_CheckPLLLock(c_Digitizer_t* digitizer) __attribute__((weak));
int c_breset(c_Digitizer_t* digitizer) __attribute__((weak));
}

static_assert(sizeof(ZARN_DGTZ_BoardInfo_t) == DPPL_BOARD_INFO_SIZE, "board information is the descriptor's head");
static_assert(offsetof(c_BoardDescriptor_t, DPPCode) == DPPL_BOARD_INFO_SIZE, "descriptor head is the board information");

namespace {

typedef int (*FamilyFcn)(c_Digitizer_t*);

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
bool isScope(const c_Digitizer_t* d) { return d->descriptor.DPPCode == 0 || d->descriptor.DPPCode == 1; }
bool isFamily(const c_Digitizer_t* d, uint32_t a, uint32_t b = kNoFamilyCheck, uint32_t c = kNoFamilyCheck) {
    uint32_t f = d->descriptor.FamilyCode;
    return f == a || f == b || f == c;
}

/* Pemb boards: DPP-PSD, DPP-PHA, or standard waveform firmware on their families. */
bool isPembBoard(const c_Digitizer_t* d) {
    int32_t code = d->descriptor.DPPCode;
    return code == 136 || code == 139 || (isScope(d) && isFamily(d, 11, 14));
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
 * voltage, coarse DC offsets). Its layer is not part of this build, so the
 * open answers as for an unsupported board type. */
int openRegisterLevelDevice(c_Digitizer_t* d) {
    memset(&d->connParams, 0, sizeof d->connParams);
    d->handle = -1;
    return ZARN_DGTZ_BadBoardType;
}

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
    int code;
    if (c_breset != NULL) {
        code = c_breset(d);
    } else if (d->kind == DGTZ_KIND_GEN2_REPLAY) {
        code = DPPL_ERR_NOT_SUPPORTED;
    } else {
        int r = ZARN_DGTZ_Reset(d->handle);
        code = r == 0 ? 0 : DPPL_ERR_DIGITIZER_API;
        if (r != 0)
            BLOG(d, C_LOG_ERROR, "error %i in ZARN_DGTZ_Reset()", r);
    }
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
    if (!isMorvane(d) && d->handle >= 0)
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

/* A family whose driver is not part of the library. */
int unsupportedFamily(c_Digitizer_t* d) {
    BLOG(d, C_LOG_ERROR, "No driver for DPP code %d on family %u.", (int)d->descriptor.DPPCode,
         (unsigned)d->descriptor.FamilyCode);
    return DPPL_ERR_INVALID_FAMILY;
}

int callFamily(c_Digitizer_t* d, FamilyFcn fcn) { return fcn != NULL ? fcn(d) : unsupportedFamily(d); }

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
    return callFamily(d, SCOPE_InitBoard); /* also loads the parameters */
}

int setupOrluPHA(c_Digitizer_t* d) {
    setTypeName(d, "DPP-PHA");
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
    setTypeName(d, "DPP-CI");
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
    code = callFamily(d, VESK_InitBoard);
    return code == 0 ? loadParameters(d) : code;
}

int setupPemb(c_Digitizer_t* d, const char* typeName, bool writeBoardConfig) {
    setTypeName(d, typeName);
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
    setTypeName(d, "DPP-PHA");
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

/* The DPP-code dispatch: descriptor fields, family init, parameters. */
int dispatchFirmware(c_Digitizer_t* d) {
    switch (d->descriptor.DPPCode) {
    case 0:
    case 1:
        return setupScope(d);
    case 128:
        return setupOrluPHA(d);
    case 130:
        return setupVeskCI(d);
    case 131:
        return callFamily(d, VESK_InitDPPPSD); /* also loads the parameters */
    case 132: {
        setTypeName(d, "DPP-PSD");
        setTraceBits(d, 32, 15, 2, 3);
        int code = callFamily(d, TILK_InitBoard);
        return code == 0 ? loadParameters(d) : code;
    }
    case 135: {
        setTypeName(d, "DPP-QDC");
        setTraceBits(d, 32, 16, 1, 4);
        int code = callFamily(d, DRAQ_InitBoard);
        return code == 0 ? loadParameters(d) : code;
    }
    case 136:
        return setupPemb(d, "DPP-PSD", false);
    case 139:
        return setupPemb(d, "DPP-PHA", true);
    case DPPL_DPPCODE_MORVANE:
        return setupMorvane(d);
    default:
        BLOG(d, C_LOG_ERROR, "Unsupported DPP code %d.", (int)d->descriptor.DPPCode);
        return DPPL_ERR_INVALID_DPP_CODE;
    }
}

/* "<major>.<minor>", both decimal; the major number is the DPP code. */
bool parseFirmwareRelease(c_Digitizer_t* d) {
    char text[sizeof d->descriptor.ChannelFirmwareRel + 1];
    memcpy(text, d->descriptor.ChannelFirmwareRel, sizeof d->descriptor.ChannelFirmwareRel);
    text[sizeof text - 1] = '\0';
    int major = 0, minor = 0;
    if (sscanf(text, "%d.%d", &major, &minor) != 2)
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

/* ========================================================================= */

int GENERIC_OpenDigitizer(c_Digitizer_t* d, const c_ConnParams_t* params) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int openCode = params == NULL ? openRegisterLevelDevice(d) : openThroughBoardAccess(d, params);
    d->kind = DGTZ_KIND_OPEN;
    if (openCode != 0)
        return mapOpenError(openCode, params);

    d->linkFlag = params != NULL && params->linkType == 1 && params->vmeBase == 0 ? 1 : 0;
    int code = readBoardInformation(d);
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
    switch (d->descriptor.DPPCode) {
    case 136:
    case 139:
        return PEMB_CheckADCShutdown(d);
    case 128:
    case 130:
    case 131:
    case 132:
    case 135:
    case DPPL_DPPCODE_MORVANE:
        return 0;
    case 0:
    case 1:
        if (isFamily(d, 11, 14))
            return PEMB_CheckADCShutdown(d);
        if (isFamily(d, 0, 4, 5))
            return 0;
        return isFamily(d, 6) ? DPPL_ERR_NOT_SUPPORTED : DPPL_ERR_INVALID_DPP_CODE;
    default:
        return DPPL_ERR_INVALID_DPP_CODE;
    }
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

int GENERIC_CheckPLLLock(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    switch (d->descriptor.DPPCode) {
    case 128:
    case DPPL_DPPCODE_MORVANE:
        return ORLU_CheckPLLLock(d);
    case 130:
        return 0;
    case 131:
        return GENERIC_CheckPLLLockedParameter(d);
    case 132:
        return callFamily(d, TILK_CheckPLLLock);
    case 135:
        return callFamily(d, DRAQ_CheckPLLLock);
    case 136:
    case 139:
        return PEMB_CheckPLLLock(d);
    case 0:
    case 1:
        if (isFamily(d, 0))
            return ORLU_CheckPLLLock(d);
        if (isFamily(d, 4))
            return callFamily(d, DRAQ_CheckPLLLock);
        if (isFamily(d, 5))
            return callFamily(d, TILK_CheckPLLLock);
        if (isFamily(d, 11, 14))
            return PEMB_CheckPLLLock(d);
        return isFamily(d, 6) ? DPPL_ERR_NOT_SUPPORTED : DPPL_ERR_INVALID_DPP_CODE;
    default:
        return DPPL_ERR_INVALID_DPP_CODE;
    }
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
    int code = 0;
    switch (d->descriptor.DPPCode) {
    case 136:
    case 139:
        code = PEMB_RestoreADCShutdown(d);
        break;
    case 128:
    case 130:
    case 131:
    case 132:
    case 135:
    case DPPL_DPPCODE_MORVANE:
        break;
    case 0:
    case 1:
        if (isPembBoard(d))
            code = PEMB_RestoreADCShutdown(d);
        else if (isFamily(d, 6))
            code = DPPL_ERR_NOT_SUPPORTED;
        else if (!isFamily(d, 0, 4, 5))
            code = DPPL_ERR_INVALID_DPP_CODE;
        break;
    default:
        code = DPPL_ERR_INVALID_DPP_CODE;
        break;
    }
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
        BLOG(d, C_LOG_ERROR, "[HV%i]: Can't read HVCHANNEL_CONTROL register.", (int)hvChannel);
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
