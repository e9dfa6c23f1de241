/*
 * ZarnBoard_GENERIC: board open, setup, default values, status checks and
 * replay values. The other pieces of the layer: ZarnBoard_GENERIC_DACFlash,
 * _Acquisition, _Read and _CFD; the firmware setups are ZarnFirmwareSetup's,
 * the helpers the drivers call ZarnFamilySupport's.
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
#include "ZarnBoardAccess.h"
#include "ZarnComm.h"
#include "ZarnDigitizer.h"
#include "ZarnFamilyRows.h"
#include "ZarnFirmwareTable.h"
#include "ZarnParameters.h"
#include "ZarnROBuffDumper.h"
#include "ZarnRecordMemory.h"
#include "ZarnRecordQueries.h"

static const c_LogModule_t ZarnBoard_GENERIC_log = {"ZarnBoard_GENERICLog.txt", "ZarnBoard_GENERIC"};

/* A message without the board prefix, and one with it. */
#define PLOG(level, ...) c_lprintf(&ZarnBoard_GENERIC_log, (level), __LINE__, __VA_ARGS__)
#define BLOG(digitizer, level, ...) \
    c_extendedLogMsg(&ZarnBoard_GENERIC_log, (digitizer), (level), __LINE__, __VA_ARGS__)

static_assert(sizeof(ZARN_DGTZ_BoardInfo_t) == DPPL_BOARD_INFO_SIZE, "board information is the descriptor's head");
static_assert(offsetof(c_BoardDescriptor_t, DPPCode) == DPPL_BOARD_INFO_SIZE,
              "descriptor head is the board information");

namespace {

constexpr int kLinkTypeNetwork = 6;
constexpr uint32_t kRegLvdsControl = 0x811C;
constexpr uint32_t kRegPllLatch = 0xEF04;
constexpr uint32_t kRegAcqStatus = 0x8104;

bool isReplay(const c_Digitizer_t* d) { return d->replay != 0; }

/* ------------------------------------------------------------------- open */

/* The message and library status of a failed board open. */
int mapOpenError(int code, const c_ConnParams_t* params) {
    switch (code) {
    case ZARN_DGTZ_CommError: PLOG(C_LOG_ERROR, "Open digitizer failed due to a comm error: %i", code); break;
    case ZARN_DGTZ_InvalidLinkType:
        PLOG(C_LOG_ERROR, "Open digitizer failed due to an invalid link type: %i",
             params != NULL ? params->linkType : 0);
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
    case ZARN_DGTZ_AlreadyOpen: PLOG(C_LOG_ERROR, "Requested device is already open: %i", code); break;
    case ZARN_DGTZ_UnsupportedBaseAddress:
        PLOG(C_LOG_ERROR, "Open digitizer failed due to an unsupported base address: %u",
             params != NULL ? params->vmeBase : 0u);
        return DPPL_ERR_UNSUPPORTED_BASE_ADDRESS;
    default: PLOG(C_LOG_ERROR, "Open digitizer failed due to a generic error: %i", code); break;
    }
    return DPPL_ERR_DIGITIZER_API;
}

/* The register-level device has its own open (device table, flash, high
 * voltage, coarse DC offsets); its codes go through the same table. */
int openRegisterLevelDevice(c_Digitizer_t* d) { return MORVANE_OpenRecordDevice(d); }

int openThroughBoardAccess(c_Digitizer_t* d, const c_ConnParams_t* params) {
    const void* linkArg =
        params->linkType == kLinkTypeNetwork ? (const void*)params->address : (const void*)&params->linkNumber;
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
    clearReservedFields(desc);
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
    SCOPE_FreeBuffer(d);
    ZarnAccess_OfBoard(d)->undoOpen(d); /* the device by its family, as its open wrote it */
}

/* The firmware setup of the record's DPP code (its row in the firmware
 * table): type name, descriptor fields, family init, parameters. */
int dispatchFirmware(c_Digitizer_t* d) {
    const ZarnFirmware_t* firmware = ZarnFirmware_Find(d->descriptor.DPPCode);
    if (firmware == NULL) {
        BLOG(d, C_LOG_ERROR, "Unsupported DPP code %d.", (int)d->descriptor.DPPCode);
        return DPPL_ERR_INVALID_DPP_CODE;
    }
    return ZarnFirmware_Setup(firmware, d);
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

/* Whether a board that reports its state reports its configuration done. */
bool boardConfigurationDone(c_Digitizer_t* d) {
    if (!ZarnFamily_Find(d->descriptor.FamilyCode)->reportsItsState)
        return false;
    c_Parameter_t* p = c_pfind(d, DPPL_PARAM_BOARD_CONFIG_STATUS);
    double value = 0;
    if (p == NULL || c_pget(d, p, &value) != 0) {
        BLOG(d, C_LOG_WARNING, "Unable to retrieve %s parameter value.", "DPPL_PARAM_BOARD_CONFIG_STATUS");
        return false;
    }
    return (int64_t)value == 1;
}

/* ---------------------------------------------------------- default values */

/* Which parameters of a high-voltage collection the walk leaves alone. */
struct HVFilter {
    bool active;     /* the collection is a high-voltage one */
    bool skipOnCode; /* DPPL_PARAM_HVCH_ON is never set here */
    bool configured; /* board configuration done: skip non-hvconfig parameters */
    bool channelOn;  /* DPP code 142 with the channel on: skip non-hvon parameters */
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
    filter.channelOn = hvChannelIsOn(d, h);
    int32_t failed = -1;
    int code = setCollectionDefaults(d, d->hv[h].coll, filter, &failed);
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Error %i setting default value for hv channel %u parameter %i", code, (unsigned)h,
             failed);
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
            BLOG(d, C_LOG_ERROR, "Error %i setting default value for mon out %u parameter %i", code, (unsigned)m,
                 failed);
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

} // namespace

/* ========================================================================= */

int GENERIC_OpenDigitizer(c_Digitizer_t* d, const c_ConnParams_t* params) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    /* No connection parameters: the register-level device. */
    const ZarnBoardAccess_t* access = params == NULL ? &ZarnAccess_Device : &ZarnAccess_Live;
    int openCode = access->open(d, params);
    d->kind = DGTZ_KIND_OPEN;
    if (openCode != 0)
        return mapOpenError(openCode, params);
    if (access->prepare != NULL && (openCode = access->prepare(d)) != 0)
        return openCode;

    d->linkFlag = params != NULL && params->linkType == 1 && params->vmeBase == 0 ? 1 : 0;
    int code = access->readInformation(d);
    if (code == 0)
        code = resetBoard(d);
    if (code == 0 && (code = GENERIC_SetupDigitizer(d)) != 0)
        BLOG(d, C_LOG_ERROR, "Error setting up digitizer.");
    if (code == 0 && c_checkStatus(d) != 0) {
        BLOG(d, C_LOG_INFO, "GENERIC_CheckStatus() failed. The status was not clean.");
        if ((code = GENERIC_RestoreStatus(d)) != 0)
            BLOG(d, C_LOG_ERROR, "Can't restore status.");
    }
    if (code == 0 && access->finishOpen != NULL)
        code = access->finishOpen(d);
    if (code != 0)
        undoOpen(d);
    return code;
}

/* ---------------------------------------------- the access rows' open */

int GENERIC_AccessOpenLive(c_Digitizer_t* d, const c_ConnParams_t* params) { return openThroughBoardAccess(d, params); }

int GENERIC_AccessOpenDevice(c_Digitizer_t* d, const c_ConnParams_t*) { return openRegisterLevelDevice(d); }

int GENERIC_AccessReadLiveInformation(c_Digitizer_t* d) { return readBoardInformation(d); }

int GENERIC_AccessAllocateDeviceBuffers(c_Digitizer_t* d) { return allocateFixedBuffers(d); }

void GENERIC_AccessUndoLiveOpen(c_Digitizer_t* d) {
    if (d->handle >= 0)
        ZARN_DGTZ_CloseDigitizer(d->handle);
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
        if ((code = c_rread(d, kRegLvdsControl, &value)) != 0 ||
            (code = c_rwrite(d, kRegLvdsControl, value | 0x100)) != 0)
            return code;
    }
    if ((code = GENERIC_SetAllParameters(d)) != 0) {
        BLOG(d, C_LOG_ERROR, "GENERIC_SetAllParameters(...) failed with error %i", code);
        return DPPL_ERR_INIT_DIGITIZER;
    }
    if (ZarnFamily_Find(desc->FamilyCode)->reportsItsState && !boardConfigurationDone(d)) {
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
            BLOG(d, C_LOG_WARNING,
                 "Cannot set parameter DPPL_PARAM_AUTOALLOC_BUFFERS to FALSE. Going on anyway with legacy behaviour.");
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
    if (!ZarnAccess_OfBoard(d)->boardStatus)
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
            BLOG(d, C_LOG_ERROR, "ZarnComm_Read32(%d, 0x%X, &data) failed with error %i.",
                 (int)d->descriptor.CommHandle, address, r);
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
    if (!ZarnAccess_OfBoard(d)->boardStatus)
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
    if (!ZarnAccess_OfBoard(d)->hvRangeFromControl) {
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
