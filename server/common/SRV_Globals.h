/*
 * SRV_Globals: the one global record of the process (board record,
 * definitions documents, run-file path, working folder, index levels) and
 * the category index levels read from the server definitions.
 */
#ifndef SRV_GLOBALS_H
#define SRV_GLOBALS_H

#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "ZarnUtility.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Category slots of the index levels. */
enum {
    SRV_LEVEL_BOARD = 0,
    SRV_LEVEL_CHANNEL = 1,
    SRV_LEVEL_LVDS_GROUP = 2,
    SRV_LEVEL_VIRTUAL_TRACE = 3,
    SRV_LEVEL_HV_CHANNEL = 4,
    SRV_LEVEL_HV_RANGE = 5,
    SRV_LEVEL_ENERGY_SPECTRUM = 6,
    SRV_LEVEL_MCS_SPECTRUM = 7,
    SRV_LEVEL_DT_SPECTRUM = 8,
    SRV_LEVEL_ROI = 9,
    SRV_LEVEL_MON_OUT = 10,
    SRV_LEVEL_COUNT = 11
};

/* What SRV_GetCategoryIndexLevel gives when a level can't be read. */
#define SRV_INVALID_LEVEL 0x4FFFFFFF

typedef struct SRVGlobals_t {
    SRVBoard_t board;
    xmlDocPtr serverDefinitions;  /* owned */
    xmlDocPtr libraryDefinitions; /* borrowed from the library */
    char runFilePath[SRV_PATH_SIZE];
    char workingFolder[SRV_FOLDER_SIZE];
    uint8_t noConnection; /* option -h */
    int32_t levels[SRV_LEVEL_COUNT];
} SRVGlobals_t;

/* The one global record of the process (NULL before SRV_InitGlobals). */
extern SRVGlobals_t* SRV_Globals;

/* Fills the level slots of the global record from the ServerDefinitions
 * document: 0 or -1. */
int SRV_GetCategoryIndexLevels(void);
/* The "level" of the category element, or SRV_INVALID_LEVEL. */
int32_t SRV_GetCategoryIndexLevel(const char* categoryName);

#ifdef __cplusplus
}
#endif

#endif /* SRV_GLOBALS_H */
