// The software SCA counters of a channel: reset at a start, one event
// counted, the rate once a second.
#include "SRV_SCACounters.h"

#include "SRVParameters.h"

// The counters log into the spectra's log, as they always have.
static const c_LogModule_t LOG_MODULE = {"SRV_SpectraLog.txt", "SRV_Spectra"};

namespace {

SRVChannel_t* validChannel(SRVBoard_t* board, uint32_t channel) {
    if (board == nullptr || !SRV_IsValidChannel(board, static_cast<int32_t>(channel)))
        return nullptr;
    return &board->channels[channel];
}

// A channel's SCA parameter, or NULL after the message at the given level.
c_Parameter_t* findSCAParameter(SRVBoard_t* board, uint32_t channel, int32_t code, uint32_t level,
                                const char* missing) {
    c_Parameter_t* param = c_pfindc(&board->digitizer, static_cast<int32_t>(channel), code);
    if (param == nullptr)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, level, __LINE__, "%s", missing);
    return param;
}

// A count held within 0 .. INT64_MAX; NaN gives 0.
uint64_t countOf(double value) {
    if (!(value >= 0.0))
        return 0;
    if (value >= static_cast<double>(INT64_MAX))
        return INT64_MAX;
    return static_cast<uint64_t>(value);
}

} // namespace

SRVStatus_t SRV_ResetSCACounters(SRVBoard_t* board, uint32_t channel, uint64_t now) {
    SRVChannel_t* frame = validChannel(board, channel);
    if (frame == nullptr)
        return SRV_ERR_RESOURCE;
    c_Parameter_t* enable = findSCAParameter(board, channel, DPPL_PARAM_CH_SCA_ENABLE, C_LOG_DETAIL,
                                             "Can't find DPPL_PARAM_CH_SCA_ENABLE.");
    if (enable == nullptr)
        return SRV_ERR_RESOURCE;
    if (enable->value != 1.0)
        return SRV_SUCCESS;
    c_Parameter_t* rate =
        findSCAParameter(board, channel, DPPL_PARAM_CH_SCA_RATE, C_LOG_DETAIL, "Can't find DPPL_PARAM_CH_SCA_RATE.");
    c_Parameter_t* start = rate == nullptr ? nullptr
                                           : findSCAParameter(board, channel, DPPL_PARAM_CH_SCA_START_TIME,
                                                              C_LOG_DETAIL, "Can't find DPPL_PARAM_CH_SCA_START_TIME.");
    c_Parameter_t* counts = start == nullptr ? nullptr
                                             : findSCAParameter(board, channel, DPPL_PARAM_CH_SCA_COUNTS, C_LOG_DETAIL,
                                                                "Can't find DPPL_PARAM_CH_SCA_COUNTS.");
    if (counts == nullptr)
        return SRV_ERR_RESOURCE;
    rate->value = 0.0;
    counts->value = 0.0;
    start->value = static_cast<double>(now);
    frame->scaPreviousCount = 0;
    return SRV_SUCCESS;
}

c_Parameter_t* SRV_FindSCACounts(SRVBoard_t* board, uint32_t channel) {
    if (validChannel(board, channel) == nullptr)
        return nullptr;
    return findSCAParameter(board, channel, DPPL_PARAM_CH_SCA_COUNTS, C_LOG_ERROR,
                            "Cannot find SCA Counts parameter. Can't update it.");
}

SRVStatus_t SRV_CountSCAEvent(SRVBoard_t* board, uint32_t channel) {
    if (validChannel(board, channel) == nullptr)
        return SRV_ERR_RESOURCE;
    if (!board->access->softwareSCA)
        return SRV_SUCCESS;
    c_Parameter_t* counts = SRV_FindSCACounts(board, channel);
    if (counts == nullptr)
        return SRV_ERR_RESOURCE;
    SRV_AddSCAEvent(counts);
    return SRV_SUCCESS;
}

SRVStatus_t SRV_UpdateSCARate(SRVBoard_t* board, uint32_t channel, uint64_t elapsedMs) {
    SRVChannel_t* frame = validChannel(board, channel);
    if (frame == nullptr)
        return SRV_ERR_RESOURCE;
    if (!board->access->softwareSCA)
        return SRV_SUCCESS;
    c_Parameter_t* rate = findSCAParameter(board, channel, DPPL_PARAM_CH_SCA_RATE, C_LOG_ERROR,
                                           "Cannot find SCA Rate parameter. Can't update it.");
    if (rate == nullptr)
        return SRV_ERR_RESOURCE;
    c_Parameter_t* counts = findSCAParameter(board, channel, DPPL_PARAM_CH_SCA_COUNTS, C_LOG_ERROR,
                                             "Cannot find SCA Counts parameter. Can't update it.");
    if (counts == nullptr)
        return SRV_ERR_RESOURCE;
    // No time has passed: the rate stays as it was rather than dividing by 0.
    if (elapsedMs != 0)
        rate->value = (counts->value - static_cast<double>(frame->scaPreviousCount)) / static_cast<double>(elapsedMs);
    frame->scaPreviousCount = countOf(counts->value);
    return SRV_SUCCESS;
}
