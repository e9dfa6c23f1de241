/*
 * ZarnDPPLayerShared: what the pieces of the exported interface and the
 * record memory share: their log record ("ZarnDPPLayerLog.txt"), the
 * interface's failure line, the record-kind tests and the descriptor's
 * counts kept within the record's slot arrays.
 */
#ifndef ZARN_DPP_LAYER_SHARED_H
#define ZARN_DPP_LAYER_SHARED_H

#include "ZarnRecords.h"

static const c_LogModule_t ZarnDPPLayer_log = {"ZarnDPPLayerLog.txt", "ZarnDPPLayer"};

/* "From <function>: <status text>", the interface's failure line. */
static inline void logFrom(const char* function, int code) {
    c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__, "From %s: %s", function, c_decodeError(code));
}

/* The failure of an exported function, logged once with its name. */
static inline int failedIn(const char* function, int code) {
    if (code < 0)
        logFrom(function, code);
    return code;
}

static inline bool isOpenRecord(const c_Digitizer_t* digitizer) {
    return digitizer != NULL && (digitizer->kind == DGTZ_KIND_OPEN || digitizer->kind == DGTZ_KIND_GEN2_REPLAY);
}

static inline bool isMorvane(const c_Digitizer_t* digitizer) {
    return digitizer->descriptor.FamilyCode == DPPL_FAMILY_MORVANE;
}

/* Counts of the descriptor, kept within the record's slot arrays. */
static inline int32_t channelCount(const c_Digitizer_t* digitizer) {
    return digitizer->descriptor.NumChannels < DPPL_MAX_CHANNELS ? digitizer->descriptor.NumChannels
                                                                 : DPPL_MAX_CHANNELS;
}
static inline int32_t groupCount(const c_Digitizer_t* digitizer) {
    return digitizer->descriptor.NumGroups < DPPL_MAX_GROUPS ? digitizer->descriptor.NumGroups : DPPL_MAX_GROUPS;
}

#endif
