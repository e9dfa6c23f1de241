/*
 * ZarnBoardAccess: one row per way the library reaches a board's data, with
 * everything that differs between them: the live board through the
 * digitizer-access layer (ZarnDigitizer), the register-level device through
 * its own layer (CBoard_Morvane*), and a replayed raw-data file.
 *
 * The row of a record follows from what its open wrote, so it needs no field
 * of its own in the public record: a record opened from a file is the replay;
 * otherwise its family's row (ZarnFamilyRows) says how the board is reached.
 * A replay has no board: what it does not answer itself (reset, the channel
 * start and stop, the software triggers, the readout allocation, the device's
 * channel commands) is left empty in its row, and the callers take it from
 * the recorded family's row (ZarnAccess_OfBoard), a call on a board with no
 * handle.
 */
#ifndef ZARN_BOARD_ACCESS_H
#define ZARN_BOARD_ACCESS_H

#include <stdint.h>

#include "ZarnFamilyRows.h"
#include "ZarnRecords.h"

typedef struct ZarnBoardAccess_t {
    const char* name; /* what the row stands for */
    /* Open (NULL for the replay, opened from its file): the board into the
     * record (0 or the access layer's code), what the record needs before
     * the board information (NULL: nothing), the board information into the
     * descriptor, what the record needs after the setup (NULL: nothing), and
     * the close of a failed open. */
    int (*open)(c_Digitizer_t* digitizer, const c_ConnParams_t* params);
    int (*prepare)(c_Digitizer_t* digitizer);
    int (*readInformation)(c_Digitizer_t* digitizer);
    int (*finishOpen)(c_Digitizer_t* digitizer);
    void (*undoOpen)(c_Digitizer_t* digitizer);
    /* The close of an open record (NULL: no board to close). */
    void (*close)(c_Digitizer_t* digitizer);
    int (*reset)(c_Digitizer_t* digitizer);
    /* Clears the board's data: 0 or the code, logged by the caller. */
    int (*clear)(c_Digitizer_t* digitizer);
    /* The board's own start and stop (NULL: no board to start or stop). */
    int (*start)(c_Digitizer_t* digitizer);
    int (*stop)(c_Digitizer_t* digitizer);
    /* A stopped replay starts again from its first record instead of
     * draining a board (NULL: the board is drained). */
    int (*rewind)(c_Digitizer_t* digitizer);
    /* A running board that brought nothing for a while is flushed. */
    bool flushesWhenIdle;
    /* A board start also opens every channel's run gate. */
    bool startOpensRunGates;
    /* A channel's start (NULL: through the channel's run parameter) and stop. */
    int (*startChannel)(c_Digitizer_t* digitizer, int32_t channel);
    int (*stopChannel)(c_Digitizer_t* digitizer, int32_t channel);
    /* One read into the record's readout buffer. */
    int (*read)(c_Digitizer_t* digitizer);
    int (*softwareTrigger)(c_Digitizer_t* digitizer);
    int (*channelSoftwareTrigger)(c_Digitizer_t* digitizer, int32_t channel);
    /* The readout buffer: its allocation, and who frees a buffer filled by hand. */
    int (*allocReadout)(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer);
    uint8_t readoutAllocator;
    /* The device's channel commands: automatic set start and stop, sample
     * advance (without them the calls do nothing). */
    bool channelAutoSet;
    /* The active high-voltage range is read from the channel's control
     * register (otherwise it is range 0). */
    bool hvRangeFromControl;
} ZarnBoardAccess_t;

#ifdef __cplusplus
extern "C" {
#endif

/* The rows' functions that the board layer keeps beside the code they share
 * (they log in its modules). */
int GENERIC_AccessOpenLive(c_Digitizer_t* digitizer, const c_ConnParams_t* params);
int GENERIC_AccessOpenDevice(c_Digitizer_t* digitizer, const c_ConnParams_t* params);
int GENERIC_AccessReadLiveInformation(c_Digitizer_t* digitizer);
int GENERIC_AccessAllocateDeviceBuffers(c_Digitizer_t* digitizer);
void GENERIC_AccessUndoLiveOpen(c_Digitizer_t* digitizer);
int GENERIC_AccessResetLive(c_Digitizer_t* digitizer);
int GENERIC_AccessClearLive(c_Digitizer_t* digitizer);
int GENERIC_AccessStartLive(c_Digitizer_t* digitizer);
int GENERIC_AccessStopLive(c_Digitizer_t* digitizer);
int GENERIC_AccessStopLiveChannel(c_Digitizer_t* digitizer, int32_t channel);
int GENERIC_AccessRewindReplay(c_Digitizer_t* digitizer);
int GENERIC_AccessReadReplay(c_Digitizer_t* digitizer);
int GENERIC_AccessReadLive(c_Digitizer_t* digitizer);
int GENERIC_AccessAllocLiveReadout(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer);
int GENERIC_AccessAllocDeviceReadout(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer);

/* The row of the live board and of the register-level device, which the
 * open picks from its connection parameters (none: the device). */
extern const ZarnBoardAccess_t ZarnAccess_Live;
extern const ZarnBoardAccess_t ZarnAccess_Device;
extern const ZarnBoardAccess_t ZarnAccess_Replay;

#ifdef __cplusplus
}
#endif

/* How a board of the family is reached (the replay aside). */
static inline const ZarnBoardAccess_t* ZarnAccess_OfFamily(uint32_t familyCode) {
    return ZarnFamily_Find(familyCode)->reach == ZARN_REACH_REGISTER_LEVEL ? &ZarnAccess_Device : &ZarnAccess_Live;
}

/* The row of an open record. */
static inline const ZarnBoardAccess_t* ZarnAccess_Of(const c_Digitizer_t* digitizer) {
    return digitizer->replay ? &ZarnAccess_Replay : ZarnAccess_OfFamily(digitizer->descriptor.FamilyCode);
}

/* The row of the board the record stands for: its own, or for a replay the
 * recorded family's (what holds of a board whichever way it is reached, and
 * what a replay does not answer itself). */
static inline const ZarnBoardAccess_t* ZarnAccess_OfBoard(const c_Digitizer_t* digitizer) {
    return ZarnAccess_OfFamily(digitizer->descriptor.FamilyCode);
}

#endif
