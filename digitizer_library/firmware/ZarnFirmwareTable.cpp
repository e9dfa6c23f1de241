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

/* clang-format off */
/* Descriptor bits: time-tag bits, energy bits, analog and digital traces. */
constexpr ZarnTraceBits_t kScopeBits = {31, 0, 1, 0};
constexpr ZarnTraceBits_t kBitsBySetup = {0, 0, 0, 0};
/* Real- and dead-time counters. */
constexpr ZarnTimeCounters_t kNoCounters = {ZARN_TIME_COUNTERS_NONE, 0, 0, 0};
constexpr ZarnTimeCounters_t kOrluCounters = {ZARN_TIME_COUNTERS_REGISTERS, 64, 0x10DC, 0x10E0};
constexpr ZarnTimeCounters_t kDeviceCounters = {ZARN_TIME_COUNTERS_DEVICE, 0, 0, 0};

const ZarnFirmware_t kFirmwares[] = {
    /* code, type name, descriptor bits, setup, PLL check, shutdown check, shutdown restore,
     * walker, channel / couple / group decoder, size mask, trace slots, time counters,
     * waveform step (samples of a waveform unit) */
    {0, NULL, kScopeBits, GENERIC_SetupScope, scopeCheckPLL, scopeCheckShutdown, scopeRestoreShutdown,
     ZARN_WALKER_SCOPE, NULL, NULL, NULL, 0, kScopeTraceSlots, kNoCounters, 0},
    {1, NULL, kScopeBits, GENERIC_SetupScope, scopeCheckPLL, scopeCheckShutdown, scopeRestoreShutdown,
     ZARN_WALKER_SCOPE, NULL, NULL, NULL, 0, kScopeTraceSlots, kNoCounters, 0},
    /* 15 energy bits on family 16: GENERIC_SetupOrluPHA */
    {128, "DPP-PHA", {30, 14, 2, 2}, GENERIC_SetupOrluPHA, ORLU_CheckPLLLock, NULL, NULL,
     ZARN_WALKER_CHANNEL, ORLU_DecodePHAChannelAggregate, NULL, NULL, 0x1FFFFF, kPulseHeightSlots, kOrluCounters, 2},
    {130, "DPP-CI", kBitsBySetup, GENERIC_SetupVeskCI, NULL, NULL, NULL,
     ZARN_WALKER_CHANNEL, VESK_DecodeCIChannelAggregate, NULL, NULL, 0xFFFFFF, kVeskSlots, kNoCounters, 8},
    {131, NULL /* VESK_InitDPPPSD names it */, kBitsBySetup, VESK_InitDPPPSD, GENERIC_CheckPLLLockedParameter, NULL, NULL,
     ZARN_WALKER_CHANNEL, VESK_DecodePSDChannelAggregate, NULL, NULL, 0xFFFFFF, kVeskSlots, kNoCounters, 8},
    {132, "DPP-PSD", {32, 15, 2, 3}, GENERIC_SetupTilkPSD, TILK_CheckPLLLock, NULL, NULL,
     ZARN_WALKER_CHANNEL, TILK_DecodePSDChannelAggregate, NULL, NULL, 0x3FFFFF, kTilkSlots, kNoCounters, 12},
    {135, "DPP-QDC", {32, 16, 1, 4}, GENERIC_SetupDraqQDC, DRAQ_CheckPLLLock, NULL, NULL,
     ZARN_WALKER_GROUP, NULL, NULL, DRAQ_DecodeQDCGroupAggregate, 0x7FFFFFFF, kChargeIntegrationSlots, kNoCounters, 8},
    {136, "DPP-PSD", {31, 15, 2, 2}, GENERIC_SetupPembPSD, PEMB_CheckPLLLock, PEMB_CheckADCShutdown, PEMB_RestoreADCShutdown,
     ZARN_WALKER_COUPLE, NULL, PEMB_DecodePSDCoupleAggregate, NULL, 0x3FFFFF, kPulseHeightSlots, kNoCounters, 8},
    {139, "DPP-PHA", {31, 14, 2, 2}, GENERIC_SetupPembPHA, PEMB_CheckPLLLock, PEMB_CheckADCShutdown, PEMB_RestoreADCShutdown,
     ZARN_WALKER_COUPLE, NULL, PEMB_DecodePHACoupleAggregate, NULL, 0x1FFFFF, kPulseHeightSlots, kNoCounters, 8},
    {DPPL_DPPCODE_MORVANE, "DPP-PHA", {32, 15, 2, 2}, GENERIC_SetupMorvane, ORLU_CheckPLLLock, NULL, NULL,
     ZARN_WALKER_XMOR, NULL, NULL, NULL, 0x1FFFFF, kPulseHeightSlots, kDeviceCounters, 2},
};
/* clang-format on */

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
