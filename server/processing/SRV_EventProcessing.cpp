// Per-cycle event processing. After each readout the cycle consumes the
// events that the library decoded into the record's per-channel arrays (valid
// until the next readout): input counts, the energy spectrum with its ROI,
// the stop criteria, the dead time and the corrected input counts, the
// auto-triggers and the SCA rate, and the steps of the multichannel-scaling,
// waveform, time-interval, gain-stabiliser and list-mode records. A stop
// consumes the events of its last read the same way. Library parameters are
// looked up afresh each cycle.
#include "SRV_EventProcessing.h"

#include "SRVParameters.h"
#include "SRV_DTSpectrum.h"
#include "SRV_GainStabilizer.h"
#include "SRV_List.h"
#include "SRV_MCS.h"
#include "SRV_SCACounters.h"
#include "SRV_Spectra.h"
#include "SRV_Waveforms.h"

#include <cmath>
#include <cstring>
#include <iterator>

// The processing runs on the board thread and logs with it.
static const c_LogModule_t LOG_MODULE = {"SRVBoardThreadLog.txt", "SRVBoardThread"};

namespace {

// The SCA rate is computed at most once a second.
const uint64_t SCA_RATE_PERIOD_MS = 1000;
// Results of the dead-time and auto-trigger steps.
const int DEAD_TIME_FAILED = -11;
const int TRIGGER_REFUSED = -4;

// The dead-time model's constants, in the units of the library's parameters
// they combine with. The input rate y is corrected to
// y' = y / (1 - RISE_RATE_FACTOR x rise x y), and the live time measured
// scaled by exp(-T x y'), with a pulse's time
// T = PULSE_EDGES x (trapezoid rise + RISE_OFFSET) + hold-off
//     + flat-top delay x PERCENT x flat top + flat top.
const double RISE_RATE_FACTOR = 1.88;
const double PULSE_EDGES = 2.0;
const double RISE_OFFSET = 170.0;
const double PERCENT = 0.01; // the flat-top delay is a percentage of the flat top

// A parameter value converted to an unsigned 64-bit integer, truncated; NaN
// and negative values give 0, values beyond the range its maximum.
uint64_t toUnsigned64(double value) {
    if (!(value > 0.0))
        return 0;
    if (value >= 18446744073709551615.0)
        return UINT64_MAX;
    return static_cast<uint64_t>(value);
}

// Milliseconds from `since` to `now`; 0 when `since` lies ahead.
uint64_t elapsedSince(uint64_t now, uint64_t since) { return now > since ? now - since : 0; }

// What the cycle knows of the whole board.
struct CycleState {
    uint64_t now;
    uint32_t channels; // SRV_ChannelCount, asked once a cycle
    bool waveformsOn;
    bool boardAutoTrigger; // DPPL_PARAM_AUTO_TRG_TIMEOUT exists
    // The board's row: what the server counts and publishes itself.
    const SRVBoardAccess_t* access;
    bool anyEvent;
    // The events of a stop's last read: the channels that acquired before
    // the stop consume them although the library has stopped them, and a
    // met criterion stops nothing more.
    bool draining;
    // Channels whose stop criterion was met in this cycle. The board thread
    // stops them once every channel has consumed its events of the readout,
    // because the stop's own read replaces them.
    uint64_t criterionMet;
};

uint64_t channelBit(uint32_t channel) { return 1ull << (channel % 64); }

// The cycle's view of the board: false, after the message, without
// DPPL_PARAM_WAVEFORMS.
bool beginCycle(SRVBoard_t* board, CycleState* cycle, bool draining) {
    c_Digitizer_t* digitizer = &board->digitizer;
    cycle->now = c_get_time();
    cycle->channels = SRV_ChannelCount(board);
    cycle->access = board->access;
    cycle->boardAutoTrigger = c_pfind(digitizer, DPPL_PARAM_AUTO_TRG_TIMEOUT) != NULL;
    cycle->anyEvent = false;
    cycle->draining = draining;
    cycle->criterionMet = 0;
    c_Parameter_t* waveforms = c_pfind(digitizer, DPPL_PARAM_WAVEFORMS);
    if (waveforms == NULL) {
        cycle->waveformsOn = false;
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Can't find DPPL_PARAM_WAVEFORMS.");
        return false;
    }
    // A value that is not a number counts as on.
    cycle->waveformsOn = waveforms->value != 0.0;
    return true;
}

// The histogram of a spectrum as one cycle uses it: its bin scale and its
// limits, truncated once (they can't change while the cycle holds the lock).
struct Histogram {
    uint32_t bins;
    uint32_t shift;
    uint32_t lld;
    uint32_t uld;
    uint32_t roiLow;
    uint32_t roiHigh;
    SRVROI_t* roi; // NULL: no ROI bound
};

Histogram histogramOf(SRVEnergySpectrum_t* spectrum) {
    Histogram h;
    h.bins = SRV_SpectrumBinCount(spectrum);
    h.shift = SRV_SpectrumBinShift(spectrum);
    h.lld = SRV_SpectrumLevel(spectrum->lld);
    h.uld = SRV_SpectrumLevel(spectrum->uld);
    SRVROI_t* roi = spectrum->roiCount > 0 ? &spectrum->rois[0] : NULL;
    bool bound = roi != NULL && roi->low != NULL && roi->high != NULL;
    h.roi = bound ? roi : NULL;
    h.roiLow = bound ? SRV_SpectrumLevel(roi->low) : 1;
    h.roiHigh = bound ? SRV_SpectrumLevel(roi->high) : 0;
    return h;
}

// The values the stop criteria compare, in mode order: the spectrum's real
// time, live time, entries and ROI entries.
struct StopValues {
    uint64_t of[SRV_STOP_MODES];
};
const size_t ENTRIES_MODE = 2;
const size_t ROI_ENTRIES_MODE = 3;

StopValues stopValuesOf(const SRVEnergySpectrum_t* spectrum) {
    return {
        {spectrum->total.realTimeNs, spectrum->total.liveTimeNs, spectrum->total.entries, spectrum->rois[0].entries}};
}

// The first stop mode whose limit its value has reached, or SRV_STOP_MODES
// (limits NULL: the channel has no stop criteria).
inline size_t reachedStopMode(const StopValues& values, const uint64_t* limits) {
    if (limits == NULL)
        return SRV_STOP_MODES;
    for (size_t mode = 0; mode < SRV_STOP_MODES; mode++) {
        if (limits[mode] != 0 && values.of[mode] >= limits[mode])
            return mode;
    }
    return SRV_STOP_MODES;
}

// What one channel's events of a readout add to its input count and its
// spectrum's counters. The walk counts here, in registers, and writes the
// counts back once: counted in the records, each event would wait for the
// previous event's stores before its stop test could read them.
struct EventTally {
    StopValues stop; // as they stand after the events counted so far
    uint64_t entriesBefore;
    uint64_t inputCount;
    uint32_t underflows;
    uint32_t overflows;
    bool hadEvents; // an event that is not a pseudo event came
};

EventTally tallyOf(const SRVChannel_t* frame, const SRVEnergySpectrum_t* spectrum) {
    EventTally tally;
    tally.stop = stopValuesOf(spectrum);
    tally.entriesBefore = spectrum->total.entries;
    tally.inputCount = frame->inputCount;
    tally.underflows = 0;
    tally.overflows = 0;
    tally.hadEvents = false;
    return tally;
}

void writeBack(const EventTally& tally, SRVChannel_t* frame, SRVEnergySpectrum_t* spectrum, const Histogram& h) {
    uint64_t entries = tally.stop.of[ENTRIES_MODE];
    frame->inputCount = tally.inputCount;
    spectrum->cycle.entries += entries - tally.entriesBefore;
    spectrum->total.entries = entries;
    if (h.roi != NULL)
        h.roi->entries = tally.stop.of[ROI_ENTRIES_MODE];
    spectrum->total.underflows += tally.underflows;
    spectrum->cycle.underflows += tally.underflows;
    spectrum->total.overflows += tally.overflows;
    spectrum->cycle.overflows += tally.overflows;
}

// One event into the histogram. The bin is checked against the bin count,
// which never exceeds the histogram, so no energy indexes past it.
inline void histogramEvent(uint32_t* counts, EventTally& tally, const Histogram& h, uint16_t energy) {
    uint32_t bin = static_cast<uint32_t>(energy) >> h.shift;
    if (bin < h.lld) {
        tally.underflows++;
    } else if (bin > h.uld || bin >= h.bins) {
        tally.overflows++;
    } else {
        counts[bin]++;
        tally.stop.of[ENTRIES_MODE]++;
        if (h.roi != NULL && bin >= h.roiLow && bin <= h.roiHigh)
            tally.stop.of[ROI_ENTRIES_MODE]++;
    }
}

bool isSCAOn(SRVBoard_t* board, uint32_t channel) {
    c_Parameter_t* enable = c_pfindc(&board->digitizer, static_cast<int32_t>(channel), DPPL_PARAM_CH_SCA_ENABLE);
    return enable != NULL && enable->value != 0.0;
}

bool isDTReference(const SRVBoard_t* board, uint32_t channel) {
    const SRVDTSpectrum_t* dt = &board->dtSpectra[0];
    return board->dtSpectrumCount > 0 && dt->enabled && dt->referenceChannel == channel;
}

// A stop criterion of the channel is met: a cycle logs it
// (SRV_CheckStopCriteria) and has the board thread stop the channel; a
// stop's drain, which stops nothing more, ends the channel's events in
// silence.
void stopAtCriterion(SRVBoard_t* board, CycleState& cycle, uint32_t channel, const SRVEnergySpectrum_t* spectrum,
                     const uint64_t* limits) {
    if (!cycle.draining)
        SRV_CheckStopCriteria(board, spectrum, limits);
    cycle.criterionMet |= channelBit(channel);
}

// The events of one acquiring channel; true when one that is not a pseudo
// event came.
bool processEvents(SRVBoard_t* board, CycleState& cycle, uint32_t channel, const uint64_t* stopLimits) {
    c_ChannelRecord_t* record = &board->digitizer.channels[channel];
    SRVChannel_t* frame = &board->channels[channel];
    SRVEnergySpectrum_t* spectrum = &frame->energySpectra[0];
    const Histogram histogram = histogramOf(spectrum);
    const bool scaCounting = cycle.access->softwareSCA && isSCAOn(board, channel);
    c_Parameter_t* scaCounts = NULL; // the SCA counts parameter, found at the first event it counts
    const bool dtReference = isDTReference(board, channel);
    uint32_t count = record->nEvents < record->capacity ? record->nEvents : record->capacity;
    EventTally tally = tallyOf(frame, spectrum);
    c_DPPEvent_t* stopEvent = NULL;

    for (uint32_t i = 0; i < count; i++) {
        c_DPPEvent_t* event = &record->events[i];
        if (reachedStopMode(tally.stop, stopLimits) != SRV_STOP_MODES) {
            stopEvent = event;
            break;
        }
        uint32_t flags = event->flags;
        if (flags & EVTFLAG_PSEUDO)
            continue;
        tally.hadEvents = true;
        if ((flags & SRV_NOT_INPUT_FLAG) == 0)
            tally.inputCount++;
        if (flags & EVTFLAG_MCS)
            SRV_HandleMCSDatum(board, channel, event);
        if ((flags & SRV_NOT_HISTOGRAMMED_FLAGS) == 0)
            histogramEvent(spectrum->counts, tally, histogram, event->energy);
        if (scaCounting && (flags & SRV_NOT_SCA_FLAG) == 0) {
            if (scaCounts == NULL && (scaCounts = SRV_FindSCACounts(board, channel)) == NULL)
                break;
            SRV_AddSCAEvent(scaCounts);
        }
        if (cycle.waveformsOn && i == 0) {
            int status = SRV_StoreEventWaveform(board, channel, event);
            if (status != 0) {
                c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                                 "Error copying channel %u waveform (err = '%i').", channel, status);
                break;
            }
        }
        if (dtReference) {
            int status = SRV_FillDTSpectrum(&board->dtSpectra[0], board->digitizer.channels, cycle.channels, i);
            if (status != 0) {
                c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                                 "Error filling Delta T spectrum (err = '%i').", status);
                break;
            }
        }
    }

    writeBack(tally, frame, spectrum, histogram);
    if (stopEvent != NULL) {
        // The event that carries the flag and the later ones are not
        // processed; the cycle's list-mode step saves up to it.
        stopEvent->flags |= EVTFLAG_STOP_CRITERION;
        stopAtCriterion(board, cycle, channel, spectrum, stopLimits);
    }
    return tally.hadEvents;
}

// One channel of the cycle; false when one of its steps failed.
bool processChannel(SRVBoard_t* board, CycleState& cycle, uint32_t channel) {
    c_Digitizer_t* digitizer = &board->digitizer;
    c_ChannelRecord_t* record = &digitizer->channels[channel];
    SRVChannel_t* frame = &board->channels[channel];
    SRVEnergySpectrum_t* spectrum = &frame->energySpectra[0];
    bool channelAutoTrigger =
        !cycle.draining && c_pfindc(digitizer, static_cast<int32_t>(channel), DPPL_PARAM_CH_AUTO_TRG_TIMEOUT) != NULL;
    if (!cycle.draining && !SRV_IsAcquiring(record->acqStatus))
        return true;

    uint64_t limits[SRV_STOP_MODES];
    const uint64_t* stopLimits = SRV_GetStopLimits(board, channel, limits) ? limits : NULL;
    std::memset(&spectrum->cycle, 0, sizeof spectrum->cycle);
    uint64_t elapsedPeriod = elapsedSince(cycle.now, spectrum->periodStart);
    uint64_t elapsedSCA = elapsedSince(cycle.now, frame->scaTime);
    bool hadEvents = false;

    if (record->nEvents == 0 || record->events == NULL) {
        if (reachedStopMode(stopValuesOf(spectrum), stopLimits) != SRV_STOP_MODES)
            stopAtCriterion(board, cycle, channel, spectrum, stopLimits);
    } else {
        hadEvents = processEvents(board, cycle, channel, stopLimits);
    }
    if (hadEvents)
        cycle.anyEvent = true;

    // The steps after it need no board time: they run also when it failed.
    int status = SRV_UpdateDeadTime(board, channel);
    if (status != 0)
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Error in DeadTime calculations (%i).", status);
    if (cycle.access->icrCountsParameter &&
        c_pfindc(digitizer, static_cast<int32_t>(channel), DPPL_PARAM_CH_ICR_COUNTS) != NULL &&
        SRV_UpdateICRCounts(board, channel) != 0)
        return false;

    if (hadEvents) {
        frame->lastEventTime = cycle.now;
        if (cycle.now > board->lastEventTime)
            board->lastEventTime = cycle.now;
    } else if (cycle.waveformsOn && channelAutoTrigger && SRV_ChannelAutoTrigger(board, channel, cycle.now) != 0) {
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Error managing channel AutoTrigger.");
    }

    if (spectrum->period != 0 && elapsedPeriod > spectrum->period)
        spectrum->periodStart = cycle.now;

    if (elapsedSCA > SCA_RATE_PERIOD_MS) {
        frame->scaTime = cycle.now;
        status = cycle.access->softwareSCA ? SRV_UpdateSCARate(board, channel, elapsedSCA) : 0;
        if (status != 0) {
            c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__,
                             "Can't update channel %u SCA count rate (err = '%i').", channel, status);
            return false;
        }
    }

    if (handleGainStabilization(board, &spectrum->gainStabilizer) != 0) {
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Error in handleGainStabilization.");
        return false;
    }
    return true;
}

} // namespace

bool SRV_IsValidEnergyEvent(const c_DPPEvent_t* event) { return (event->flags & SRV_NOT_HISTOGRAMMED_FLAGS) == 0; }

bool SRV_GetStopLimits(SRVBoard_t* board, uint32_t channel, uint64_t limits[SRV_STOP_MODES]) {
    const int32_t codes[SRV_STOP_MODES] = {DPPL_PARAM_CH_STOP_MODE_REALTIME, DPPL_PARAM_CH_STOP_MODE_LIVETIME,
                                           DPPL_PARAM_CH_STOP_MODE_TOTAL_COUNTS, DPPL_PARAM_CH_STOP_MODE_COUNTS_IN_ROI};
    bool on = true;
    for (int mode = 0; mode < SRV_STOP_MODES; mode++) {
        c_Parameter_t* param = c_pfindc(&board->digitizer, static_cast<int32_t>(channel), codes[mode]);
        if (param == NULL) {
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__,
                             "Can't find a stop-criteria related parameter. Assuming not supported by the digitizer. "
                             "Going on.");
            on = false;
            limits[mode] = 0;
            continue;
        }
        limits[mode] = toUnsigned64(param->value);
    }
    return on;
}

bool SRV_CheckStopCriteria(SRVBoard_t* board, const SRVEnergySpectrum_t* spectrum,
                           const uint64_t limits[SRV_STOP_MODES]) {
    size_t mode = reachedStopMode(stopValuesOf(spectrum), limits);
    if (mode == SRV_STOP_MODES)
        return false;
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_INFO, __LINE__,
                     "Stop criteria for mode '%zu' met! Stop value = '%llu'", mode,
                     static_cast<unsigned long long>(limits[mode]));
    return true;
}

int SRV_UpdateDeadTime(SRVBoard_t* board, uint32_t channel) {
    SRVChannel_t* frame = &board->channels[channel];
    if (frame->boardTimeMissing)
        return 0;
    uint64_t realTime = 0;
    uint64_t deadTime = 0;
    int result = c_getRealtimeAndDeadtime(&board->digitizer, static_cast<int32_t>(channel), &realTime, &deadTime);
    if (result == 0)
        return SRV_AccumulateDeadTime(board, channel, realTime, deadTime);
    // A firmware without these counters, or a replay, which has no board to
    // read them from, has them for no channel, now or later in the run:
    // reported once, and not asked again until the next start.
    if (result == DPPL_ERR_NOT_SUPPORTED || board->digitizer.replay) {
        uint32_t channels = SRV_ChannelCount(board);
        for (uint32_t other = 0; other < channels; other++)
            board->channels[other].boardTimeMissing = 1;
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_INFO, __LINE__,
                         "Error in c_getRealtimeAndDeadtime (%i): no real and dead time from the board in this run; "
                         "the spectra keep the times they have.",
                         result);
        return 0;
    }
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Error in c_getRealtimeAndDeadtime (%i)",
                     result);
    return DEAD_TIME_FAILED;
}

double SRV_CorrectedInputRate(double rate, double rise) {
    double denominator = std::fma(-(rise * RISE_RATE_FACTOR), rate, 1.0);
    // At or past the model's pole the correction would be infinite or
    // negative: the measured rate is the only one known.
    if (!(denominator > 0.0))
        return rate;
    double corrected = rate / denominator;
    return std::isfinite(corrected) ? corrected : rate;
}

int SRV_AccumulateDeadTime(SRVBoard_t* board, uint32_t channel, uint64_t realTimeNs, uint64_t deadTimeNs) {
    SRVChannel_t* frame = &board->channels[channel];
    SRVSpectrumCounters_t* total = &frame->energySpectra[0].total;
    frame->realTimeSum += realTimeNs;
    frame->deadTimeSum += deadTimeNs;
    uint64_t real = frame->realTimeSum;
    uint64_t dead = frame->deadTimeSum;
    // A dead time above the real time leaves no live time (rather than a
    // live time that wraps round).
    uint64_t live = real > dead ? real - dead : 0;

    if (frame->inputCount == 0 || real == 0 || live == 0) {
        total->liveTimeNs = live;
        total->realTimeNs = real;
        total->deadTimeNs = dead;
        return 0;
    }

    static const struct {
        const int32_t* code;
        const char* missing;
    } MODEL[] = {
        {&DPPL_PARAM_CH_RCCR2_RISE, "Can't find DPPL_PARAM_CH_RCCR2_RISE"},
        {&DPPL_PARAM_CH_TRAP_TRISE, "Can't find DPPL_PARAM_CH_TRAP_TRISE"},
        {&DPPL_PARAM_CH_TRAP_TFLAT, "Can't find DPPL_PARAM_CH_TRAP_TFLAT"},
        {&DPPL_PARAM_CH_TRAP_FTD, "Can't find DPPL_PARAM_CH_TRAP_FTD"},
        {&DPPL_PARAM_CH_PEAK_HOLDOFF, "Can't find DPPL_PARAM_CH_PEAK_HOLDOFF"},
    };
    double value[std::size(MODEL)];
    for (size_t i = 0; i < std::size(MODEL); i++) {
        c_Parameter_t* param = c_pfindc(&board->digitizer, static_cast<int32_t>(channel), *MODEL[i].code);
        if (param == NULL) {
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "%s", MODEL[i].missing);
            return -7;
        }
        value[i] = param->value;
    }
    const double rise = value[0], trise = value[1], tflat = value[2], ftd = value[3], holdoff = value[4];

    double rate = static_cast<double>(frame->inputCount) / static_cast<double>(live);
    double correctedRate = SRV_CorrectedInputRate(rate, rise);
    double pulseTime = PULSE_EDGES * (trise + RISE_OFFSET) + holdoff + ftd * PERCENT * tflat + tflat;
    // The corrected live time lies between 0 and the live time measured, so
    // the dead time derived from it never wraps round.
    double corrected = std::exp(-pulseTime * correctedRate) * static_cast<double>(live);
    uint64_t correctedLive = toUnsigned64(corrected);
    if (correctedLive > live)
        correctedLive = live;
    total->liveTimeNs = correctedLive;
    total->realTimeNs = real;
    total->deadTimeNs = real - correctedLive;
    frame->icrCounts = static_cast<double>(real) * correctedRate;
    return 0;
}

int SRV_UpdateICRCounts(SRVBoard_t* board, uint32_t channel) {
    if (!board->access->icrCountsParameter)
        return 0;
    c_Parameter_t* icr = c_pfindc(&board->digitizer, static_cast<int32_t>(channel), DPPL_PARAM_CH_ICR_COUNTS);
    if (icr == NULL) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Cannot find ICR Counts parameter. Can't update it.");
        return SRV_ERR_RESOURCE;
    }
    icr->value = board->channels[channel].icrCounts;
    return 0;
}

int SRV_ChannelAutoTrigger(SRVBoard_t* board, uint32_t channel, uint64_t now) {
    c_Digitizer_t* digitizer = &board->digitizer;
    c_Parameter_t* timeout = c_pfindc(digitizer, static_cast<int32_t>(channel), DPPL_PARAM_CH_AUTO_TRG_TIMEOUT);
    double value = 0.0;
    int result = timeout != NULL ? c_pget(digitizer, timeout, &value) : DPPL_ERR_NULL_ARGUMENT;
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__,
                         "Cannot get DPPL_PARAM_CH_AUTO_TRG_TIMEOUT (err=%i).", result);
        return SRV_ERR_COMMUNICATION;
    }
    if (toUnsigned64(value) == 0)
        return 0;
    if (elapsedSince(now, board->channels[channel].lastEventTime) > toUnsigned64(value * 0.001)) {
        result = c_sendcswtrigger(digitizer, static_cast<int32_t>(channel));
        if (result != 0) {
            c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Cannot send SW Trigger (err=%i).", result);
            return TRIGGER_REFUSED;
        }
    }
    return 0;
}

int SRV_BoardAutoTrigger(SRVBoard_t* board, uint64_t now) {
    c_Digitizer_t* digitizer = &board->digitizer;
    c_Parameter_t* timeout = c_pfind(digitizer, DPPL_PARAM_AUTO_TRG_TIMEOUT);
    double value = 0.0;
    int result = timeout != NULL ? c_pget(digitizer, timeout, &value) : DPPL_ERR_NULL_ARGUMENT;
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__,
                         "Cannot get DPPL_PARAM_AUTO_TRG_TIMEOUT (err=%i).", result);
        return SRV_ERR_COMMUNICATION;
    }
    if (!(value > 0.0) || elapsedSince(now, board->lastEventTime) <= toUnsigned64(value * 0.001))
        return 0;
    c_Parameter_t* waveforms = c_pfind(digitizer, DPPL_PARAM_WAVEFORMS);
    if (waveforms == NULL) {
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Can't get Acquisition Mode.");
        return SRV_ERR_OPEN_DIGITIZER;
    }
    // The library sends it the way the board is reached (the device has a
    // trigger of its own).
    if (waveforms->value >= 1.0 || waveforms->value <= -1.0) {
        result = c_sendswtrigger(digitizer);
        if (result != 0) {
            c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Cannot send SW Trigger (err=%i).", result);
            return TRIGGER_REFUSED;
        }
    }
    return 0;
}

namespace {

// The list-mode step of the channels of the mask. A list file that can't be
// written ends that channel's listing (its stop reports it); the other
// channels are listed all the same, and the acquisition goes on.
void listModeStep(SRVBoard_t* board, const CycleState& cycle, uint64_t channelMask) {
    for (uint32_t channel = 0; channel < cycle.channels; channel++)
        if ((channelMask & channelBit(channel)) != 0 && handleListMode(board, channel) != 0)
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Error in handleListMode.");
}

} // namespace

int SRV_ProcessCycleEvents(SRVBoard_t* board, uint64_t* criterionMet) {
    c_Digitizer_t* digitizer = &board->digitizer;
    CycleState cycle;
    *criterionMet = 0;
    if (!beginCycle(board, &cycle, false))
        return SRV_ERR_OPEN_DIGITIZER;

    // A channel whose step fails (logged where it fails) does not keep the
    // next channels' events of this readout from their spectra.
    for (uint32_t channel = 0; channel < cycle.channels; channel++)
        processChannel(board, cycle, channel);

    if (!cycle.anyEvent && cycle.waveformsOn && cycle.boardAutoTrigger && SRV_BoardAutoTrigger(board, cycle.now) != 0)
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Error managing AutoTrigger.");

    *criterionMet = cycle.criterionMet;
    listModeStep(board, cycle, UINT64_MAX);
    return 0;
}

void SRV_ProcessStopDrain(SRVBoard_t* board, uint64_t channelMask) {
    CycleState cycle;
    beginCycle(board, &cycle, true);
    for (uint32_t channel = 0; channel < cycle.channels; channel++)
        if ((channelMask & channelBit(channel)) != 0)
            processChannel(board, cycle, channel);
    // A failed flush is reported by the stop's own flush.
    listModeStep(board, cycle, channelMask);
}

uint64_t SRV_AcquiringChannels(const SRVBoard_t* board) {
    uint64_t mask = 0;
    uint32_t channels = SRV_ChannelCount(board);
    for (uint32_t channel = 0; channel < channels; channel++)
        if (SRV_IsAcquiring(board->digitizer.channels[channel].acqStatus))
            mask |= channelBit(channel);
    return mask;
}

bool SRV_StopCriterionReached(SRVBoard_t* board, uint64_t channelMask) {
    uint32_t channels = SRV_ChannelCount(board);
    for (uint32_t channel = 0; channel < channels; channel++) {
        uint64_t limits[SRV_STOP_MODES];
        if ((channelMask & channelBit(channel)) != 0 && SRV_GetStopLimits(board, channel, limits) &&
            reachedStopMode(stopValuesOf(&board->channels[channel].energySpectra[0]), limits) != SRV_STOP_MODES)
            return true;
    }
    return false;
}

void SRV_DiscardDecodedEvents(SRVBoard_t* board) {
    for (c_ChannelRecord_t& channel : board->digitizer.channels)
        channel.nEvents = 0;
}
