/*
 * ZarnTypes_Status: the log record of "ZarnDPPLayerLog.txt", where the status
 * texts' lines go. It sits at the level of the records, below every layer:
 * the exported interface and the record memory write to the same file
 * through ZarnDPPLayerShared.h, which includes this header.
 */
#ifndef ZARN_TYPES_STATUS_H
#define ZARN_TYPES_STATUS_H

#include "ZarnUtility.h"

static const c_LogModule_t ZarnDPPLayer_log = {"ZarnDPPLayerLog.txt", "ZarnDPPLayer"};

#endif
