/* KelsorFirmwareTable: the plug-in's per-DPP-code rows. */
#include "KelsorFirmwareTable.h"

#include <stddef.h>

namespace {

/* The log modules of the SetNewShift branches. */
const c_LogModule_t Orlu_log = {"OrluLog.txt", "Orlu"};
const c_LogModule_t Pemb_log = {"PembLog.txt", "Pemb"};

/* Orlu pulse height: the fine gain is optional (1.0 without it). */
const KelsorShiftBranch_t kOrluShift = {&Orlu_log,
                                        {
                                            "SetNewShift calling parameter not found. Can't get channel.",
                                            "[%d]: Can't get Trap Rise Time. Can't compute SHF.",
                                            "[%d]: Can't get Input Decay Time. Can't calculate SHF.",
                                            NULL,
                                            "[%d]: Can't get TRAP_NORM parameter. Can't set SHF value.",
                                        }};

/* Pemb pulse height: the fine gain is required. */
const KelsorShiftBranch_t kPembShift = {&Pemb_log,
                                        {
                                            "SetNewShift calling parameter not found. Can't get channel.",
                                            "[%i]: Can't get Trap Rise Time. Can't compute SHF.",
                                            "[%i]: Can't get Input Decay Time. Can't calculate SHF.",
                                            "[%d]: Can't get Fine Gain. Can't calculate SHF.",
                                            "[%i]: Can't get TRAP_NORM parameter. Can't set SHF value.",
                                        }};

/* clang-format off */
const KelsorFirmware_t kFirmwares[] = {
    /* code, SPI wait, SetNewShift branch, DC-offset polarity reversed */
    {0, KELSOR_SPI_BY_FAMILY, NULL, false},
    {1, KELSOR_SPI_UNSUPPORTED, NULL, false},
    {128, KELSOR_SPI_OWN, &kOrluShift, false},
    {130, KELSOR_SPI_OWN, NULL, false},
    {131, KELSOR_SPI_OWN, NULL, false},
    {132, KELSOR_SPI_OWN, NULL, false},
    {135, KELSOR_SPI_UNSUPPORTED, NULL, false},
    {136, KELSOR_SPI_SHARED, NULL, false},
    {139, KELSOR_SPI_SHARED, &kPembShift, false},
    {DPPL_DPPCODE_MORVANE, KELSOR_SPI_UNSUPPORTED, NULL, true},
};
/* clang-format on */

const KelsorFirmware_t kUnknownFirmware = {-1, KELSOR_SPI_UNSUPPORTED, NULL, false};

/* The standard waveform firmware's SPI by family. */
struct ScopeSpi {
    uint32_t familyCode;
    KelsorSpiWait_t spiWait;
};
const ScopeSpi kScopeSpi[] = {
    {0, KELSOR_SPI_OWN}, {5, KELSOR_SPI_OWN}, {11, KELSOR_SPI_SHARED}, {14, KELSOR_SPI_SHARED}};

/* clang-format off */
const KelsorFamily_t kFamilies[] = {
    /* code, record-length step, half-step units, reserved memory block */
    {0, 2, false, false},
    {3, 2, false, false},
    {4, 3, true, false},
    {5, 7, false, false},
    {11, 10, false, true},
    {14, 10, false, true},
};
/* clang-format on */

const KelsorFamily_t kOtherFamily = {0, 1, false, false};

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
