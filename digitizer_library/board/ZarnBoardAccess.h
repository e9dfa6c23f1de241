/*
 * ZarnBoardAccess: one row per way the library reaches a board's data, with
 * everything that differs between them: the live board through the
 * digitizer-access layer (ZarnDigitizer), the register-level device through
 * its own layer (CBoard_Morvane*), a replayed raw-data file, and the
 * second-generation families, which have no board layer at all (every call
 * on them answers "not supported"; the open refuses their files at once).
 *
 * The row of a record follows from what its open wrote, so it needs no field
 * of its own in the public record. Two lookups, by what the caller asks:
 * - ZarnAccess_OfData: the way to the record's data (the read, the clear,
 *   the board start and stop, the rewind, the software triggers, the
 *   calibration, the time counters, the readout's allocator): a replay
 *   reaches its file, and has no board to trigger, calibrate or count.
 * - ZarnAccess_OfBoard: the board the record stands for, replayed or not (its
 *   reset, channel commands, readout allocation and facts). A replay has no
 *   board, so those calls land on a board with no handle.
 * A record of kind 1 (a second-generation replay) takes the
 * second-generation row from both.
 */
#ifndef ZARN_BOARD_ACCESS_H
#define ZARN_BOARD_ACCESS_H

#include <stdint.h>

#include "ZarnFamilyRows.h"
#include "ZarnFirmwareTable.h"
#include "ZarnRecordQueries.h"
#include "ZarnRecords.h"

/* Every field is empty unless its row names it. */
typedef struct ZarnBoardAccess_t {
    const char* name{}; /* what the row stands for */
    /* Open (NULL for the replay, opened from its file): the board into the
     * record (0 or the access layer's code), what the record needs before
     * the board information (NULL: nothing), the board information into the
     * descriptor, what the record needs after the setup (NULL: nothing), and
     * the close of a failed open. */
    int (*open)(c_Digitizer_t* digitizer, const c_ConnParams_t* params){};
    int (*prepare)(c_Digitizer_t* digitizer){};
    int (*readInformation)(c_Digitizer_t* digitizer){};
    int (*finishOpen)(c_Digitizer_t* digitizer){};
    void (*undoOpen)(c_Digitizer_t* digitizer){};
    /* The close of an open record (NULL: no board to close). */
    void (*close)(c_Digitizer_t* digitizer){};
    int (*reset)(c_Digitizer_t* digitizer){};
    /* Clears the board's data: 0 or the code, logged by the caller. */
    int (*clear)(c_Digitizer_t* digitizer){};
    /* The board's own start and stop (NULL: no board to start or stop). */
    int (*start)(c_Digitizer_t* digitizer){};
    int (*stop)(c_Digitizer_t* digitizer){};
    /* A stopped replay starts again from its first record instead of
     * draining a board (NULL: the board is drained). */
    int (*rewind)(c_Digitizer_t* digitizer){};
    /* A running board that brought nothing for a while is flushed. */
    bool flushesWhenIdle{};
    /* A board start also opens every channel's run gate. */
    bool startOpensRunGates{};
    /* A channel's start (NULL: through the channel's run parameter) and stop. */
    int (*startChannel)(c_Digitizer_t* digitizer, int32_t channel){};
    int (*stopChannel)(c_Digitizer_t* digitizer, int32_t channel){};
    /* One read into the record's readout buffer. */
    int (*read)(c_Digitizer_t* digitizer){};
    /* A software trigger of the board, and of one channel (NULL: the board
     * has no channel trigger). */
    int (*softwareTrigger)(c_Digitizer_t* digitizer){};
    int (*channelSoftwareTrigger)(c_Digitizer_t* digitizer, int32_t channel){};
    /* The board's calibration before a start (NULL: nothing to calibrate). */
    int (*calibrate)(c_Digitizer_t* digitizer){};
    /* The channel's real time and dead time since the last read, in ns, from
     * counters the firmware has (NULL: no counters to read). */
    int (*readTimeCounters)(c_Digitizer_t* digitizer, const ZarnTimeCounters_t* counters, int32_t channel,
                            uint64_t* realTime, uint64_t* deadTime){};
    /* The readout buffer: its allocation, and who frees a buffer filled by hand. */
    int (*allocReadout)(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer){};
    uint8_t readoutAllocator{};
    /* The device's channel commands: automatic set start and stop, sample
     * advance (without them the calls do nothing). */
    bool channelAutoSet{};
    /* The active high-voltage range is read from the channel's control
     * register (otherwise it is range 0). */
    bool hvRangeFromControl{};
    /* The board's failure status can be checked and restored (a family
     * without a board layer has none). */
    bool boardStatus{};
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
int GENERIC_AccessStopSecondGeneration(c_Digitizer_t* digitizer);
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
extern const ZarnBoardAccess_t ZarnAccess_SecondGeneration;

#ifdef __cplusplus
}
#endif

/* How a board of the family is reached (the replay aside). */
static inline const ZarnBoardAccess_t* ZarnAccess_OfFamily(uint32_t familyCode) {
    return ZarnFamily_Find(familyCode)->reach == ZARN_REACH_REGISTER_LEVEL ? &ZarnAccess_Device : &ZarnAccess_Live;
}

/* The board the record stands for: its family's row, or for a replay the
 * recorded family's (the record's kind marks a second-generation one). */
static inline const ZarnBoardAccess_t* ZarnAccess_OfBoard(const c_Digitizer_t* digitizer) {
    if (isSecondGenerationReplay(digitizer))
        return &ZarnAccess_SecondGeneration;
    return ZarnAccess_OfFamily(digitizer->descriptor.FamilyCode);
}

/* The way to the record's data: a replay reaches its file. */
static inline const ZarnBoardAccess_t* ZarnAccess_OfData(const c_Digitizer_t* digitizer) {
    const ZarnBoardAccess_t* board = ZarnAccess_OfBoard(digitizer);
    return digitizer->replay && board != &ZarnAccess_SecondGeneration ? &ZarnAccess_Replay : board;
}

#endif
