/*
 * Orlu: the Orlu branch (DPP code 128) of the plug-in's filter hooks.
 */
#include "Orlu.h"

static const c_LogModule_t Orlu_log = {"OrluLog.txt", "Orlu"};

extern "C" int ORLU_SetNewShift(const c_ParamRef_t* ref) {
    static const KelsorShiftTexts_t texts = {
        "SetNewShift calling parameter not found. Can't get channel.",
        "[%d]: Can't get Trap Rise Time. Can't compute SHF.",
        "[%d]: Can't get Input Decay Time. Can't calculate SHF.",
        NULL,
        "[%d]: Can't get TRAP_NORM parameter. Can't set SHF value.",
    };
    return kelsorSetTrapShift(ref, &Orlu_log, &texts);
}
