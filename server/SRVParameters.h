/*
 * SRVParameters: the server parameter tree of the open board.
 *
 * When the board is opened the server builds its own parameters for every
 * object of the board from "ServerParams.xml" (which parameters the server
 * offers, in build order) and "ServerDefinitions.xml" (their definitions):
 * the board, each channel with its energy spectrum, the spectrum's ROI and
 * gain stabiliser, the channel's MCS spectrum when the firmware has one, the
 * board's time-interval spectrum, each LVDS group, virtual trace, HV channel
 * with its ranges, and each monitor output. The parameters of one object form
 * one collection indexed by server code; a map from code name to code (the
 * parameter indexes map, in the board record) serves every lookup by name.
 *
 * The tree does not change while the board is open, so lookups need no lock.
 * It must be freed before the digitizer record (its simple parameters borrow
 * the library's).
 */
#ifndef SRV_PARAMETERS_H
#define SRV_PARAMETERS_H

#include <stdbool.h>
#include <stdint.h>

#include "SRVParameter.h"
#include "SRV_Common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Slots of the parameter indexes map. */
#define SRV_PARAMETER_INDEXES_SLOTS 1024

/* Builds the whole tree of the board record from its digitizer record: 0, or
 * -31 (SRV_ERR_SERVER_PARAMETERS) after a logged failure, with everything
 * built so far freed. Complex parameters write their defaults into the board
 * while they are created. */
SRVStatus_t SRV_InitServerParameters(SRVBoard_t* board);
/* The collection of one object of a category (element name of
 * ServerDefinitions.xml / ServerParams.xml), from the ServerParams.xml
 * document: every "Parameter" the board supports, entered into the parameter
 * indexes map. NULL after a logged failure. */
c_ParamCollection_t* SRV_CreateParameterCollection(SRVBoard_t* board, xmlDocPtr paramsDoc, const char* category,
                                                   const uint32_t* indexVector, int32_t level);
/* Frees the whole tree (collections cleared, counts of the built objects set
 * to 0) and the parameter indexes map, and the per-channel records the build
 * hands out (last-waveform copy) or that hang off the channels (list-mode
 * arrays). Call it before the digitizer record is freed or reopened. */
void SRV_FreeServerParameters(SRVBoard_t* board);
/* Frees every server parameter of the collection, then the collection. NULL
 * is a no-op. */
void SRV_FreeParameterCollection(c_ParamCollection_t* collection);

/* The server code of a code name (from the parameter indexes map): 0 and the
 * code, or -1 when the name is unknown. */
int SRV_GetParameterCode(SRVBoard_t* board, const char* codename, int32_t* code);

/* Lookups by object and code: the parameter, or NULL (a bad index is
 * logged). */
SRVParameter_t* SRV_GetBoardParameter(SRVBoard_t* board, int32_t code);
SRVParameter_t* SRV_GetChannelParameter(SRVBoard_t* board, int32_t channel, int32_t code);
SRVParameter_t* SRV_GetLVDSGroupParameter(SRVBoard_t* board, int32_t group, int32_t code);
SRVParameter_t* SRV_GetVirtualTraceParameter(SRVBoard_t* board, int32_t trace, int32_t code);
SRVParameter_t* SRV_GetHVChannelParameter(SRVBoard_t* board, int32_t hvChannel, int32_t code);
SRVParameter_t* SRV_GetMonOutParameter(SRVBoard_t* board, int32_t monOut, int32_t code);
SRVParameter_t* SRV_GetDTSpectrumParameter(SRVBoard_t* board, int32_t spectrum, int32_t code);
SRVParameter_t* SRV_GetEnergySpectrumParameter(SRVBoard_t* board, int32_t channel, int32_t spectrum, int32_t code);
SRVParameter_t* SRV_GetMCSSpectrumParameter(SRVBoard_t* board, int32_t channel, int32_t spectrum, int32_t code);
SRVParameter_t* SRV_GetHVRangeParameter(SRVBoard_t* board, int32_t hvChannel, int32_t range, int32_t code);
SRVParameter_t* SRV_GetROIParameter(SRVBoard_t* board, int32_t channel, int32_t spectrum, int32_t roi, int32_t code);

/* Validity of object indexes (a negative index is never valid). Counts come
 * from the digitizer record, bounded by the board record's arrays, and from
 * the counts the build stored. */
bool SRV_IsValidChannel(const SRVBoard_t* board, int32_t channel);
bool SRV_IsValidLVDSGroup(const SRVBoard_t* board, int32_t group);
bool SRV_IsValidVirtualTrace(const SRVBoard_t* board, int32_t trace);
bool SRV_IsValidHVChannel(const SRVBoard_t* board, int32_t hvChannel);
bool SRV_IsValidMonOut(const SRVBoard_t* board, int32_t monOut);
bool SRV_IsValidDTSpectrum(const SRVBoard_t* board, int32_t spectrum);
bool SRV_IsValidEnergySpectrum(const SRVBoard_t* board, int32_t channel, int32_t spectrum);
bool SRV_IsValidMCSSpectrum(const SRVBoard_t* board, int32_t channel, int32_t spectrum);
bool SRV_IsValidHVRange(const SRVBoard_t* board, int32_t hvChannel, int32_t range);
bool SRV_IsValidROI(const SRVBoard_t* board, int32_t channel, int32_t spectrum, int32_t roi);
/* Whether the channel has the library parameter DPPL_PARAM_CH_MCS_CHANNELS. */
bool SRV_IsMCSSupported(SRVBoard_t* board, int32_t channel);

/* How many objects of each kind the board record serves: the digitizer's
 * counts, bounded by the board record's arrays and the digitizer record's. */
uint32_t SRV_ChannelCount(const SRVBoard_t* board);
uint32_t SRV_LVDSGroupCount(const SRVBoard_t* board);
uint32_t SRV_VirtualTraceCount(const SRVBoard_t* board);
uint32_t SRV_HVChannelCount(const SRVBoard_t* board);
uint32_t SRV_HVRangeCount(const SRVBoard_t* board, uint32_t hvChannel);
uint32_t SRV_MonOutCount(const SRVBoard_t* board);

/* ------------------------------------------------------ parameter commands
 *
 * Commands 13, 14 and 15 address a parameter with an index path: int32
 * pairs (index, SRVObjectType_t). The code (type 7) decides the category:
 * the first category whose code range holds it, in the order board, channel,
 * HV channel, HV range, energy spectrum, ROI, MCS spectrum, LVDS group,
 * virtual trace, monitor output, time-interval spectrum; the other pairs
 * give the indexes of the owning object. The lookup reads only the tree and
 * the counts, so it runs before the board lock is taken.
 */

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
int SRVParameters_GetValueDescription(const SRVParameter_t* param, double value,
                                      char description[SRV_PARAM_TEXT_SIZE]);

/* Commands 13, 14, 15, 39, 40 and 53 (the command handler signature). */
void* SRV_CmdSetParameter(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                          uint32_t* replySize, SRVStatus_t* status);
void* SRV_CmdGetParameter(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                          uint32_t* replySize, SRVStatus_t* status);
void* SRV_CmdGetParameterInfo(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                              uint32_t* replySize, SRVStatus_t* status);
void* SRV_CmdStartAutoSet(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                          uint32_t* replySize, SRVStatus_t* status);
void* SRV_CmdStopAutoSet(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                         uint32_t* replySize, SRVStatus_t* status);
void* SRV_CmdSampleAdvance(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                           uint32_t* replySize, SRVStatus_t* status);

#ifdef __cplusplus
}
#endif

#endif /* SRV_PARAMETERS_H */
