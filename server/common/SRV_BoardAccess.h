/*
 * SRV_BoardAccess: what the server does differently by how it reaches the
 * board, as one row a way: a board of the library's family drivers, or the
 * register-level device. A replay reaches its file the way the recorded
 * board was reached and takes that board's row. The open chooses the row
 * once from the board's descriptor and keeps it in the board record
 * (`access`); the cycle, the stops of met criteria, the SCA counters and the
 * board information read its facts, never the family code.
 */
#ifndef SRV_BOARD_ACCESS_H
#define SRV_BOARD_ACCESS_H

#include <stdint.h>

#include "ZarnRecords.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A field a row does not name is 0. */
typedef struct SRVBoardAccess_t {
    /* The board counts no SCA events itself: the server counts them into
     * DPPL_PARAM_CH_SCA_COUNTS and derives DPPL_PARAM_CH_SCA_RATE. */
    uint8_t softwareSCA{};
    /* Each cycle writes the channel's corrected input counts into
     * DPPL_PARAM_CH_ICR_COUNTS. */
    uint8_t icrCountsParameter{};
    /* A met stop criterion stops its own channel, and once no channel
     * acquires the raw-data recording ends as a board stop ends it; else it
     * stops the whole board, once for all the channels met in a cycle. */
    uint8_t criterionStopsChannel{};
    /* The board has no firmware release of its own: the open writes the
     * server's version into the descriptor's BoardFirmwareRel, which the
     * board information reports. */
    uint8_t serverVersionAsFirmware{};
    /* The family code of the board information: the descriptor's family in
     * the client's numbering (-1 for a family it has no code for). */
    int32_t (*familyCode)(uint32_t family){};
} SRVBoardAccess_t;

/* The row of the board a descriptor describes (a replay's: the recorded
 * board's). Never NULL. */
const SRVBoardAccess_t* SRV_BoardAccessOf(const c_BoardDescriptor_t* descriptor);

#ifdef __cplusplus
}
#endif

#endif /* SRV_BOARD_ACCESS_H */
