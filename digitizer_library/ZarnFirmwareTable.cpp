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

namespace {

/* Standard waveform firmware (DPP codes 0 and 1) runs on the families 0, 4,
 * 5, 11 and 14; family 6 knows it but the library does not support it there.
 * Its checks go to the family's driver. */
enum class ScopeFamily { Orlu, Draq, Tilk, Pemb, Unsupported, Unknown };

ScopeFamily scopeFamily(const c_Digitizer_t* d) {
    switch (d->descriptor.FamilyCode) {
    case 0: return ScopeFamily::Orlu;
    case 4: return ScopeFamily::Draq;
    case 5: return ScopeFamily::Tilk;
    case 11:
    case 14: return ScopeFamily::Pemb;
    case 6: return ScopeFamily::Unsupported;
    default: return ScopeFamily::Unknown;
    }
}

int scopeFamilyError(ScopeFamily family) {
    return family == ScopeFamily::Unsupported ? DPPL_ERR_NOT_SUPPORTED : DPPL_ERR_INVALID_DPP_CODE;
}

int scopeCheckPLL(c_Digitizer_t* d) {
    switch (ScopeFamily family = scopeFamily(d)) {
    case ScopeFamily::Orlu: return ORLU_CheckPLLLock(d);
    case ScopeFamily::Draq: return DRAQ_CheckPLLLock(d);
    case ScopeFamily::Tilk: return TILK_CheckPLLLock(d);
    case ScopeFamily::Pemb: return PEMB_CheckPLLLock(d);
    default: return scopeFamilyError(family);
    }
}

int scopeCheckShutdown(c_Digitizer_t* d) {
    switch (ScopeFamily family = scopeFamily(d)) {
    case ScopeFamily::Pemb: return PEMB_CheckADCShutdown(d);
    case ScopeFamily::Orlu:
    case ScopeFamily::Draq:
    case ScopeFamily::Tilk: return 0;
    default: return scopeFamilyError(family);
    }
}

int scopeRestoreShutdown(c_Digitizer_t* d) {
    switch (ScopeFamily family = scopeFamily(d)) {
    case ScopeFamily::Pemb: return PEMB_RestoreADCShutdown(d);
    case ScopeFamily::Orlu:
    case ScopeFamily::Draq:
    case ScopeFamily::Tilk: return 0;
    default: return scopeFamilyError(family);
    }
}

constexpr uint32_t kScopeTraceSlots = 0x01;        /* 0 */
constexpr uint32_t kPulseHeightSlots = 0x1B;       /* 0, 1, 3, 4 */
constexpr uint32_t kVeskSlots = 0x7B;              /* 0, 1, 3, 4, 5, 6 */
constexpr uint32_t kTilkSlots = 0x3B;              /* 0, 1, 3, 4, 5 */
constexpr uint32_t kChargeIntegrationSlots = 0x79; /* 0, 3, 4, 5, 6 */

/* clang-format off */
const ZarnFirmware_t kFirmwares[] = {
    /* code, type name, setup, PLL check, shutdown check, shutdown restore,
     * walker, channel / couple / group decoder, size mask, trace slots */
    {0, NULL, GENERIC_SetupScope, scopeCheckPLL, scopeCheckShutdown, scopeRestoreShutdown,
     ZARN_WALKER_SCOPE, NULL, NULL, NULL, 0, kScopeTraceSlots},
    {1, NULL, GENERIC_SetupScope, scopeCheckPLL, scopeCheckShutdown, scopeRestoreShutdown,
     ZARN_WALKER_SCOPE, NULL, NULL, NULL, 0, kScopeTraceSlots},
    {128, "DPP-PHA", GENERIC_SetupOrluPHA, ORLU_CheckPLLLock, NULL, NULL,
     ZARN_WALKER_CHANNEL, ORLU_DecodePHAChannelAggregate, NULL, NULL, 0x1FFFFF, kPulseHeightSlots},
    {130, "DPP-CI", GENERIC_SetupVeskCI, NULL, NULL, NULL,
     ZARN_WALKER_CHANNEL, VESK_DecodeCIChannelAggregate, NULL, NULL, 0xFFFFFF, kVeskSlots},
    {131, NULL /* VESK_InitDPPPSD names it */, VESK_InitDPPPSD, GENERIC_CheckPLLLockedParameter, NULL, NULL,
     ZARN_WALKER_CHANNEL, VESK_DecodePSDChannelAggregate, NULL, NULL, 0xFFFFFF, kVeskSlots},
    {132, "DPP-PSD", GENERIC_SetupTilkPSD, TILK_CheckPLLLock, NULL, NULL,
     ZARN_WALKER_CHANNEL, TILK_DecodePSDChannelAggregate, NULL, NULL, 0x3FFFFF, kTilkSlots},
    {135, "DPP-QDC", GENERIC_SetupDraqQDC, DRAQ_CheckPLLLock, NULL, NULL,
     ZARN_WALKER_GROUP, NULL, NULL, DRAQ_DecodeQDCGroupAggregate, 0x7FFFFFFF, kChargeIntegrationSlots},
    {136, "DPP-PSD", GENERIC_SetupPembPSD, PEMB_CheckPLLLock, PEMB_CheckADCShutdown, PEMB_RestoreADCShutdown,
     ZARN_WALKER_COUPLE, NULL, PEMB_DecodePSDCoupleAggregate, NULL, 0x3FFFFF, kPulseHeightSlots},
    {139, "DPP-PHA", GENERIC_SetupPembPHA, PEMB_CheckPLLLock, PEMB_CheckADCShutdown, PEMB_RestoreADCShutdown,
     ZARN_WALKER_COUPLE, NULL, PEMB_DecodePHACoupleAggregate, NULL, 0x1FFFFF, kPulseHeightSlots},
    {DPPL_DPPCODE_MORVANE, "DPP-PHA", GENERIC_SetupMorvane, ORLU_CheckPLLLock, NULL, NULL,
     ZARN_WALKER_XMOR, NULL, NULL, NULL, 0x1FFFFF, kPulseHeightSlots},
};
/* clang-format on */

} // namespace

const ZarnFirmware_t* ZarnFirmware_Find(int32_t dppCode) {
    for (const ZarnFirmware_t& row : kFirmwares)
        if (row.dppCode == dppCode)
            return &row;
    return NULL;
}

uint32_t ZarnFirmware_TraceSlots(const c_Digitizer_t* d) {
    const ZarnFirmware_t* row = ZarnFirmware_Find(d->descriptor.DPPCode);
    if (row == NULL)
        return 0;
    if (row->walker == ZARN_WALKER_SCOPE && scopeFamily(d) >= ScopeFamily::Unsupported)
        return 0;
    return row->traceSlots;
}

uint32_t ZarnFirmware_WaveformStep(const c_Digitizer_t* d) {
    switch (d->descriptor.DPPCode) {
    case 0:
    case 1: /* two samples a word; Draq blocks three a channel; Tilk counts them */
        switch (scopeFamily(d)) {
        case ScopeFamily::Orlu:
        case ScopeFamily::Pemb: return 2;
        case ScopeFamily::Draq: return 3;
        default: return 1;
        }
    case 128:
    case DPPL_DPPCODE_MORVANE: return 2; /* waveform words of two samples */
    case 130:
    case 131:
    case 135:
    case 136:
    case 139: return 8;  /* units of four words, two samples each */
    case 132: return 12; /* units of four words, three samples each */
    default: return 1;
    }
}

bool GENERIC_IsTraceSupported(const c_Digitizer_t* digitizer, int32_t slot) {
    if (digitizer == NULL || slot < 0 || slot >= DPPL_TRACE_SLOTS || digitizer->kind == DGTZ_KIND_GEN2_REPLAY)
        return false;
    return (ZarnFirmware_TraceSlots(digitizer) & (1u << slot)) != 0;
}
