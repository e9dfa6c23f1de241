/*
 * SRV_BoardIdentity: the texts that name the open board: its descriptor's
 * text fields and its data folder "<model name>_<serial number>".
 */
#ifndef SRV_BOARD_IDENTITY_H
#define SRV_BOARD_IDENTITY_H

#include <stddef.h>
#include <string.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The length of a text field of the board descriptor, which need not hold a
 * terminator; SRV_DESCRIPTOR_TEXT(field) gives the pair a "%.*s" takes. */
static inline int SRV_DescriptorTextLength(const char* field, size_t size) {
    return static_cast<int>(strnlen(field, size));
}
#define SRV_DESCRIPTOR_TEXT(field) SRV_DescriptorTextLength((field), sizeof(field)), (field)

/* "<model name>_<serial number>" of the open board into dataPath: 0, -1 or
 * -17. */
SRVStatus_t SRV_GetBoardDataPath(const SRVBoard_t* board, char dataPath[SRV_FOLDER_SIZE]);
/* The data folder of the board a descriptor describes (one not open yet, as
 * a recording's): false when it does not fit. */
bool SRV_FormatDataPath(const c_BoardDescriptor_t* descriptor, char dataPath[SRV_FOLDER_SIZE]);

#ifdef __cplusplus
}
#endif

#endif /* SRV_BOARD_IDENTITY_H */
