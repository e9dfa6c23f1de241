/*
 * SRV_ParameterCommands: the parameter commands on the server parameter tree.
 *
 * Commands 13, 14 and 15 address a parameter with an index path: int32
 * pairs (index, SRVObjectType_t). The code (type 7) decides the category:
 * the first category whose code range holds it, in the order board, channel,
 * HV channel, HV range, energy spectrum, ROI, MCS spectrum, LVDS group,
 * virtual trace, monitor output, time-interval spectrum; the other pairs
 * give the indexes of the owning object. The lookup reads only the tree and
 * the counts, so it runs before the board lock is taken.
 */
#ifndef SRV_PARAMETER_COMMANDS_H
#define SRV_PARAMETER_COMMANDS_H

#include <stdint.h>

#include "SRVParameter.h"
#include "SRV_BoardRecord.h"

#ifdef __cplusplus
extern "C" {
#endif

/* At most this many values are described by an information record. */
#define SRV_PARAM_INFO_MAX_VALUES 20

/* The description of one parameter (command 15). */
typedef struct SRVParameterInfo_t {
    int32_t kind; /* 0 range, 1 list, -1 neither */
    char unitSymbol[SRV_PARAM_TEXT_SIZE];
    char unitBase[SRV_PARAM_TEXT_SIZE];
    char unitName[SRV_PARAM_TEXT_SIZE];
    int32_t unitPower;
    uint32_t valueCategory; /* lists only */
    /* 1 acquisition on allowed, 2 HV configuration, 4 HV on allowed,
     * 8 readable, 16 writable; 0 for a complex parameter */
    uint32_t flags;
    double min, max, step; /* ranges only */
    uint32_t count;        /* lists only */
    double values[SRV_PARAM_INFO_MAX_VALUES];
    char valueCodenames[SRV_PARAM_INFO_MAX_VALUES][SRV_PARAM_TEXT_SIZE];
    char valueDescriptions[SRV_PARAM_INFO_MAX_VALUES][SRV_PARAM_TEXT_SIZE];
    char name[SRV_PARAM_TEXT_SIZE];
    char codename[SRV_PARAM_TEXT_SIZE];
} SRVParameterInfo_t;

/* The parameter that an index path of length elements addresses: 0, or -10
 * (out NULL) for a type that owns no parameter, a code of no category, a bad
 * object index or a missing parameter. */
int SRVParameters_FindByCode(SRVBoard_t* board, const int32_t* path, uint32_t length, SRVParameter_t** out);
/* The object type of the category whose code range holds the code, or 7
 * (SRV_OBJ_PARAMETER) after "Parameter type for id '%i' not found.". */
int32_t SRVParameters_GetParameterType(SRVBoard_t* board, int32_t code);
/* 1 for a complex parameter; the library parameter's type (0 range, 1 list)
 * for the others; -1 for NULL, an undecided kind or any other type. */
int32_t SRVParameters_GetKind(const SRVParameter_t* param);
/* The information record: 0, or -1 when the parameter is neither a range
 * nor a list. A list describes at most SRV_PARAM_INFO_MAX_VALUES values. */
int SRVParameters_GetInfo(c_Digitizer_t* dig, const SRVParameter_t* param, SRVParameterInfo_t* info);
/* The value table: list values, their code names and their descriptions
 * (a complex parameter: its value codes, "NOT DEFINED", "Not defined.").
 * Fills at most capacity entries (any output may be NULL); returns how many
 * the table holds. A range parameter has none. */
uint32_t SRVParameters_GetValuesList(const SRVParameter_t* param, double* values,
                                     char (*codenames)[SRV_PARAM_TEXT_SIZE], char (*descriptions)[SRV_PARAM_TEXT_SIZE],
                                     uint32_t capacity);
/* The value of the first table entry with that code name (compared over 48
 * characters): 0; -17 NULL argument; -37 range parameter; -10 not found. */
int SRVParameters_GetValueFromCodename(const SRVParameter_t* param, const char* codename, double* value);
/* Appends the code name of the first entry equal to value ("Range
 * parameter." for a range): 0; -17 NULL argument; -37 no such entry. */
int SRVParameters_GetValueCodename(const SRVParameter_t* param, double value, char codename[SRV_PARAM_TEXT_SIZE]);
/* Appends the description of the first entry equal to value (a range: the
 * value as "%.3f", at most 46 characters): 0; -17; -37 as above. */
int SRVParameters_GetValueDescription(const SRVParameter_t* param, double value, char description[SRV_PARAM_TEXT_SIZE]);

#ifdef __cplusplus
}
#endif

#endif /* SRV_PARAMETER_COMMANDS_H */
