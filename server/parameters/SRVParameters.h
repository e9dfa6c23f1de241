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
 * SRV_ParameterBuild builds and frees it; SRV_ParameterCommands serves the
 * parameter commands from it.
 */
#ifndef SRV_PARAMETERS_H
#define SRV_PARAMETERS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "SRVParameter.h"
#include "SRV_BoardRecord.h"

#ifdef __cplusplus
extern "C" {
#endif

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

/* The server parameter of a code name in the collection: NULL when the name
 * is unknown, the collection is NULL or has no such parameter. */
SRVParameter_t* SRV_FindParameter(SRVBoard_t* board, const c_ParamCollection_t* collection, const char* codename);

#ifdef __cplusplus
}

/* A field of a record that shows the value of the server parameter of a code
 * name in the record's collection. */
template <typename Value>
struct SRVValueBinding {
    const char* name;
    Value** field;
};

/* Points each field of a table of SRVValueBinding at its parameter's value: false at the first
 * parameter missing from the collection. */
template <typename Table>
bool SRV_BindParameterValues(SRVBoard_t* board, const c_ParamCollection_t* collection, const Table& table) {
    for (const auto& binding : table) {
        SRVParameter_t* parameter = SRV_FindParameter(board, collection, binding.name);
        if (parameter == nullptr)
            return false;
        *binding.field = &parameter->value;
    }
    return true;
}

/* Clears each field of the table, so that no record points into freed
 * parameters. */
template <typename Table>
void SRV_UnbindParameterValues(const Table& table) {
    for (const auto& binding : table)
        *binding.field = nullptr;
}
#endif

#endif /* SRV_PARAMETERS_H */
