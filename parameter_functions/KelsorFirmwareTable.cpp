/* KelsorFirmwareTable: the plug-in's per-DPP-code rows. */
#include "KelsorFirmwareTable.h"

#include <stddef.h>

namespace {

/* The log modules of the SetNewShift branches. */
const c_LogModule_t Orlu_log = {"OrluLog.txt", "Orlu"};
const c_LogModule_t Pemb_log = {"PembLog.txt", "Pemb"};

/* Orlu pulse height: the fine gain is optional (1.0 without it). */
const KelsorShiftBranch_t kOrluShift = {
    .log = &Orlu_log,
    .texts = {.noCaller = "SetNewShift calling parameter not found. Can't get channel.",
              .noRise = "[%d]: Can't get Trap Rise Time. Can't compute SHF.",
              .noDecay = "[%d]: Can't get Input Decay Time. Can't calculate SHF.",
              .noGain = NULL,
              .noNorm = "[%d]: Can't get TRAP_NORM parameter. Can't set SHF value."}};

/* Pemb pulse height: the fine gain is required. */
const KelsorShiftBranch_t kPembShift = {
    .log = &Pemb_log,
    .texts = {.noCaller = "SetNewShift calling parameter not found. Can't get channel.",
              .noRise = "[%i]: Can't get Trap Rise Time. Can't compute SHF.",
              .noDecay = "[%i]: Can't get Input Decay Time. Can't calculate SHF.",
              .noGain = "[%d]: Can't get Fine Gain. Can't calculate SHF.",
              .noNorm = "[%i]: Can't get TRAP_NORM parameter. Can't set SHF value."}};

/* A row names what its firmware has; a field it leaves out has none (no
 * SetNewShift branch, the usual DC-offset polarity). */
const KelsorFirmware_t kFirmwares[] = {
    {.dppCode = 0, .spiWait = KELSOR_SPI_BY_FAMILY},
    {.dppCode = 1, .spiWait = KELSOR_SPI_UNSUPPORTED},
    {.dppCode = 128, .spiWait = KELSOR_SPI_OWN, .shift = &kOrluShift},
    {.dppCode = 130, .spiWait = KELSOR_SPI_OWN},
    {.dppCode = 131, .spiWait = KELSOR_SPI_OWN},
    {.dppCode = 132, .spiWait = KELSOR_SPI_OWN},
    {.dppCode = 135, .spiWait = KELSOR_SPI_UNSUPPORTED},
    {.dppCode = 136, .spiWait = KELSOR_SPI_SHARED},
    {.dppCode = 139, .spiWait = KELSOR_SPI_SHARED, .shift = &kPembShift},
    {.dppCode = DPPL_DPPCODE_MORVANE, .spiWait = KELSOR_SPI_UNSUPPORTED, .dcoPolarityReversed = true},
};

const KelsorFirmware_t kUnknownFirmware = {.dppCode = -1, .spiWait = KELSOR_SPI_UNSUPPORTED};

/* The standard waveform firmware's SPI by family. */
struct ScopeSpi {
    uint32_t familyCode;
    KelsorSpiWait_t spiWait;
};
const ScopeSpi kScopeSpi[] = {
    {.familyCode = 0, .spiWait = KELSOR_SPI_OWN},
    {.familyCode = 5, .spiWait = KELSOR_SPI_OWN},
    {.familyCode = 11, .spiWait = KELSOR_SPI_SHARED},
    {.familyCode = 14, .spiWait = KELSOR_SPI_SHARED},
};

/* A family without half-step units or a reserved memory block leaves them
 * out. */
const KelsorFamily_t kFamilies[] = {
    {.familyCode = 0, .recordLengthStep = 2},
    {.familyCode = 3, .recordLengthStep = 2},
    {.familyCode = 4, .recordLengthStep = 3, .halfStepUnits = true},
    {.familyCode = 5, .recordLengthStep = 7},
    {.familyCode = 11, .recordLengthStep = 10, .reservedMemoryBlock = true},
    {.familyCode = 14, .recordLengthStep = 10, .reservedMemoryBlock = true},
};

const KelsorFamily_t kOtherFamily = {.familyCode = 0, .recordLengthStep = 1};

} // namespace

const KelsorFamily_t* kelsorFamilyOf(const c_Digitizer_t* digitizer) {
    for (const KelsorFamily_t& row : kFamilies)
        if (row.familyCode == digitizer->descriptor.FamilyCode)
            return &row;
    return &kOtherFamily;
}

const KelsorFirmware_t* kelsorFirmwareOf(const c_Digitizer_t* digitizer) {
    for (const KelsorFirmware_t& row : kFirmwares)
        if (row.dppCode == digitizer->descriptor.DPPCode)
            return &row;
    return &kUnknownFirmware;
}

KelsorSpiWait_t kelsorScopeSpiWait(const c_Digitizer_t* digitizer) {
    for (const ScopeSpi& row : kScopeSpi)
        if (row.familyCode == digitizer->descriptor.FamilyCode)
            return row.spiWait;
    return KELSOR_SPI_NO_FAMILY;
}
