/* ZarnBoard_GENERIC_Acquisition: acquisition statuses, start and stop of the board and of single channels. */
#include "ZarnBoard_GENERIC.h"

#include "CBoard_Morvane.h"
#include "ZarnBoardAccess.h"
#include "ZarnBoard_GENERICShared.h"
#include "ZarnDigitizer.h"
#include "ZarnParameters.h"
#include "ZarnROBuffDumperRecords.h"
#include "ZarnTypes_Status.h"

static const c_LogModule_t ZarnBoard_GENERIC_log = {"ZarnBoard_GENERICLog.txt", "ZarnBoard_GENERIC_Acquisition"};

#define ALOG(digitizer, level, ...) \
    c_extendedLogMsg(&ZarnBoard_GENERIC_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

/* Flags of the acquisition control's own parameter writes: no access,
 * acquisition or high-voltage test. */
constexpr uint32_t kAcqSetFlags = C_SETPARAM_SKIP_ACCESS | C_SETPARAM_SKIP_ACQUISITION | C_SETPARAM_SKIP_HV;

void logFromFunction(const char* function, int code) {
    c_lprintf(&ZarnBoard_GENERIC_log, C_LOG_ERROR, __LINE__, "From %s: %s", function, c_decodeError(code));
}

/* Priority of a status in the board fold; -1 for none. */
int statusPriority(int32_t status) {
    switch (status) {
    case ACQSTATUS_RUNNING: return 5;
    case ACQSTATUS_PAUSING: return 4;
    case ACQSTATUS_STOPPING: return 3;
    case ACQSTATUS_PAUSED: return 2;
    case ACQSTATUS_STOPPED: return 1;
    default: return -1;
    }
}

/* Every channel's DPPL_PARAM_CH_ACQ_RUN (where it exists) to value; the
 * failures are logged and the last one is the result. */
int setEveryRunParameter(c_Digitizer_t* d, double value) {
    int result = 0;
    for (uint32_t ch = 0; ch < acqChannels(d); ++ch) {
        c_Parameter_t* run = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_ACQ_RUN);
        if (run == NULL)
            continue;
        int code = GENERIC_SetParam(d, run, value, kAcqSetFlags);
        if (code != 0) {
            ALOG(d, C_LOG_ERROR, "Cannot set DPPL_PARAM_CH_ACQ_RUN to %s for channel %u", value != 0 ? "TRUE" : "FALSE",
                 (unsigned)ch);
            result = code;
        }
    }
    return result;
}

/* A channel parameter that the single-channel stop needs; -42 after logging
 * when it is missing or unreadable. */
int readStopParameter(c_Digitizer_t* d, uint32_t ch, int32_t code, const char* codeName, double* value) {
    c_Parameter_t* p = c_pfindc(d, (int32_t)ch, code);
    if (p == NULL) {
        ALOG(d, C_LOG_ERROR, "Can't find parameter %s for channel %u. Single channel pause/stop not supported.",
             codeName, (unsigned)ch);
        return DPPL_ERR_NOT_SUPPORTED;
    }
    if (c_pget(d, p, value) != 0) {
        ALOG(d, C_LOG_ERROR, "Can't get parameter %s for channel %u", codeName, (unsigned)ch);
        return DPPL_ERR_NOT_SUPPORTED;
    }
    return 0;
}

} // namespace

/* ------------------------------------------------ acquisition statuses */

bool _isChannelEnabledForStatus(c_Digitizer_t* d, int32_t channel) {
    c_Parameter_t* enable = c_pfindc(d, channel, DPPL_PARAM_CH_ENABLED);
    return enable != NULL && enable->value == 1.0;
}

void _setAcqStatus(c_Digitizer_t* d, int32_t status) {
    if (d == NULL)
        return;
    d->acqStatus = status;
    for (uint32_t ch = 0; ch < acqChannels(d); ++ch)
        d->channels[ch].acqStatus = _isChannelEnabledForStatus(d, (int32_t)ch) ? status : ACQSTATUS_STOPPED;
}

int32_t _foldAcqStatus(c_Digitizer_t* d, int32_t a, int32_t b) {
    int pa = statusPriority(a), pb = statusPriority(b);
    if (pa < 0 && pb < 0) {
        ALOG(d, C_LOG_WARNING, "Cannot determine priority of acquisition statuses %d and %d. Will return lesser %d.",
             (int)a, (int)b, (int)ACQSTATUS_UNDETERMINED);
        return ACQSTATUS_UNDETERMINED;
    }
    return pa >= pb ? a : b;
}

void _setChannelAcqStatus(c_Digitizer_t* d, int32_t channel, int32_t status) {
    if (d == NULL || channel < 0 || (uint32_t)channel >= acqChannels(d))
        return;
    d->channels[channel].acqStatus = _isChannelEnabledForStatus(d, channel) ? status : ACQSTATUS_STOPPED;
    int32_t folded = status;
    for (uint32_t ch = 0; ch < acqChannels(d); ++ch) {
        folded = _foldAcqStatus(d, folded, d->channels[ch].acqStatus);
        d->acqStatus = folded;
    }
}

void _clearChannelTimeState(c_Digitizer_t* d, int32_t channel) {
    c_ChannelRecord_t* rec = &d->channels[channel];
    rec->lastRawTimeTag = rec->rollOver1 = rec->lastExtTimeTag = rec->rollOver2 = 0;
    rec->endOfRun = 0;
}

/* ------------------------------------------------ board commands */

/* Two calls of the exported interface that the start and the open use; they
 * log as the interface does. */

int c_bdclear(c_Digitizer_t* d) {
    if (!isOpenRecord(d))
        return failedIn("c_bdclear", DPPL_ERR_DIGITIZER_NOT_OPEN);
    int code = ZarnAccess_OfData(d)->clear(d);
    if (code != 0)
        logFrom("c_bdclear", code);
    return code;
}

int c_breset(c_Digitizer_t* d) {
    if (!isOpenRecord(d))
        return failedIn("c_breset", DPPL_ERR_DIGITIZER_NOT_OPEN);
    return failedIn("c_breset", ZarnAccess_OfBoard(d)->reset(d));
}

/* The live board's side of the access rows. */

int GENERIC_AccessClearLive(c_Digitizer_t* d) {
    return ZARN_DGTZ_ClearData(d->handle); /* the board-access code, unchanged */
}

int GENERIC_AccessResetLive(c_Digitizer_t* d) {
    int outside = ZARN_DGTZ_Reset(d->handle);
    if (outside != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "error %i in ZARN_DGTZ_Reset()", outside);
        return DPPL_ERR_DIGITIZER_API;
    }
    return 0;
}

int GENERIC_AccessStartLive(c_Digitizer_t* d) {
    int outside = ZARN_DGTZ_SWStartAcquisition(d->handle);
    if (outside != 0) {
        ALOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_SWStartAcquisition: %i", outside);
        return DPPL_ERR_DIGITIZER_API;
    }
    return 0;
}

int GENERIC_AccessStopLive(c_Digitizer_t* d) {
    int outside = ZARN_DGTZ_SWStopAcquisition(d->handle);
    if (outside != 0) {
        ALOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_SWStopAcquisition: %i", outside);
        ALOG(d, C_LOG_ERROR, "Error stopping acquisition: %i", DPPL_ERR_DIGITIZER_API);
        return DPPL_ERR_DIGITIZER_API;
    }
    return setEveryRunParameter(d, 0.0);
}

/* A board with no board layer refuses its stop. */
int GENERIC_AccessStopSecondGeneration(c_Digitizer_t* d) {
    ALOG(d, C_LOG_ERROR, "Error stopping acquisition: %i", DPPL_ERR_NOT_SUPPORTED);
    return DPPL_ERR_DIGITIZER_API;
}

int GENERIC_AccessStopLiveChannel(c_Digitizer_t* d, int32_t channel) { return _stopSingleChannel(d, channel); }

int GENERIC_AccessRewindReplay(c_Digitizer_t* d) { return _rewindReplay(d); }

/* --------------------------------------------------------- start, stop */

int _startBoardAcquisition(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    const ZarnBoardAccess_t* access = ZarnAccess_OfData(d);
    if (access->start == NULL)
        return 0; /* no board to start */
    if (d->acqStatus == ACQSTATUS_RUNNING) {
        ALOG(d, C_LOG_WARNING, "Digitizer acquisition already running");
        return 0;
    }
    int code = c_bdclear(d);
    if (code != 0) {
        ALOG(d, C_LOG_ERROR, "Error in c_bdclear: %i", code);
        if (code < 0)
            logFromFunction("_startBoardAcquisition", code);
        return code;
    }
    if (GENERIC_CheckAutoShutdown(d) != 0 || GENERIC_CheckPLLLock(d) != 0) {
        ALOG(d, C_LOG_INFO, "Digitizer found in failure status before start acquisition. Restoring it.");
        code = GENERIC_RestoreStatus(d);
        if (code != 0) {
            ALOG(d, C_LOG_ERROR, "Cannot clear status errors. ERR: %i", code);
            if (code < 0)
                logFromFunction("_startBoardAcquisition", code);
            return code;
        }
    }
    if ((code = access->start(d)) != 0)
        logFromFunction("_startBoardAcquisition", code);
    return code;
}

int _stopBoardAcquisition(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    const ZarnBoardAccess_t* access = ZarnAccess_OfData(d);
    /* A replay has no board to stop. Its channels' run flags are pinned to
     * the recorded values (any other value is refused) and its decoders
     * ignore them, so they are left alone, as the start leaves them. */
    if (access->stop == NULL)
        return 0;
    if (d->acqStatus == ACQSTATUS_STOPPED || d->acqStatus == ACQSTATUS_PAUSED) {
        ALOG(d, C_LOG_WARNING, "Digitizer acquisition already stopped");
        return 0;
    }
    int result = access->stop(d);
    if (result < 0)
        logFromFunction("_stopBoardAcquisition", result);
    return result;
}

int _stopSingleChannel(c_Digitizer_t* d, int32_t channel) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (d->replay)
        return 0; /* no board, and run parameters pinned to their recorded values */
    c_Parameter_t* run = c_pfindc(d, channel, DPPL_PARAM_CH_ACQ_RUN);
    if (run == NULL) {
        ALOG(d, C_LOG_ERROR, "Single channel pause/stop not supported.");
        return DPPL_ERR_NOT_SUPPORTED;
    }
    for (uint32_t other = 0; other < acqChannels(d); ++other) {
        if ((int32_t)other == channel)
            continue;
        double enabled = 0.0, running = 0.0;
        int code = readStopParameter(d, other, DPPL_PARAM_CH_ENABLED, "DPPL_PARAM_CH_ENABLED", &enabled);
        if (code != 0)
            return code;
        if (enabled != 1.0)
            continue;
        code = readStopParameter(d, other, DPPL_PARAM_CH_ACQ_RUN, "DPPL_PARAM_CH_ACQ_RUN", &running);
        if (code != 0)
            return code;
        if (running == 1.0) /* another channel goes on: only this one's run bit */
            return GENERIC_SetParam(d, run, 0.0, kAcqSetFlags);
    }
    return _stopBoardAcquisition(d);
}

int _rewindReplay(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (c_bdrewind(&d->reader) != 0) {
        ALOG(d, C_LOG_ERROR, "Can't move the replayed file back to its first data record.");
        return DPPL_ERR_READ_DATA;
    }
    return 0;
}
