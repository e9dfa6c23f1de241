/*
 * SRV_IndexPath: the object types of an index path and the reading of its
 * pairs into the indexes of a lookup.
 */
#ifndef SRV_INDEX_PATH_H
#define SRV_INDEX_PATH_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The type element of an index path, and the parent type of saved
 * configurations. */
typedef enum SRVObjectType_t {
    SRV_OBJ_BOARD = 1,
    SRV_OBJ_CHANNEL = 2,
    SRV_OBJ_HV_CHANNEL = 3,
    SRV_OBJ_HV_RANGE = 4,
    SRV_OBJ_LVDS_GROUP = 5,
    SRV_OBJ_VIRTUAL_TRACE = 6,
    SRV_OBJ_PARAMETER = 7,
    SRV_OBJ_ENERGY_SPECTRUM = 9,
    SRV_OBJ_MCS_SPECTRUM = 10,
    SRV_OBJ_ROI = 11,
    SRV_OBJ_MON_OUT = 15,
    SRV_OBJ_DT_SPECTRUM = 16
} SRVObjectType_t;

/* An index path: pairs (index, object type), at most this many elements. */
#define SRV_INDEX_PATH_MAX 12

/* Where a lookup keeps the index of one object type of an index path. */
typedef struct SRVPathSlot_t {
    int32_t type; /* SRVObjectType_t */
    int32_t* index;
} SRVPathSlot_t;

/* Reads the pairs (index, type) of an index path into the slots of their
 * types: a later pair of a type wins, a lone last element is ignored, a NULL
 * path holds no pair. False for a type that has no slot. */
bool SRV_ReadIndexPath(const int32_t* path, uint32_t length, const SRVPathSlot_t* slots, uint32_t slotCount);

#ifdef __cplusplus
}
#endif

#endif /* SRV_INDEX_PATH_H */
