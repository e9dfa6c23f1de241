/*
 * ZarnDPPLayerShared: what the pieces of the exported interface share: the
 * record queries, and the log record ("ZarnDPPLayerLog.txt") with the
 * interface's failure line, which sit below every layer in
 * ZarnTypes_Status.h because the board layer and the record memory write
 * them too.
 */
#ifndef ZARN_DPP_LAYER_SHARED_H
#define ZARN_DPP_LAYER_SHARED_H

#include "ZarnRecordQueries.h"
#include "ZarnRecords.h"
#include "ZarnTypes_Status.h"

#endif
