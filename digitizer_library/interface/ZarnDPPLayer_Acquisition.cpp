/*
 * ZarnDPPLayer_Acquisition: the exported interface of acquisition control
 * and readout: start, pause and stop of the board and of single channels,
 * board commands, the readout cycle and the services around it (software
 * triggers, start-mode actions, rise time, real and dead time). The board
 * layer's parts live in ZarnBoard_GENERIC.
 */
#include "ZarnDPPLayer.h"

#include <stdio.h>
#include <string.h>

#include "CBoard_Morvane.h"
#include "ZarnBoardAccess.h"
#include "ZarnBoard_GENERIC.h"
#include "ZarnDPPLayerShared.h"
#include "ZarnDigitizer.h"
#include "ZarnFirmwareTable.h"

namespace {

/* A read that finds no data for longer than this while running sends a flush. */
const uint64_t kIdleFlushMs = 75;
/* c_getSWDPPEvents: reads that may satisfy it, and the last read it makes. */
const uint32_t kSoftwareReadsAccepted = 1024;
const uint32_t kSoftwareReadsMax = 1026;

/* -3 for a record that is not open, -1 for a channel outside it (logged). */
int checkChannel(c_Digitizer_t* d, int32_t channel) {
    if (!isOpenRecord(d))
        return DPPL_ERR_DIGITIZER_NOT_OPEN;
    if (channel < 0 || channel >= channelCount(d)) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Invalid Channel %i", channel);
        return DPPL_ERR_INVALID_CHANNEL;
    }
    return 0;
}

/* Moving average of 2^n samples (fewer at the start), unsigned samples. */
void smoothUnsigned(const uint16_t* in, double* out, uint32_t count, uint32_t smoothExp) {
    uint32_t shift = smoothExp < 31 ? smoothExp : 31;
    uint64_t window = 1ull << shift;
    uint64_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        sum += in[i];
        if (i < window) {
            out[i] = (double)(sum / (i + 1));
        } else {
            sum -= in[i - window];
            out[i] = (double)(sum >> shift);
        }
    }
}

/* Where the smoothed trace crosses level between samples k and k + 1,
 * interpolated (k itself when the two samples do not rise). */
double crossingAt(const double* s, uint32_t k, double level) {
    double step = s[k + 1] - s[k];
    return step > 0.0 ? (double)k + (level - s[k]) / step : (double)k;
}

/* Whether every enabled channel got events in the last read. */
bool everyEnabledChannelHasEvents(c_Digitizer_t* d) {
    for (int32_t ch = 0; ch < channelCount(d); ++ch) {
        c_Parameter_t* enable = c_pfindc(d, ch, DPPL_PARAM_CH_ENABLED);
        if (enable == NULL) {
            c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, " [%i]: Can't get Channel Enable.", ch);
            continue;
        }
        if (enable->value > 0.0 && d->channels[ch].nEvents == 0)
            return false;
    }
    return true;
}

/* The start mode's code name (empty when no list value equals it). */
int readStartMode(c_Digitizer_t* d, char* codeName, size_t size) {
    codeName[0] = '\0';
    c_Parameter_t* mode = d != NULL ? c_pfind(d, DPPL_PARAM_STARTMODE) : NULL;
    if (mode == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Can't find DPPL_PARAM_STARTMODE parameter");
        return DPPL_ERR_PARAMETER;
    }
    double value = 0.0;
    int code = c_pget(d, mode, &value);
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Can't get DPPL_PARAM_STARTMODE parameter value");
        return code;
    }
    uint32_t entries = mode->count < C_PARAM_MAX_VALUES ? mode->count : C_PARAM_MAX_VALUES;
    for (uint32_t i = 0; i < entries; ++i) {
        if (mode->values[i].value == value) {
            snprintf(codeName, size, "%.*s", (int)sizeof mode->values[i].codename - 1, mode->values[i].codename);
            break;
        }
    }
    return 0;
}

/* The idle flush of c_getDPPEvents and the read that fetches what it
 * closed. The flushed buffer is recorded like any other. */
int flushIdleBoard(c_Digitizer_t* d, int handle) {
    int code = c_sendFlush(d);
    d->lastDataTime = c_get_time();
    if (code == DPPL_ERR_NOT_SUPPORTED)
        return 0; /* automatic flush on, or no manual flush: nothing read */
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Error in flushing data.");
        return DPPL_ERR_DIGITIZER_API;
    }
    code = GENERIC_ReadFlushedData(d, handle);
    if (code == 0 && d->roBuffer.ROBytes > 0)
        d->lastDataTime = c_get_time();
    return code;
}

/* A stop or pause of the channel (every channel: -1): what the board holds
 * of it is delivered by the reads that follow until it starts again. */
void markStoppedDraining(c_Digitizer_t* d, int32_t channel) {
    for (int32_t ch = 0; ch < channelCount(d); ++ch)
        if (channel < 0 || ch == channel)
            d->channels[ch].stoppedDraining = 1;
}

} // namespace

extern "C" {

/* ------------------------------------------------------ board start, stop */

int c_bstarta(c_Digitizer_t* d) {
    if (!isOpenRecord(d))
        return failedIn("c_bstarta", DPPL_ERR_DIGITIZER_NOT_OPEN);
    for (int32_t ch = 0; ch < channelCount(d); ++ch) {
        _clearChannelTimeState(d, ch);
        d->channels[ch].stoppedDraining = 0;
    }
    d->maxTimeStamp = 0;
    int code = _startBoardAcquisition(d);
    if (code != 0)
        return failedIn("c_bstarta", code);
    if (d->acqStatus == ACQSTATUS_STOPPED)
        d->lastTimeStamp = 0;
    int result = 0;
    if (ZarnAccess_OfData(d)->startOpensRunGates) {
        for (int32_t ch = 0; ch < channelCount(d); ++ch) {
            c_Parameter_t* run = c_pfindc(d, ch, DPPL_PARAM_CH_ACQ_RUN);
            if (run == NULL)
                continue;
            int code = GENERIC_SetParam(d, run, 1.0,
                                        C_SETPARAM_SKIP_ACCESS | C_SETPARAM_SKIP_ACQUISITION | C_SETPARAM_SKIP_HV);
            if (code != 0) {
                c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                                 "Cannot set DPPL_PARAM_CH_ACQ_RUN to TRUE for channel %u", (unsigned)ch);
                result = code;
            }
        }
    }
    _setAcqStatus(d, ACQSTATUS_RUNNING);
    return failedIn("c_bstarta", result);
}

int c_bpauseas(c_Digitizer_t* d) {
    if (!isOpenRecord(d))
        return failedIn("c_bpauseas", DPPL_ERR_DIGITIZER_NOT_OPEN);
    int code = _stopBoardAcquisition(d);
    if (code != 0)
        return failedIn("c_bpauseas", code);
    markStoppedDraining(d, -1);
    _setAcqStatus(d, ACQSTATUS_PAUSING);
    return 0;
}

int c_bpausea(c_Digitizer_t* d) {
    int code = c_bpauseas(d);
    if (code != 0 || ZarnAccess_OfData(d)->rewind != NULL) /* a replay has nothing left to drain */
        return failedIn("c_bpausea", code);
    return failedIn("c_bpausea", c_getDPPEvents(d, NULL));
}

int c_bstopas(c_Digitizer_t* d) {
    if (!isOpenRecord(d))
        return failedIn("c_bstopas", DPPL_ERR_DIGITIZER_NOT_OPEN);
    int code = _stopBoardAcquisition(d);
    if (code != 0)
        return failedIn("c_bstopas", code);
    markStoppedDraining(d, -1);
    _setAcqStatus(d, ACQSTATUS_PAUSING);
    const ZarnBoardAccess_t* access = ZarnAccess_OfData(d);
    if (access->rewind != NULL) {
        access->rewind(d);
        _setAcqStatus(d, ACQSTATUS_STOPPED);
    } else {
        _setAcqStatus(d, ACQSTATUS_STOPPING); /* the next successful read completes it */
    }
    return 0;
}

int c_bstopa(c_Digitizer_t* d) {
    if (!isOpenRecord(d))
        return failedIn("c_bstopa", DPPL_ERR_DIGITIZER_NOT_OPEN);
    int result = _stopBoardAcquisition(d);
    if (result == 0) {
        markStoppedDraining(d, -1);
        _setAcqStatus(d, ACQSTATUS_PAUSING);
        const ZarnBoardAccess_t* access = ZarnAccess_OfData(d);
        if (access->rewind != NULL)
            access->rewind(d);
        else
            result = c_getDPPEvents(d, NULL); /* drains what the board still holds */
    }
    _setAcqStatus(d, ACQSTATUS_STOPPED);
    return failedIn("c_bstopa", result);
}

/* ---------------------------------------------------- channel start, stop */

int c_cstarta(c_Digitizer_t* d, int32_t channel) {
    int code = checkChannel(d, channel);
    if (code != 0)
        return failedIn("c_cstarta", code);
    _clearChannelTimeState(d, channel);
    d->channels[channel].stoppedDraining = 0;
    if (d->channels[channel].acqStatus == ACQSTATUS_RUNNING) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_WARNING, __LINE__, "Channel acquisition already started");
        return 0;
    }
    const ZarnBoardAccess_t* board = ZarnAccess_OfBoard(d);
    if (board->startChannel != NULL) {
        /* A replay has no device: only the record's channel state changes. */
        if (!d->replay && (code = board->startChannel(d, channel)) != 0)
            return failedIn("c_cstarta", code);
        if (d->acqStatus == ACQSTATUS_STOPPED)
            d->lastTimeStamp = 0;
        _setChannelAcqStatus(d, channel, ACQSTATUS_RUNNING);
        return 0;
    }
    c_Parameter_t* running = c_pfind(d, DPPL_PARAM_ACQRUNNING);
    if (running == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                         "Can't find parameter DPPL_PARAM_ACQRUNNING. Can't start channel acquisition.");
        return failedIn("c_cstarta", DPPL_ERR_NULL_ARGUMENT);
    }
    double value = 0.0;
    code = c_pget(d, running, &value);
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                         "Can't get value of parameter DPPL_PARAM_ACQRUNNING. Can't start channel acquisition.");
        return failedIn("c_cstarta", code);
    }
    if (value == 0.0 && (code = _startBoardAcquisition(d)) != 0)
        return failedIn("c_cstarta", code);
    /* A replay's run parameters are pinned to their recorded values, which
     * its decoders ignore: there is no run gate to open. */
    c_Parameter_t* run = d->replay ? NULL : c_pfindc(d, channel, DPPL_PARAM_CH_ACQ_RUN);
    if (run != NULL) {
        code = GENERIC_SetParam(d, run, 1.0, C_SETPARAM_SKIP_ACCESS | C_SETPARAM_SKIP_ACQUISITION | C_SETPARAM_SKIP_HV);
        if (code != 0) {
            c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                             "Cannot set DPPL_PARAM_CH_ACQ_RUN to TRUE for channel %u", (unsigned)channel);
            return failedIn("c_cstarta", code);
        }
    }
    if (d->acqStatus == ACQSTATUS_STOPPED)
        d->lastTimeStamp = 0;
    _setChannelAcqStatus(d, channel, ACQSTATUS_RUNNING);
    return 0;
}

/* The channel pause of c_cpauseas and c_cpausea; drain: one read after the
 * stop, whose non-zero result leaves the channel PAUSING. */
static int pauseChannel(c_Digitizer_t* d, int32_t channel, bool drain, const char* function) {
    int code = checkChannel(d, channel);
    if (code != 0)
        return failedIn(function, code);
    if (d->channels[channel].acqStatus != ACQSTATUS_RUNNING) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_WARNING, __LINE__, "Channel acquisition already stopped");
        return 0;
    }
    _setChannelAcqStatus(d, channel, ACQSTATUS_PAUSING);
    /* A replay has no board to stop: its drain read below goes on with the
     * recording, as the live stop's did. */
    code = d->replay ? 0 : ZarnAccess_OfBoard(d)->stopChannel(d, channel);
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Error in ZARN_DGTZ_SWStopAcquisition: %i", code);
        return failedIn(function, DPPL_ERR_DIGITIZER_API);
    }
    markStoppedDraining(d, channel);
    if (drain) {
        code = c_getDPPEvents(d, NULL);
        if (code != 0)
            return failedIn(function, code);
    }
    _setChannelAcqStatus(d, channel, ACQSTATUS_PAUSED);
    return 0;
}

int c_cpauseas(c_Digitizer_t* d, int32_t channel) { return pauseChannel(d, channel, false, "c_cpauseas"); }

int c_cpausea(c_Digitizer_t* d, int32_t channel) { return pauseChannel(d, channel, true, "c_cpausea"); }

/* The pause logs its own failure; the stop logs it again under its name. */
static int stopChannel(c_Digitizer_t* d, int32_t channel, bool drain, const char* function) {
    int code = drain ? c_cpausea(d, channel) : c_cpauseas(d, channel);
    if (code != 0)
        return failedIn(function, code);
    if (d->channels[channel].acqStatus == ACQSTATUS_PAUSED)
        _setChannelAcqStatus(d, channel, ACQSTATUS_STOPPED);
    return 0;
}

int c_cstopas(c_Digitizer_t* d, int32_t channel) { return stopChannel(d, channel, false, "c_cstopas"); }

int c_cstopa(c_Digitizer_t* d, int32_t channel) { return stopChannel(d, channel, true, "c_cstopa"); }

/* ---------------------------------------------------------- board commands */

/* A replay has no board to calibrate; the device needs no calibration. */
int c_bcalib(c_Digitizer_t* d) {
    if (d == NULL)
        return failedIn("c_bcalib", DPPL_ERR_DIGITIZER_API);
    const ZarnBoardAccess_t* access = ZarnAccess_OfData(d);
    return access->calibrate != NULL ? failedIn("c_bcalib", access->calibrate(d)) : 0;
}

/* Acquisition reset (c_bfreset): a running board is stopped with its drain,
 * then the record's acquisition state starts afresh, everything STOPPED. */
int _resetAcquisition(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int result = d->acqStatus == ACQSTATUS_RUNNING ? c_bstopa(d) : 0;
    d->idleFlush = 1;
    d->lastDataTime = c_get_time();
    d->lastTimeStamp = 0;
    d->bytesTotal = 0;
    d->linkFlag = 0;
    d->irqWait = 0;
    _setAcqStatus(d, ACQSTATUS_STOPPED);
    return result;
}

int c_bfreset(c_Digitizer_t* d) {
    if (!isOpenRecord(d))
        return failedIn("c_bfreset", DPPL_ERR_DIGITIZER_NOT_OPEN);
    return failedIn("c_bfreset", _resetAcquisition(d));
}

int c_cfreset(c_Digitizer_t* d, int32_t channel) {
    int code = checkChannel(d, channel);
    if (code != 0)
        return failedIn("c_cfreset", code);
    _clearChannelTimeState(d, channel);
    return 0;
}

int c_cautosetstart(c_Digitizer_t* d, int32_t channel, uint32_t modeBits) {
    if (d == NULL || !ZarnAccess_OfBoard(d)->channelAutoSet)
        return 0;
    if (channel < 0 || channel >= DPPL_MAX_CHANNELS)
        return failedIn("c_cautosetstart", DPPL_ERR_INVALID_CHANNEL);
    if (d->channels[channel].acqStatus != ACQSTATUS_RUNNING) {
        /* The device keeps the data of channels 0 to 2 only. */
        int code = channel > 2 ? -13 : c_rwrite(d, ((uint32_t)channel << 8) | 0x1018u, 1);
        if (code != 0) {
            c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Error in ZARN_DGTZ_ClearData: %i", code);
            return failedIn("c_cautosetstart", DPPL_ERR_DIGITIZER_API);
        }
    }
    return failedIn("c_cautosetstart", c_rwrite(d, 0x814C, ((uint32_t)channel | modeBits) & 0xFu));
}

int c_cautosetstop(c_Digitizer_t* d, uint32_t channel, uint32_t modeBits) {
    if (d == NULL || !ZarnAccess_OfBoard(d)->channelAutoSet)
        return 0;
    return failedIn("c_cautosetstop", c_rwrite(d, 0x8160, (channel | modeBits) & 0xFu));
}

int c_csampleadvance(c_Digitizer_t* d, int32_t channel) {
    if (d == NULL || !ZarnAccess_OfBoard(d)->channelAutoSet)
        return 0;
    if (channel < 0 || channel > 15)
        return failedIn("c_csampleadvance", DPPL_ERR_INVALID_CHANNEL);
    return failedIn("c_csampleadvance", c_rwrite(d, ((uint32_t)channel << 8) | 0x103Cu, 1));
}

/* ---------------------------------------------------------------- readout */

int c_sendFlush(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NOT_SUPPORTED;
    bool open = isOpenRecord(d);
    if (open) {
        c_Parameter_t* automatic = c_pfind(d, DPPL_PARAM_AUTOFLUSH_ENABLE);
        if (automatic != NULL && automatic->value != 0.0 && d->acqStatus == ACQSTATUS_RUNNING) {
            c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_DETAIL, __LINE__, "Automatic flush is on: no manual flush.");
            return DPPL_ERR_NOT_SUPPORTED;
        }
    }
    c_Parameter_t* manual = open ? c_pfind(d, DPPL_PARAM_MANUAL_FLUSH) : NULL;
    if (manual == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_DETAIL, __LINE__, "The board has no manual flush.");
        return DPPL_ERR_NOT_SUPPORTED;
    }
    manual->preferred = 1.0;
    int code = GENERIC_SetParam(d, manual, 1.0, 0);
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_WARNING, __LINE__, "Can't set parameter '%s' value to 1. Error %d",
                         manual->name, code);
        return failedIn("c_sendFlush", DPPL_ERR_PARAMETER);
    }
    return 0;
}

int c_getDPPEvents(c_Digitizer_t* d, int32_t* bytes) {
    if (bytes != NULL)
        *bytes = 0;
    if (!isOpenRecord(d))
        return failedIn("c_getDPPEvents", DPPL_ERR_DIGITIZER_NOT_OPEN);
    if (d->roBuffer.ROAllocSize == 0)
        return failedIn("c_getDPPEvents", DPPL_ERR_READOUT_BUFFER);
    const int handle = d->handle;
    int code = GENERIC_ReadData(d);
    c_ReadoutBuffer_t* buffer = &d->roBuffer;
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Error in GENERIC_ReadData: %i", code);
        if (bytes != NULL)
            *bytes = (int32_t)buffer->ROBytes;
        return failedIn("c_getDPPEvents", code);
    }
    uint64_t now = c_get_time();
    /* A replayed file has no board to flush: its end is the end of the data. */
    if (buffer->ROBytes > 0)
        d->lastDataTime = now;
    else if (ZarnAccess_OfData(d)->flushesWhenIdle && d->acqStatus == ACQSTATUS_RUNNING && d->idleFlush &&
             now - d->lastDataTime > kIdleFlushMs)
        code = flushIdleBoard(d, handle);
    if (code == 0 && buffer->ROBytes > 0) {
        if ((code = GENERIC_GetEvents(d, buffer)) != 0)
            c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Error in GENERIC_GetEvents: %i", code);
    } else if (code == 0) {
        if (d->scope != NULL)
            d->scope->nEvents = 0;
        for (int32_t ch = 0; ch < channelCount(d); ++ch)
            d->channels[ch].nEvents = 0;
    }
    if (bytes != NULL)
        *bytes = (int32_t)buffer->ROBytes;
    if (code != 0)
        return failedIn("c_getDPPEvents", code);
    GENERIC_MarkEndOfRun(d);
    if (d->acqStatus == ACQSTATUS_STOPPING)
        _setAcqStatus(d, ACQSTATUS_STOPPED);
    else if (d->acqStatus == ACQSTATUS_PAUSING)
        _setAcqStatus(d, ACQSTATUS_PAUSED);
    return 0;
}

/* ------------------------------------------------------- readout services */

int c_sendswtrigger(c_Digitizer_t* d) {
    int code;
    if (d == NULL)
        code = DPPL_ERR_NULL_ARGUMENT;
    else
        code = ZarnAccess_OfData(d)->softwareTrigger(d);
    return failedIn("c_sendswtrigger", code);
}

/* Only a board with a channel trigger takes one; a replay of it has none to
 * send. */
int c_sendcswtrigger(c_Digitizer_t* d, int32_t channel) {
    if (d == NULL || ZarnAccess_OfBoard(d)->channelSoftwareTrigger == NULL)
        return failedIn("c_sendcswtrigger", DPPL_ERR_NOT_SUPPORTED);
    return failedIn("c_sendcswtrigger", ZarnAccess_OfData(d)->channelSoftwareTrigger(d, channel));
}

int c_getSWDPPEvents(c_Digitizer_t* d, int32_t* bytes) {
    c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_DETAIL, __LINE__, "Starting Readout of SW events");
    int32_t lastBytes = 0;
    int result = DPPL_ERR_GENERIC;
    for (uint32_t read = 1; read <= kSoftwareReadsMax; ++read) {
        int code = c_getDPPEvents(d, &lastBytes);
        if (code != 0) {
            result = code;
            break;
        }
        if (lastBytes > 0 && everyEnabledChannelHasEvents(d)) {
            result = read <= kSoftwareReadsAccepted ? 0 : DPPL_ERR_GENERIC;
            break;
        }
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_DETAIL, __LINE__, "Sending SW Trigger");
        if (c_sendswtrigger(d) != 0) {
            result = DPPL_ERR_DIGITIZER_API;
            break;
        }
    }
    c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_DETAIL, __LINE__, "SW events read.");
    if (bytes != NULL)
        *bytes = lastBytes;
    return failedIn("c_getSWDPPEvents", result);
}

int c_sendswstart(c_Digitizer_t* d) {
    char mode[C_PARAM_TEXT_SIZE];
    int code = readStartMode(d, mode, sizeof mode);
    if (code != 0)
        return failedIn("c_sendswstart", code);
    if (strcmp(mode, "START_MODE_FIRST_TRG") != 0)
        return 0;
    c_Parameter_t* atStart = c_pfind(d, DPPL_PARAM_SW_TRG_AT_START);
    if (atStart == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                         "Can't find DPPL_PARAM_SW_TRG_AT_START parameter");
        return failedIn("c_sendswstart", DPPL_ERR_PARAMETER);
    }
    double value = 0.0;
    code = c_pget(d, atStart, &value);
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                         "Can't get DPPL_PARAM_SW_TRG_AT_START parameter value");
        return failedIn("c_sendswstart", code);
    }
    if (value == 1.0 && ZarnAccess_OfData(d)->softwareTrigger(d) != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Can't send start SW TRG.");
        return failedIn("c_sendswstart", DPPL_ERR_DIGITIZER_API);
    }
    return 0;
}

int c_sendswstop(c_Digitizer_t* d) {
    char mode[C_PARAM_TEXT_SIZE];
    return failedIn("c_sendswstop", readStartMode(d, mode, sizeof mode));
}

int64_t c_CalcRiseTime(uint32_t smoothExp, const c_Waveform_t* waveform, uint32_t baselineStart, uint32_t baselineEnd) {
    if (waveform == NULL)
        return 0;
    const c_Trace_t* trace = NULL;
    for (int slot = 0; slot < DPPL_ANALOG_TRACES && trace == NULL; ++slot)
        if (waveform->traces[slot].probe == DPPL_PROBE_INPUT && waveform->traces[slot].samples != NULL)
            trace = &waveform->traces[slot];
    uint32_t n = waveform->nSamples;
    if (trace == NULL || n == 0)
        return 0;
    if (n > trace->capacity)
        n = trace->capacity;
    double* smoothed = (double*)c_malloc((size_t)n * sizeof(double));
    if (smoothed == NULL)
        return 0;
    smoothUnsigned((const uint16_t*)trace->samples, smoothed, n, smoothExp);
    double baseline = 0.0;
    uint32_t counted = 0;
    for (uint32_t i = baselineStart; i < baselineEnd && i < n; ++i, ++counted)
        baseline += smoothed[i];
    if (counted == 0) {
        c_free(smoothed); /* no baseline, no levels: neither is ever exceeded */
        return 0;
    }
    baseline /= counted;
    double maximum = 0.0;
    for (uint64_t i = (uint64_t)baselineEnd + 1; i < n; ++i)
        if (smoothed[i] > maximum)
            maximum = smoothed[i];
    double l10 = baseline + 0.1 * (maximum - baseline), l90 = baseline + 0.9 * (maximum - baseline);
    /* One scan: the 10 % level is looked for until the 90 % one is found, which
     * ends the scan (so with a maximum below the baseline, where the 90 %
     * level comes first, the 10 % time stays 0). */
    double t10 = 0.0, t90 = 0.0;
    bool found10 = false;
    for (uint32_t k = 0; k + 1 < n; ++k) {
        if (!found10 && smoothed[k + 1] > l10)
            t10 = crossingAt(smoothed, k, l10), found10 = true;
        if (smoothed[k + 1] > l90) {
            t90 = crossingAt(smoothed, k, l90);
            break;
        }
    }
    c_free(smoothed);
    double rise = (t90 - t10) * 1000.0;
    if (!(rise > -9.2e18 && rise < 9.2e18))
        return 0;
    return (int64_t)rise;
}

/* The counters of the record's firmware (none for a code without a row). */
static ZarnTimeCountersKind_t timeCountersOf(const c_Digitizer_t* d, const ZarnTimeCounters_t** counters) {
    const ZarnFirmware_t* firmware = ZarnFirmware_Find(d->descriptor.DPPCode);
    if (firmware == NULL)
        return ZARN_TIME_COUNTERS_NONE;
    *counters = &firmware->timeCounters;
    if ((*counters)->kind == ZARN_TIME_COUNTERS_REGISTERS && d->descriptor.DPPMinorRev <= (*counters)->aboveMinorRev)
        return ZARN_TIME_COUNTERS_NONE;
    return (*counters)->kind;
}

int c_getRealtimeAndDeadtime(c_Digitizer_t* d, int32_t channel, uint64_t* realTime, uint64_t* deadTime) {
    int code = 0;
    const ZarnTimeCounters_t* counters = NULL;
    ZarnTimeCountersKind_t kind = d != NULL ? timeCountersOf(d, &counters) : ZARN_TIME_COUNTERS_NONE;
    if (d == NULL || realTime == NULL || deadTime == NULL)
        code = DPPL_ERR_NULL_ARGUMENT;
    else if (kind == ZARN_TIME_COUNTERS_NONE || ZarnAccess_OfData(d)->readTimeCounters == NULL)
        code = DPPL_ERR_NOT_SUPPORTED; /* no counters, or a replay, which has no board to read them from */
    else if (kind == ZARN_TIME_COUNTERS_REGISTERS && (channel < 0 || channel >= channelCount(d)))
        code = DPPL_ERR_INVALID_CHANNEL;
    else
        code = ZarnAccess_OfData(d)->readTimeCounters(d, counters, channel, realTime, deadTime);
    /* Counters the board lacks are a fact of it, not a failure. */
    if (code != 0)
        c_extendedLogMsg(&ZarnDPPLayer_log, d, code == DPPL_ERR_NOT_SUPPORTED ? C_LOG_DETAIL : C_LOG_ERROR, __LINE__,
                         "Error in GENERIC_GetRealtimeAndDeadtime: %i", code);
    return code;
}

} // extern "C"
