/*
 * ZarnRecordQueries: the small questions every layer of the library asks of
 * a digitizer record (is it open, how many channel and group slots does it
 * use) and the setting of its firmware's type name.
 */
#ifndef ZARN_RECORD_QUERIES_H
#define ZARN_RECORD_QUERIES_H

#include <string.h>

#include "ZarnRecords.h"

/* An open board or a replayed file of the families without a board layer. */
static inline bool isOpenRecord(const c_Digitizer_t* digitizer) {
    return digitizer != NULL && (digitizer->kind == DGTZ_KIND_OPEN || digitizer->kind == DGTZ_KIND_GEN2_REPLAY);
}

/* A replayed file of a family without a board layer: nothing reads its data
 * or its parameters (the open refuses it once its buffers are made). */
static inline bool isSecondGenerationReplay(const c_Digitizer_t* digitizer) {
    return digitizer != NULL && digitizer->kind == DGTZ_KIND_GEN2_REPLAY;
}

/* Counts of the descriptor, kept within the record's slot arrays. */
static inline int32_t channelCount(const c_Digitizer_t* digitizer) {
    return digitizer->descriptor.NumChannels < DPPL_MAX_CHANNELS ? digitizer->descriptor.NumChannels
                                                                 : DPPL_MAX_CHANNELS;
}
static inline int32_t groupCount(const c_Digitizer_t* digitizer) {
    return digitizer->descriptor.NumGroups < DPPL_MAX_GROUPS ? digitizer->descriptor.NumGroups : DPPL_MAX_GROUPS;
}

/* The descriptor's firmware type name, cut to its field and terminated. */
static inline void setTypeName(c_Digitizer_t* digitizer, const char* name) {
    memset(digitizer->descriptor.DPPTypeName, 0, sizeof digitizer->descriptor.DPPTypeName);
    strncpy(digitizer->descriptor.DPPTypeName, name, sizeof digitizer->descriptor.DPPTypeName - 1);
}

/* Zeroes the descriptor's reserved fields and padding, which a descriptor
 * filled from a board's information must carry as zeros. */
static inline void clearReservedFields(c_BoardDescriptor_t* descriptor) {
    memset(descriptor->Reserved, 0, sizeof descriptor->Reserved);
    memset(descriptor->Reserved2, 0, sizeof descriptor->Reserved2);
    memset(descriptor->ReservedText1, 0, sizeof descriptor->ReservedText1);
    memset(descriptor->ReservedText2, 0, sizeof descriptor->ReservedText2);
    memset(descriptor->Pad1, 0, sizeof descriptor->Pad1);
    memset(descriptor->Pad2, 0, sizeof descriptor->Pad2);
}

#endif
