/*
 * Kelsor: the plug-in of parameter functions.
 *
 * Every exported function is bound by its name (the code name that a
 * parameter definition gives) and has the signature of its bound function
 * type (ZarnParameters.h). The plug-in keeps no state, starts no thread and
 * takes no lock: every call works on the records it is given and on the
 * parameters it finds through the library (ZarnPluginSupport.h).
 *
 * Where each lives: converters in Kelsor_Converters.cpp, update hooks in
 * Kelsor_FilterHooks.cpp, Kelsor_BufferHooks.cpp and Kelsor_Hooks.cpp,
 * definition functions in Kelsor_Definitions.cpp, every function of the
 * high-voltage parameters in Kelsor_HighVoltage.cpp, the functions the board
 * does not offer in Kelsor_Unsupported.cpp; the helpers they share in
 * KelsorShared.h.
 */
#ifndef KELSOR_H
#define KELSOR_H

#include <stdbool.h>
#include <stdint.h>

#include "ZarnPluginSupport.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KELSOR_API      __attribute__((visibility("default")))
#define KELSOR_INTERNAL __attribute__((visibility("hidden")))
#else
#define KELSOR_API
#define KELSOR_INTERNAL
#endif

/* ---------------------------------------------------------- converters */

KELSOR_API uint32_t NanoToSample(const c_ParamRef_t* ref, double value);
KELSOR_API uint32_t NanoToSample2(const c_ParamRef_t* ref, double value);
KELSOR_API uint32_t NanoToSample4(const c_ParamRef_t* ref, double value);
KELSOR_API uint32_t NanoToSample8(const c_ParamRef_t* ref, double value);
KELSOR_API uint32_t NanoToSample12(const c_ParamRef_t* ref, double value);
KELSOR_API uint32_t NanoToSample16(const c_ParamRef_t* ref, double value);
KELSOR_API double SampleToNano(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API double SampleToNano2(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API double SampleToNano4(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API double SampleToNano8(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API double SampleToNano12(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API double SampleToNano16(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API uint32_t NanoToSample_offset3(const c_ParamRef_t* ref, double value);
KELSOR_API double SampleToNano_offset3(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API double ReliabToPercent(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API uint32_t EnfToShf(const c_ParamRef_t* ref, double enf);
KELSOR_API double ShfToEnf(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API uint32_t DC_OFFValToReg(const c_ParamRef_t* ref, double value);
KELSOR_API double DC_OFFRegToVal(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API uint32_t XMOR_DC_OFFValToReg(const c_ParamRef_t* ref, double value);
KELSOR_API double XMOR_DC_OFFRegToVal(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API uint32_t FTDValToReg(const c_ParamRef_t* ref, double value);
KELSOR_API double FTDRegToVal(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API uint32_t PolyFitInterp(const c_ParamRef_t* ref, double value);
KELSOR_API double PolyFitInterpInv(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API double PolyFitInterpInvHighRes(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API double IMonRegToVal(const c_ParamRef_t* ref, uint32_t field);
KELSOR_API uint32_t ScopeRecLenValToReg(const c_ParamRef_t* ref, double value);
KELSOR_API double ScopeRecLenRegToVal(const c_ParamRef_t* ref, uint32_t field);

/* --------------------------------------------------------- update hooks */

KELSOR_API int SetNewShift(const c_ParamRef_t* ref);
KELSOR_API int SetGainReg(const c_ParamRef_t* ref);
KELSOR_API int SetNewTrapNorm(const c_ParamRef_t* ref);
KELSOR_API int RecalcTriangParams(const c_ParamRef_t* ref);
KELSOR_API int UpdateFTD(const c_ParamRef_t* ref);
KELSOR_API int XMOR_UpdateDCO(const c_ParamRef_t* ref);
KELSOR_API int SetZeroCoarseDCO(const c_ParamRef_t* ref);
KELSOR_API int WaitSPIFreeDCOffset(const c_ParamRef_t* ref);
KELSOR_API int UpdateBuffOrg(const c_ParamRef_t* ref);
KELSOR_API int ScopeUpdateBuffOrg(const c_ParamRef_t* ref);
KELSOR_API int UpdateNumAggrBLT(const c_ParamRef_t* ref);
KELSOR_API int XMOR_UpdateNumAggrBLT(const c_ParamRef_t* ref);
KELSOR_API int ReallocBuffers(const c_ParamRef_t* ref);
KELSOR_API int RestorePLLUnlock(const c_ParamRef_t* ref);
KELSOR_API int UpdateSCAParams(const c_ParamRef_t* ref);
KELSOR_API int UpdateADCInhibitLen(const c_ParamRef_t* ref);
KELSOR_API int UpdateImonOffset(const c_ParamRef_t* ref);
KELSOR_API int HVRangeChanged(const c_ParamRef_t* ref);
KELSOR_API bool HVRangeParameterCheckSoftware(const c_ParamRef_t* ref);

/* ------------------------------------------------- definition functions */

KELSOR_API int ScopeRecLenRangeLimitsDefinition(c_Parameter_t* param);
KELSOR_API int HVRangeLimitsDefinition(c_Parameter_t* param);
KELSOR_API int HVPolarityValuesDefinition(c_Parameter_t* param);
KELSOR_API int ActiveHVRangeValuesDefinition(c_Parameter_t* param);

/* ------------------------------------- functions the board does not offer */

KELSOR_API int Vexil_DefineVirtualProbeParameterValues(c_Parameter_t* param);
KELSOR_API int Vexil_DefineWaveDownsamplingParameterValues(c_Parameter_t* param);
KELSOR_API int Vexil_RecordLengthLimitsDefinition(c_Parameter_t* param);
KELSOR_API int Vexil_SetChannelsTriggerMask(const c_ParamRef_t* ref, double value);
KELSOR_API int Vexil_SetChannelsTriggerMaskHL(const c_ParamRef_t* ref, double value);
KELSOR_API int Vexil_SetCoincMode(const c_ParamRef_t* ref, double value);
KELSOR_API int Vexil_SetRecordLengthParameter(const c_ParamRef_t* ref, double value);
KELSOR_API int Vexil_SetTriggerGeneric(const c_ParamRef_t* ref, double value);
KELSOR_API int Vexil_SetVirtualProbeParameter(const c_ParamRef_t* ref, double value);
KELSOR_API int Vexil_SetWaveDownsamplingParameter(const c_ParamRef_t* ref, double value);
KELSOR_API int Vexil_SetWaveformsParameter(const c_ParamRef_t* ref, double value);
KELSOR_API int Vexil_UpdateRecordLengthParameter(const c_ParamRef_t* ref);

#ifdef __cplusplus
}
#endif

#endif /* KELSOR_H */
