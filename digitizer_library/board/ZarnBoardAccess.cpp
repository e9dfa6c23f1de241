/* ZarnBoardAccess: the rows of the ways the library reaches a board. */
#include "ZarnBoardAccess.h"

#include "CBoard_Morvane.h"
#include "ZarnDigitizer.h"
#include "ZarnTypes_Status.h"

namespace {

/* ------------------------------------------------------------ live board */

void closeLive(c_Digitizer_t* d) { ZARN_DGTZ_CloseDigitizer(d->handle); }

int softwareTriggerLive(c_Digitizer_t* d) {
    if (d->kind == DGTZ_KIND_GEN2_REPLAY)
        return DPPL_ERR_NOT_SUPPORTED;
    return ZARN_DGTZ_SendSWtrigger(d->handle) != 0 ? DPPL_ERR_DIGITIZER_API : 0;
}

int noChannelSoftwareTrigger(c_Digitizer_t*, int32_t) { return DPPL_ERR_NOT_SUPPORTED; }

/* ----------------------------------------------------- register-level device */

void closeDevice(c_Digitizer_t* d) { XMOR_DGTZ_CloseDigitizer(d->handle); }

int clearDevice(c_Digitizer_t* d) { return XMOR_DGTZ_ClearData(d->handle); }

int stopDeviceChannel(c_Digitizer_t* d, int32_t channel) {
    return XMOR_DGTZ_StopChannelAcquisition(d->handle, (uint32_t)channel);
}

/* ---------------------------------------------------------------- replay */

int clearNothing(c_Digitizer_t*) { return 0; }

} // namespace

/* clang-format off */
const ZarnBoardAccess_t ZarnAccess_Live = {
    "live board",
    GENERIC_AccessOpenLive, NULL, GENERIC_AccessReadLiveInformation, NULL, GENERIC_AccessUndoLiveOpen,
    closeLive, GENERIC_AccessResetLive, GENERIC_AccessClearLive,
    GENERIC_AccessStartLive, GENERIC_AccessStopLive, NULL, true, true,
    NULL /* through the channel's run parameter */, GENERIC_AccessStopLiveChannel,
    GENERIC_AccessReadLive, softwareTriggerLive, noChannelSoftwareTrigger,
    GENERIC_AccessAllocLiveReadout, ROBUF_ALLOC_DIGITIZER, false, false,
};

const ZarnBoardAccess_t ZarnAccess_Device = {
    "register-level device",
    GENERIC_AccessOpenDevice, MORVANE_PrepareRecord, MORVANE_ReadBoardInformation,
    GENERIC_AccessAllocateDeviceBuffers, MORVANE_CloseRecordDevice,
    closeDevice, MORVANE_BoardReset, clearDevice,
    MORVANE_BoardStart, MORVANE_BoardStop, NULL, true, false,
    MORVANE_ChannelStart, stopDeviceChannel,
    XMOR_DGTZ_ReadData, MORVANE_SWTrigger, MORVANE_ChannelSWTrigger,
    GENERIC_AccessAllocDeviceReadout, ROBUF_ALLOC_LIBRARY, true, true,
};

/* A replay is opened from its file and has no board: it neither starts nor
 * stops one; what it does not answer is the recorded family's row's
 * (ZarnAccess_OfBoard). */
const ZarnBoardAccess_t ZarnAccess_Replay = {
    "replayed file",
    NULL, NULL, NULL, NULL, NULL,
    NULL, NULL, clearNothing,
    NULL, NULL, GENERIC_AccessRewindReplay, false, false,
    NULL, NULL,
    GENERIC_AccessReadReplay, NULL, NULL,
    NULL, ROBUF_ALLOC_LIBRARY, false, false,
};
/* clang-format on */
