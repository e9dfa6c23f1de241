/*
 * Pemb: the Pemb branch (DPP code 139) of the plug-in's filter hooks.
 */
#ifndef KELSOR_PEMB_H
#define KELSOR_PEMB_H

#include "Kelsor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* SetNewShift on DPP code 139: the fine gain is required. */
KELSOR_INTERNAL int PEMB_SetNewShift(const c_ParamRef_t* ref);

#ifdef __cplusplus
}
#endif

#endif /* KELSOR_PEMB_H */
