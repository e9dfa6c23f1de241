/*
 * Kelsor_Unsupported: functions that definitions name for features these
 * boards do not offer; each answers DPPL_ERR_NOT_SUPPORTED (the record-length
 * update NULL_ARGUMENT when the board has no record length at all).
 */
#include "Kelsor.h"

extern "C" {

int Vexil_DefineVirtualProbeParameterValues(c_Parameter_t*) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_DefineWaveDownsamplingParameterValues(c_Parameter_t*) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_RecordLengthLimitsDefinition(c_Parameter_t*) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetChannelsTriggerMask(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetChannelsTriggerMaskHL(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetCoincMode(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetRecordLengthParameter(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetTriggerGeneric(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetVirtualProbeParameter(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetWaveDownsamplingParameter(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetWaveformsParameter(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }

int Vexil_UpdateRecordLengthParameter(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    return c_pfind(ref->board, DPPL_PARAM_RECLEN) != NULL ? DPPL_ERR_NOT_SUPPORTED : DPPL_ERR_NULL_ARGUMENT;
}

} // extern "C"
