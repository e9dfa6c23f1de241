/*
 * ZarnPluginSupport: what the parameter-function plug-in (Kelsor) uses of
 * the library.
 *
 * The plug-in works on the records it is handed (c_ParamRef_t, c_Parameter_t
 * and the digitizer record with its descriptor, channel collections, coarse
 * DC-offset tables and high-voltage blocks) and reaches the rest through
 * these exported calls:
 *   - parameter look-up and values: c_pfind, c_pfindc, c_pfindg, c_pfindhvc,
 *     c_pfindhvr, c_pget, c_pset, c_pset_nopref;
 *   - board services: c_brealloc, c_calcTriangParams, c_restorePLLUnlock;
 *   - board-prefixed logging: c_extendedLogMsg;
 * with the status codes, DPPL_PARAM_* codes and size constants of the
 * exported headers. Board registers it reads through the board-access layer
 * itself (ZarnDigitizer.h), the utility layer gives it time and plain logs.
 */
#ifndef ZARN_PLUGIN_SUPPORT_H
#define ZARN_PLUGIN_SUPPORT_H

#include "ZarnDPPLayer.h"

#endif /* ZARN_PLUGIN_SUPPORT_H */
