/* ZarnBoardAccess: the rows of the ways the library reaches a board. */
#include "ZarnBoardAccess.h"

#include "CBoard_Morvane.h"
#include "ZarnDigitizer.h"
#include "ZarnTypes_Status.h"

namespace {

int notSupported(c_Digitizer_t*) { return DPPL_ERR_NOT_SUPPORTED; }

/* ------------------------------------------------------------ live board */

void closeLive(c_Digitizer_t* d) { ZARN_DGTZ_CloseDigitizer(d->handle); }

int softwareTriggerLive(c_Digitizer_t* d) {
    return ZARN_DGTZ_SendSWtrigger(d->handle) != 0 ? DPPL_ERR_DIGITIZER_API : 0;
}

int calibrateLive(c_Digitizer_t* d) { return ZARN_DGTZ_Calibrate(d->handle) != 0 ? DPPL_ERR_DIGITIZER_API : 0; }

/* Two channel registers counted in sample periods. */
int readLiveTimeCounters(c_Digitizer_t* d, const ZarnTimeCounters_t* counters, int32_t channel, uint64_t* realTime,
                         uint64_t* deadTime) {
    uint32_t real = 0, dead = 0;
    uint32_t base = (uint32_t)channel << 8;
    int outside = ZARN_DGTZ_ReadRegister(d->handle, base | counters->realTimeRegister, &real);
    if (outside != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                         " [CH %i]: Can't read realtime. Zarn Digitizer Error %i", channel, outside);
        return DPPL_ERR_READ_REGISTER;
    }
    if ((outside = ZARN_DGTZ_ReadRegister(d->handle, base | counters->deadTimeRegister, &dead)) != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                         " [CH %i]: Can't read deadtime. Zarn Digitizer Error %i", channel, outside);
        return DPPL_ERR_READ_REGISTER;
    }
    double period = d->descriptor.SamplePeriod > 0.0 ? d->descriptor.SamplePeriod : 0.0;
    *realTime = (uint64_t)((double)real * period);
    *deadTime = (uint64_t)((double)dead * period);
    return 0;
}

/* ----------------------------------------------------- register-level device */

void closeDevice(c_Digitizer_t* d) { XMOR_DGTZ_CloseDigitizer(d->handle); }

int clearDevice(c_Digitizer_t* d) { return XMOR_DGTZ_ClearData(d->handle); }

int stopDeviceChannel(c_Digitizer_t* d, int32_t channel) {
    return XMOR_DGTZ_StopChannelAcquisition(d->handle, (uint32_t)channel);
}

/* The device's sums, taken on every read. */
int readDeviceTimeCounters(c_Digitizer_t* d, const ZarnTimeCounters_t*, int32_t channel, uint64_t* realTime,
                           uint64_t* deadTime) {
    return MORVANE_GetRealtimeAndDeadtime(d, channel, realTime, deadTime);
}

/* ---------------------------------------------------------------- replay */

int clearNothing(c_Digitizer_t*) { return 0; }

/* The recorded triggers are in the file: there is no board to trigger. */
int triggerNothing(c_Digitizer_t*) { return 0; }

int triggerNoChannel(c_Digitizer_t*, int32_t) { return 0; }

/* ----------------------------------------------------- second generation */

int allocNothing(c_Digitizer_t*, c_ReadoutBuffer_t*) { return DPPL_ERR_NOT_SUPPORTED; }

} // namespace

const ZarnBoardAccess_t ZarnAccess_Live = {
    .name = "live board",
    .open = GENERIC_AccessOpenLive,
    .readInformation = GENERIC_AccessReadLiveInformation,
    .undoOpen = GENERIC_AccessUndoLiveOpen,
    .close = closeLive,
    .reset = GENERIC_AccessResetLive,
    .clear = GENERIC_AccessClearLive,
    .start = GENERIC_AccessStartLive,
    .stop = GENERIC_AccessStopLive,
    .flushesWhenIdle = true,
    .startOpensRunGates = true,
    .stopChannel = GENERIC_AccessStopLiveChannel,
    .read = GENERIC_AccessReadLive,
    .softwareTrigger = softwareTriggerLive,
    .calibrate = calibrateLive,
    .readTimeCounters = readLiveTimeCounters,
    .allocReadout = GENERIC_AccessAllocLiveReadout,
    .readoutAllocator = ROBUF_ALLOC_DIGITIZER,
    .boardStatus = true,
};

/* The device needs no calibration before a start. */
const ZarnBoardAccess_t ZarnAccess_Device = {
    .name = "register-level device",
    .open = GENERIC_AccessOpenDevice,
    .prepare = MORVANE_PrepareRecord,
    .readInformation = MORVANE_ReadBoardInformation,
    .finishOpen = GENERIC_AccessAllocateDeviceBuffers,
    .undoOpen = MORVANE_CloseRecordDevice,
    .close = closeDevice,
    .reset = MORVANE_BoardReset,
    .clear = clearDevice,
    .start = MORVANE_BoardStart,
    .stop = MORVANE_BoardStop,
    .flushesWhenIdle = true,
    .startChannel = MORVANE_ChannelStart,
    .stopChannel = stopDeviceChannel,
    .read = XMOR_DGTZ_ReadData,
    .softwareTrigger = MORVANE_SWTrigger,
    .channelSoftwareTrigger = MORVANE_ChannelSWTrigger,
    .readTimeCounters = readDeviceTimeCounters,
    .allocReadout = GENERIC_AccessAllocDeviceReadout,
    .readoutAllocator = ROBUF_ALLOC_LIBRARY,
    .channelAutoSet = true,
    .hvRangeFromControl = true,
    .boardStatus = true,
};

/* A replay is opened from its file and has no board: it neither starts,
 * stops, triggers nor calibrates one and has no counters to read (the
 * board's own commands are the recorded family's row's, ZarnAccess_OfBoard). */
const ZarnBoardAccess_t ZarnAccess_Replay = {
    .name = "replayed file",
    .clear = clearNothing,
    .rewind = GENERIC_AccessRewindReplay,
    .read = GENERIC_AccessReadReplay,
    .softwareTrigger = triggerNothing,
    .channelSoftwareTrigger = triggerNoChannel,
    .readoutAllocator = ROBUF_ALLOC_LIBRARY,
    .boardStatus = true,
};

/* The second-generation families have no board layer: a record of one (a
 * replay the open refuses once its buffers are made) reads and commands
 * nothing. */
const ZarnBoardAccess_t ZarnAccess_SecondGeneration = {
    .name = "second-generation board",
    .reset = notSupported,
    .clear = notSupported,
    .start = notSupported,
    .stop = GENERIC_AccessStopSecondGeneration,
    .stopChannel = GENERIC_AccessStopLiveChannel,
    .read = notSupported,
    .softwareTrigger = notSupported,
    .calibrate = notSupported,
    .allocReadout = allocNothing,
    .readoutAllocator = ROBUF_ALLOC_LIBRARY,
};
