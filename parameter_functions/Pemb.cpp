/*
 * Pemb: the Pemb branch (DPP code 139) of the plug-in's filter hooks.
 */
#include "Pemb.h"

static const c_LogModule_t Pemb_log = {"PembLog.txt", "Pemb"};

extern "C" int PEMB_SetNewShift(const c_ParamRef_t* ref) {
    static const KelsorShiftTexts_t texts = {
        "SetNewShift calling parameter not found. Can't get channel.",
        "[%i]: Can't get Trap Rise Time. Can't compute SHF.",
        "[%i]: Can't get Input Decay Time. Can't calculate SHF.",
        "[%d]: Can't get Fine Gain. Can't calculate SHF.",
        "[%i]: Can't get TRAP_NORM parameter. Can't set SHF value.",
    };
    return kelsorSetTrapShift(ref, &Pemb_log, &texts);
}
