/* ZarnFirmwareTable: the per-DPP-code rows of the board layer. */
#include "ZarnFirmwareTable.h"

#include <stddef.h>

#include "CBoard_Scope.h"
#include "ZarnBoard_Draq.h"
#include "ZarnBoard_Orlu.h"
#include "ZarnBoard_Pemb.h"
#include "ZarnBoard_Tilk.h"
#include "ZarnBoard_Vesk.h"
#include "ZarnFirmwareSetup.h"
#include "ZarnRecordQueries.h"

namespace {

/* Standard waveform firmware (DPP codes 0 and 1): its checks go to the
 * driver of the board's family (the scope driver's family table). A family
 * without a row has no such firmware (-28); a row without an init knows the
 * firmware, which the library does not support there (-42). */
int scopeFamilyError(const SCOPE_Family_t* family) {
    return family != NULL ? DPPL_ERR_NOT_SUPPORTED : DPPL_ERR_INVALID_DPP_CODE;
}

bool scopeFamilySupported(const SCOPE_Family_t* family) { return family != NULL && family->init != NULL; }

int scopeCheckPLL(c_Digitizer_t* d) {
    const SCOPE_Family_t* family = SCOPE_FindFamily(d->descriptor.FamilyCode);
    return scopeFamilySupported(family) ? family->checkPLL(d) : scopeFamilyError(family);
}

int scopeCheckShutdown(c_Digitizer_t* d) {
    const SCOPE_Family_t* family = SCOPE_FindFamily(d->descriptor.FamilyCode);
    if (!scopeFamilySupported(family))
        return scopeFamilyError(family);
    return family->checkShutdown != NULL ? family->checkShutdown(d) : 0;
}

int scopeRestoreShutdown(c_Digitizer_t* d) {
    const SCOPE_Family_t* family = SCOPE_FindFamily(d->descriptor.FamilyCode);
    if (!scopeFamilySupported(family))
        return scopeFamilyError(family);
    return family->restoreShutdown != NULL ? family->restoreShutdown(d) : 0;
}

constexpr uint32_t kScopeTraceSlots = 0x01;        /* 0 */
constexpr uint32_t kPulseHeightSlots = 0x1B;       /* 0, 1, 3, 4 */
constexpr uint32_t kVeskSlots = 0x7B;              /* 0, 1, 3, 4, 5, 6 */
constexpr uint32_t kTilkSlots = 0x3B;              /* 0, 1, 3, 4, 5 */
constexpr uint32_t kChargeIntegrationSlots = 0x79; /* 0, 3, 4, 5, 6 */

/* Real- and dead-time counters of the Orlu pulse-height firmware. */
constexpr ZarnTimeCounters_t kOrluCounters = {
    .kind = ZARN_TIME_COUNTERS_REGISTERS, .aboveMinorRev = 64, .realTimeRegister = 0x10DC, .deadTimeRegister = 0x10E0};

/* A row names only what its firmware has. A field left out means: no type
 * name (the setup names it), no descriptor bits (the setup writes them), no
 * such check, no decoder of that walker kind, no time counters (-42), no
 * waveform step (by family: the scope driver's family table). */
/* The standard waveform firmware, the same under both of its codes. */
constexpr ZarnFirmware_t scopeFirmware(int32_t dppCode) {
    return {.dppCode = dppCode,
            .traceBits = {.timeTagBits = 31, .analogTraces = 1},
            .setup = GENERIC_SetupScope,
            .checkPLL = scopeCheckPLL,
            .checkShutdown = scopeCheckShutdown,
            .restoreShutdown = scopeRestoreShutdown,
            .walker = ZARN_WALKER_SCOPE,
            .traceSlots = kScopeTraceSlots};
}

const ZarnFirmware_t kFirmwares[] = {
    scopeFirmware(0),
    scopeFirmware(1),
    /* 15 energy bits on family 16: GENERIC_SetupOrluPHA */
    {.dppCode = 128,
     .typeName = "DPP-PHA",
     .traceBits = {.timeTagBits = 30, .energyBits = 14, .analogTraces = 2, .digitalTraces = 2},
     .setup = GENERIC_SetupOrluPHA,
     .checkPLL = ORLU_CheckPLLLock,
     .walker = ZARN_WALKER_CHANNEL,
     .channelDecoder = ORLU_DecodePHAChannelAggregate,
     .sizeMask = 0x1FFFFF,
     .traceSlots = kPulseHeightSlots,
     .timeCounters = kOrluCounters,
     .waveformStep = 2},
    {.dppCode = 130,
     .typeName = "DPP-CI",
     .setup = GENERIC_SetupVeskCI,
     .walker = ZARN_WALKER_CHANNEL,
     .channelDecoder = VESK_DecodeCIChannelAggregate,
     .sizeMask = 0xFFFFFF,
     .traceSlots = kVeskSlots,
     .waveformStep = 8},
    {.dppCode = 131,
     .setup = VESK_InitDPPPSD,
     .checkPLL = GENERIC_CheckPLLLockedParameter,
     .walker = ZARN_WALKER_CHANNEL,
     .channelDecoder = VESK_DecodePSDChannelAggregate,
     .sizeMask = 0xFFFFFF,
     .traceSlots = kVeskSlots,
     .waveformStep = 8},
    {.dppCode = 132,
     .typeName = "DPP-PSD",
     .traceBits = {.timeTagBits = 32, .energyBits = 15, .analogTraces = 2, .digitalTraces = 3},
     .setup = GENERIC_SetupTilkPSD,
     .checkPLL = TILK_CheckPLLLock,
     .walker = ZARN_WALKER_CHANNEL,
     .channelDecoder = TILK_DecodePSDChannelAggregate,
     .sizeMask = 0x3FFFFF,
     .traceSlots = kTilkSlots,
     .waveformStep = 12},
    {.dppCode = 135,
     .typeName = "DPP-QDC",
     .traceBits = {.timeTagBits = 32, .energyBits = 16, .analogTraces = 1, .digitalTraces = 4},
     .setup = GENERIC_SetupDraqQDC,
     .checkPLL = DRAQ_CheckPLLLock,
     .walker = ZARN_WALKER_GROUP,
     .groupDecoder = DRAQ_DecodeQDCGroupAggregate,
     .sizeMask = 0x7FFFFFFF,
     .traceSlots = kChargeIntegrationSlots,
     .waveformStep = 8},
    {.dppCode = 136,
     .typeName = "DPP-PSD",
     .traceBits = {.timeTagBits = 31, .energyBits = 15, .analogTraces = 2, .digitalTraces = 2},
     .setup = GENERIC_SetupPembPSD,
     .checkPLL = PEMB_CheckPLLLock,
     .checkShutdown = PEMB_CheckADCShutdown,
     .restoreShutdown = PEMB_RestoreADCShutdown,
     .walker = ZARN_WALKER_COUPLE,
     .coupleDecoder = PEMB_DecodePSDCoupleAggregate,
     .sizeMask = 0x3FFFFF,
     .traceSlots = kPulseHeightSlots,
     .waveformStep = 8},
    {.dppCode = 139,
     .typeName = "DPP-PHA",
     .traceBits = {.timeTagBits = 31, .energyBits = 14, .analogTraces = 2, .digitalTraces = 2},
     .setup = GENERIC_SetupPembPHA,
     .checkPLL = PEMB_CheckPLLLock,
     .checkShutdown = PEMB_CheckADCShutdown,
     .restoreShutdown = PEMB_RestoreADCShutdown,
     .walker = ZARN_WALKER_COUPLE,
     .coupleDecoder = PEMB_DecodePHACoupleAggregate,
     .sizeMask = 0x1FFFFF,
     .traceSlots = kPulseHeightSlots,
     .waveformStep = 8},
    {.dppCode = DPPL_DPPCODE_MORVANE,
     .typeName = "DPP-PHA",
     .traceBits = {.timeTagBits = 32, .energyBits = 15, .analogTraces = 2, .digitalTraces = 2},
     .setup = GENERIC_SetupMorvane,
     .checkPLL = ORLU_CheckPLLLock,
     .walker = ZARN_WALKER_XMOR,
     .sizeMask = 0x1FFFFF,
     .traceSlots = kPulseHeightSlots,
     .timeCounters = {.kind = ZARN_TIME_COUNTERS_DEVICE},
     .waveformStep = 2},
};

} // namespace

const ZarnFirmware_t* ZarnFirmware_Find(int32_t dppCode) {
    for (const ZarnFirmware_t& row : kFirmwares)
        if (row.dppCode == dppCode)
            return &row;
    return NULL;
}

int ZarnFirmware_Setup(const ZarnFirmware_t* firmware, c_Digitizer_t* d) {
    if (firmware->typeName != NULL)
        setTypeName(d, firmware->typeName);
    const ZarnTraceBits_t& bits = firmware->traceBits;
    if (bits.timeTagBits != 0) {
        d->descriptor.TimeTagBits = bits.timeTagBits;
        d->descriptor.EnergyBits = bits.energyBits;
        d->descriptor.AnalogVTraces = bits.analogTraces;
        d->descriptor.DigitalVTraces = bits.digitalTraces;
    }
    return firmware->setup(d);
}

uint32_t ZarnFirmware_TraceSlots(const c_Digitizer_t* d) {
    const ZarnFirmware_t* row = ZarnFirmware_Find(d->descriptor.DPPCode);
    if (row == NULL)
        return 0;
    if (row->walker == ZARN_WALKER_SCOPE && !scopeFamilySupported(SCOPE_FindFamily(d->descriptor.FamilyCode)))
        return 0;
    return row->traceSlots;
}

uint32_t ZarnFirmware_WaveformStep(const c_Digitizer_t* d) {
    const ZarnFirmware_t* row = ZarnFirmware_Find(d->descriptor.DPPCode);
    uint32_t step = row != NULL ? row->waveformStep : 1;
    if (row != NULL && row->walker == ZARN_WALKER_SCOPE) {
        const SCOPE_Family_t* family = SCOPE_FindFamily(d->descriptor.FamilyCode);
        step = scopeFamilySupported(family) ? family->waveformStep : 1;
    }
    return step != 0 ? step : 1;
}

bool GENERIC_IsTraceSupported(const c_Digitizer_t* digitizer, int32_t slot) {
    if (digitizer == NULL || slot < 0 || slot >= DPPL_TRACE_SLOTS || isSecondGenerationReplay(digitizer))
        return false;
    return (ZarnFirmware_TraceSlots(digitizer) & (1u << slot)) != 0;
}
