/*
 * Orlu: the Orlu branch (DPP code 128) of the plug-in's filter hooks.
 */
#ifndef KELSOR_ORLU_H
#define KELSOR_ORLU_H

#include "Kelsor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* SetNewShift on DPP code 128: the fine gain is optional (1.0 without it). */
KELSOR_INTERNAL int ORLU_SetNewShift(const c_ParamRef_t* ref);

#ifdef __cplusplus
}
#endif

#endif /* KELSOR_ORLU_H */
