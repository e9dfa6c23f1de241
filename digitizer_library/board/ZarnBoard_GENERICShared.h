/*
 * ZarnBoard_GENERICShared: small helpers shared by the pieces of the board
 * layer (acquisition control and the read path).
 */
#ifndef ZARN_BOARD_GENERIC_SHARED_H
#define ZARN_BOARD_GENERIC_SHARED_H

#include "ZarnRecordQueries.h"

static inline uint32_t acqChannels(const c_Digitizer_t* d) {
    return d->descriptor.NumChannels < DPPL_MAX_CHANNELS ? d->descriptor.NumChannels : DPPL_MAX_CHANNELS;
}

#endif
