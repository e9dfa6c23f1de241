/*
 * SRV_ListBuffers: a channel's list-mode event buffer, the three arrays of
 * time tags, energies and flags that SRVListSave_t holds, and its event
 * count. Only the list modules size, free or empty them; other modules empty
 * a buffer through SRV_DropListEvents.
 */
#ifndef SRV_LIST_BUFFERS_H
#define SRV_LIST_BUFFERS_H

#include <stdbool.h>
#include <stdint.h>

#include "SRV_BoardRecord.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A start refuses a buffer of more events than this. */
#define SRV_LIST_MAX_EVENTS 65536u

/* Whether all three arrays are allocated. */
bool SRV_ListArraysPresent(const SRVListSave_t* list);

/* Reallocates the three arrays to bufferSize events; a failed reallocation
 * leaves that array NULL. A size above SRV_LIST_MAX_EVENTS, which no start
 * accepts, leaves all three NULL. A count above the new size is cut to it,
 * and is 0 while any array is missing. */
void SRV_ResizeListBuffers(SRVListSave_t* list);

/* Frees the three arrays: the buffer holds no event and has size 0. */
void SRV_FreeListBuffers(SRVListSave_t* list);

/* Drops every buffered event. NULL is ignored. */
void SRV_DropListEvents(SRVListSave_t* list);

/* Takes the first `saved` events out of the buffer (at most its count): the
 * others move to its front, still buffered. */
void SRV_DropSavedListEvents(SRVListSave_t* list, uint32_t saved);

#ifdef __cplusplus
}
#endif

#endif /* SRV_LIST_BUFFERS_H */
