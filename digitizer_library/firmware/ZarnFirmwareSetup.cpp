/*
 * ZarnFirmwareSetup: the firmware setups of the firmware table's rows, one
 * per DPP code: descriptor fields beyond the row's, the family init of the
 * driver, the parameters and the last register writes of the firmware. The
 * board layer runs the setup of the record's row after writing the row's
 * type name and descriptor bits; the messages go to the board layer's log
 * ("ZarnBoard_GENERICLog.txt").
 */
#include "ZarnFirmwareSetup.h"

#include <string.h>

#include "CBoard_Scope.h"
#include "ZarnBoard_Draq.h"
#include "ZarnBoard_Orlu.h"
#include "ZarnBoard_Pemb.h"
#include "ZarnBoard_Tilk.h"
#include "ZarnBoard_Vesk.h"
#include "ZarnComm.h"
#include "ZarnFamilyRows.h"
#include "ZarnFamilySupport.h"
#include "ZarnParameters.h"
#include "ZarnRecordQueries.h"
#include "ZarnRecords.h"

static const c_LogModule_t ZarnBoard_GENERIC_log = {"ZarnBoard_GENERICLog.txt", "ZarnBoard_GENERIC"};

#define BLOG(digitizer, level, ...) \
    c_extendedLogMsg(&ZarnBoard_GENERIC_log, (digitizer), (level), __LINE__, __VA_ARGS__)

/* The setup of standard waveform firmware logs as the rest of its driver. */
static const c_LogModule_t CBoard_Scope_log = {"CBoard_ScopeLog.txt", "CBoard_Scope"};

#define SLOG(digitizer, level, ...) c_extendedLogMsg(&CBoard_Scope_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

constexpr uint32_t kRegBoardConfig = 0x8000;
constexpr uint32_t kBoardConfigBase = 0x01000100;

/* The parameters of the board; a loader failure becomes -26, or stays the
 * loader's own code (the register-level device's setup). */
int loadParameters(c_Digitizer_t* d, bool keepLoaderCode = false) {
    int code = GENERIC_LoadParameters(d);
    if (code == 0)
        return 0;
    BLOG(d, C_LOG_ERROR, "Can't load the parameters of the board (loader error %i).", code);
    return keepLoaderCode ? code : DPPL_ERR_PARAMETER;
}

/* The standard waveform firmware's row on the record's family: NULL (and
 * logged, -28) for a family without one, and -42 for a family that knows the
 * firmware where the library does not support it. */
int scopeFamilyOf(c_Digitizer_t* d, const c_LogModule_t* log, const SCOPE_Family_t** family) {
    *family = SCOPE_FindFamily(d->descriptor.FamilyCode);
    if (*family == NULL) {
        c_extendedLogMsg(log, d, C_LOG_ERROR, __LINE__, "Unsupported family %u for standard waveform firmware.",
                         (unsigned)d->descriptor.FamilyCode);
        return DPPL_ERR_INVALID_DPP_CODE;
    }
    if ((*family)->init == NULL) {
        c_extendedLogMsg(log, d, C_LOG_ERROR, __LINE__, "Standard waveform firmware is not supported on family %u.",
                         (unsigned)d->descriptor.FamilyCode);
        return DPPL_ERR_NOT_SUPPORTED;
    }
    return 0;
}

int setupScope(c_Digitizer_t* d) {
    const SCOPE_Family_t* family = NULL;
    int code = scopeFamilyOf(d, &ZarnBoard_GENERIC_log, &family);
    return code == 0 ? SCOPE_InitBoard(d) /* also loads the parameters */ : code;
}

int setupOrluPHA(c_Digitizer_t* d) {
    uint32_t energyBits = ZarnFamily_Find(d->descriptor.FamilyCode)->pulseHeightEnergyBits;
    if (energyBits != 0)
        d->descriptor.EnergyBits = energyBits;
    int code = ORLU_InitBoard(d);
    if (code == 0)
        code = c_rwrite(d, kRegBoardConfig, kBoardConfigBase);
    if (code == 0)
        code = loadParameters(d);
    if (code == 0 && ZarnFamily_Find(d->descriptor.FamilyCode)->clearsChannelZeroEnables)
        code = GENERIC_ClearChannelZeroEnableBits(&ZarnBoard_GENERIC_log, d);
    return code;
}

int setupVeskCI(c_Digitizer_t* d) {
    d->descriptor.TimeTagBits = 32;
    d->descriptor.EnergyBits = 15;
    int code = GENERIC_ReadMemorySize(&ZarnBoard_GENERIC_log, d, &GENERIC_kMemoryCodes130To135);
    if (code == 0)
        code = VESK_InitBoard(d);
    return code == 0 ? loadParameters(d) : code;
}

int setupTilkPSD(c_Digitizer_t* d) {
    int code = TILK_InitBoard(d);
    return code == 0 ? loadParameters(d) : code;
}

int setupDraqQDC(c_Digitizer_t* d) {
    int code = DRAQ_InitBoard(d);
    return code == 0 ? loadParameters(d) : code;
}

int setupPemb(c_Digitizer_t* d, bool writeBoardConfig) {
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
    return loadParameters(d, true);
}

/* ---------------------------------------------- standard waveform firmware */

int initBoard(c_Digitizer_t* d) {
    c_BoardDescriptor_t* desc = &d->descriptor;
    const SCOPE_Family_t* family = SCOPE_FindFamily(desc->FamilyCode);
    if (family != NULL && family->init != NULL) {
        desc->TimeTagBits = 31;
        desc->EnergyBits = 0;
        setTypeName(d, "SCOPE");
        desc->AnalogVTraces = 1;
        desc->DigitalVTraces = 0;
    }
    int code = scopeFamilyOf(d, &CBoard_Scope_log, &family);
    if (code == 0)
        code = family->init(d);
    if (code != 0)
        return code;
    code = GENERIC_LoadParameters(d);
    if (code != 0) {
        SLOG(d, C_LOG_ERROR, "Can't load the parameters of the board (loader error %i).", code);
        return DPPL_ERR_PARAMETER;
    }
    code = GENERIC_ReadDACCalibrationFromFlash(d);
    if (code != 0) {
        SLOG(d, C_LOG_ERROR, "Can't load the DAC calibration from the board flash (error %i).", code);
        return DPPL_ERR_OFFSET_CALIBRATION;
    }
    return 0;
}

} // namespace

int SCOPE_InitBoard(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    SCOPE_FreeBuffer(d); /* a second setup of the same record must not leak the first buffer */
    d->scope = (c_ScopeBuffer_t*)c_calloc(1, sizeof(c_ScopeBuffer_t));
    if (d->scope == NULL) {
        SLOG(d, C_LOG_ERROR, "Can't allocate memory for Scope Event Buffer.");
        return DPPL_ERR_OUT_OF_MEMORY;
    }
    int code = initBoard(d);
    if (code != 0)
        SCOPE_FreeBuffer(d);
    return code;
}

int GENERIC_SetupScope(c_Digitizer_t* d) { return setupScope(d); }
int GENERIC_SetupOrluPHA(c_Digitizer_t* d) { return setupOrluPHA(d); }
int GENERIC_SetupVeskCI(c_Digitizer_t* d) { return setupVeskCI(d); }
int GENERIC_SetupTilkPSD(c_Digitizer_t* d) { return setupTilkPSD(d); }
int GENERIC_SetupDraqQDC(c_Digitizer_t* d) { return setupDraqQDC(d); }
int GENERIC_SetupPembPSD(c_Digitizer_t* d) { return setupPemb(d, false); }
int GENERIC_SetupPembPHA(c_Digitizer_t* d) { return setupPemb(d, true); }
int GENERIC_SetupMorvane(c_Digitizer_t* d) { return setupMorvane(d); }
