/*
 * SRV_List: list mode. Per channel, the accepted events of an acquisition
 * (time tag, energy on the spectrum's bin scale, flags) go into a buffer of
 * client-chosen size (SRV_ListBuffers); a full buffer, and the acquisition
 * stop, write them to the channel's list file (text or packed binary,
 * SRV_ListWriter), or, without a file, they wait for command 36, which
 * empties the buffer. Command 35 sets a channel's list-mode settings
 * (SRV_ListCommands serves both commands).
 *
 * This module owns a channel's list-mode state, SRVListSave_t (declared in
 * SRV_BoardRecord.h): its start-up defaults, the start and stop of its
 * output, the per-cycle filter, new settings and its freeing. Everything
 * here runs under the board lock: handleListMode and SRV_HandleListSaving on
 * the board thread, the commands on the main thread.
 */
#ifndef SRV_LIST_H
#define SRV_LIST_H

#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_ListBuffers.h"
#include "SRV_ListWriter.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Actions of SRV_HandleListSaving. */
enum { SRV_LIST_ACTION_START = 0, SRV_LIST_ACTION_STOP = 1 };

/* The settings of a channel, one bit each; commands 35 and 36 use the same
 * bits in their data mask. */
#define SRV_LIST_SET_ENABLED      (1u << 0)
#define SRV_LIST_SET_FORMAT       (1u << 1)
#define SRV_LIST_SET_FILE_NAME    (1u << 2)
#define SRV_LIST_SET_FIELDS       (1u << 3)
#define SRV_LIST_SET_KEEP_PSEUDO  (1u << 4)
#define SRV_LIST_SET_BUFFER_SIZE  (1u << 5)
#define SRV_LIST_SET_KEEP_FLAG400 (1u << 10)
#define SRV_LIST_SET_ALL_ENERGIES (1u << 11)

/* Bits of the selected-fields value. */
#define SRV_LIST_FIELD_TIME_TAG (1u << 0)
#define SRV_LIST_FIELD_ENERGY   (1u << 1)
#define SRV_LIST_FIELD_FLAGS    (1u << 2)

/* New settings of a channel: the fields whose SRV_LIST_SET_ bit is in
 * `given`. */
typedef struct SRVListSettings_t {
    uint32_t given;
    uint32_t enabled;
    int32_t format;
    char fileName[SRV_PATH_SIZE];
    uint32_t fields;
    uint32_t keepPseudo;
    uint32_t bufferSize;
    uint32_t keepFlag400;
    uint32_t allEnergies;
} SRVListSettings_t;

/* Lists the channel's events of this readout: 0, or -1 when a flush of a
 * full buffer failed (logged with the file and the reason; a write that
 * failed ends the channel's listing until its stop, which reports it).
 * Board thread, board lock held. */
int handleListMode(SRVBoard_t* board, uint32_t channel);

/* Starts (action 0) or stops (action 1) list output for the enabled channels
 * of the mask (bit channel mod 32). 0, or the first failure: -1 (folder),
 * -41 (buffer), -17 / -44 (flush; -17 also a list file that could not be
 * written, or closed), -36 (file not opened). A stop keeps each list file it
 * could not complete among the board's run failures (SRV_RunFailures), with
 * the number of events the file misses. */
SRVStatus_t SRV_HandleListSaving(SRVBoard_t* board, uint32_t channelMask, uint32_t action);

/* Stores new settings of the channel (format and file name checked by the
 * caller). A buffer size that would lose buffered events, or end the listing
 * of the acquisition under way, is refused first with -41 and nothing
 * stored. A new format or file name while saving ends the current output and
 * opens the new one at once; a smaller buffer while saving first writes what
 * it would drop. 0, or the failure of the output ended or opened. */
SRVStatus_t SRV_SetListSettings(SRVBoard_t* board, SRVListSave_t* list, const SRVListSettings_t* settings);

/* The channel's selected fields as SRV_LIST_FIELD_ bits. */
uint32_t SRV_ListFields(const SRVListSave_t* list);

/* The start-up defaults of a channel, with the given list-file name (at most
 * 400 characters kept), and its arrays sized: 0, or -17 for no such channel. */
SRVStatus_t SRV_InitListSave(SRVBoard_t* board, uint32_t channel, const char* fileName);

/* The start-up defaults of every channel of the board, each with the list
 * file "<dataFolder>/ListData_ch<NN>.dat": 0 or -17. */
SRVStatus_t SRV_InitListSaves(SRVBoard_t* board, const char* dataFolder);

/* Closes the channel's list file and frees its arrays (the record stays
 * usable with bufferSize 0). */
void SRV_FreeListSave(SRVListSave_t* list);

/* SRV_FreeListSave for every channel record of the board. */
void SRV_FreeListSaves(SRVBoard_t* board);

/* 0 and the channel's record, or -33 after "Channel '%i' not found.". */
SRVStatus_t SRV_GetListSave(SRVBoard_t* board, int32_t channel, SRVListSave_t** out);

#ifdef __cplusplus
}
#endif

#endif /* SRV_LIST_H */
