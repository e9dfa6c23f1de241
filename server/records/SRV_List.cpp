// List mode's state of each channel: its defaults and freeing, the start and
// stop of its output, new settings, and the per-cycle filter.
#include "SRV_List.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "SRVParameters.h"
#include "SRV_ClientPaths.h"
#include "SRV_RunFailures.h"
#include "SRV_Spectra.h"

static const c_LogModule_t& LOG_MODULE = SRV_LIST_LOG_MODULE;
// handleListMode runs inside the board thread's cycle and logs with it.
static const c_LogModule_t THREAD_LOG_MODULE = {"SRVBoardThreadLog.txt", "SRVBoardThread"};

// Flag 0x400 events are kept only on request.
static const uint32_t EVTFLAG_400 = 0x400u;

static bool anyFieldSelected(const SRVListSave_t* list) {
    return list->withTimeTag || list->withEnergy || list->withFlags;
}

static uint32_t channelCount(const SRVBoard_t* board) { return SRV_ChannelCount(board); }

// ------------------------------------------------------------- records

void SRV_FreeListSave(SRVListSave_t* list) {
    if (list == NULL)
        return;
    // Nothing saves any more when the record is freed: the stop has written
    // and closed every output.
    SRV_CloseListFile(list);
    list->writeError = 0;
    SRV_FreeListBuffers(list);
    list->saving = 0;
}

void SRV_FreeListSaves(SRVBoard_t* board) {
    for (SRVChannel_t& channel : board->channels)
        SRV_FreeListSave(&channel.listSave);
}

SRVStatus_t SRV_InitListSave(SRVBoard_t* board, uint32_t channel, const char* fileName) {
    if (channel >= SRV_MAX_CHANNELS)
        return SRV_ERR_RESOURCE;
    SRVListSave_t* list = &board->channels[channel].listSave;
    SRV_CloseListFile(list);
    list->writeError = 0;
    list->missedEvents = 0;
    list->enabled = 0;
    list->saving = 0;
    list->withTimeTag = 0;
    list->withEnergy = 0;
    list->withFlags = 0;
    list->keepPseudo = 0;
    list->keepFlag400 = 1;
    list->stopReached = 0;
    list->allEnergies = 1;
    list->format = SRV_LIST_FORMAT_NONE;
    std::snprintf(list->fileName, sizeof list->fileName, "%s", fileName != NULL ? fileName : "");
    list->bufferSize = 0;
    list->count = 0;
    SRV_ResizeListBuffers(list);
    return SRV_SUCCESS;
}

SRVStatus_t SRV_InitListSaves(SRVBoard_t* board, const char* dataFolder) {
    for (uint32_t channel = 0; channel < channelCount(board); channel++) {
        char fileName[SRV_PATH_SIZE];
        std::snprintf(fileName, sizeof fileName, "%s/ListData_ch%02u.dat", dataFolder, channel);
        SRVStatus_t status = SRV_InitListSave(board, channel, fileName);
        if (status != SRV_SUCCESS)
            return status;
    }
    return SRV_SUCCESS;
}

SRVStatus_t SRV_GetListSave(SRVBoard_t* board, int32_t channel, SRVListSave_t** out) {
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__, "Getting lists data for channel '%i'.",
                     static_cast<int>(channel));
    if (channel < 0 || static_cast<uint32_t>(channel) >= channelCount(board)) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Channel '%i' not found.",
                         static_cast<int>(channel));
        return SRV_ERR_UNSUPPORTED;
    }
    *out = &board->channels[channel].listSave;
    return SRV_SUCCESS;
}

// -------------------------------------------------------------- output

// Opens the folder of the list file, making it with its parents, by a walk
// from the server's folder that holds it that follows no link: 0, -30 (the
// path leads outside now), -36 (it names no file) or -1.
static SRVStatus_t openListFolder(SRVBoard_t* board, const SRVListSave_t* list, SRVClientFile_t* folder) {
    SRVStatus_t status = SRV_OpenClientFolder(&LOG_MODULE, "List file", list->fileName, true, true, folder);
    if (status == SRV_SUCCESS || status == SRV_ERR_INVALID_FILE_NAME)
        return status;
    if (status == SRV_ERR_FILE_OPEN) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Can't open list file %s (%s).",
                         list->fileName, std::strerror(errno));
        return status;
    }
    char name[SRV_PATH_SIZE];
    int error = c_dirname(list->fileName, name, sizeof name);
    if (error != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Cannot get dirname of filepath %s (err %d)", list->fileName, error);
        return SRV_ERR_GENERIC;
    }
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Cannot create directory path %s", name);
    return SRV_ERR_GENERIC;
}

static SRVStatus_t stopListSaving(SRVBoard_t* board, SRVListSave_t* list, bool keepFailure);

static SRVStatus_t beginListSaving(SRVBoard_t* board, SRVListSave_t* list, const SRVClientFile_t* folder) {
    if (list->bufferSize > SRV_LIST_MAX_EVENTS) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Too many events to save (%u). Maximum allowed: %u", list->bufferSize, SRV_LIST_MAX_EVENTS);
        return SRV_ERR_BUFFER;
    }
    if (!SRV_ListArraysPresent(list))
        return SRV_ERR_BUFFER;
    // A start on a channel that is still saving ends its previous output
    // first, so that no buffered event and no open file is lost.
    if (list->saving) {
        SRVStatus_t ended = stopListSaving(board, list, false);
        if (ended != SRV_SUCCESS)
            return ended;
    }
    SRV_CloseListFile(list);
    list->saving = 0;
    SRVStatus_t status = SRV_OpenListFile(board, list, folder);
    if (status != SRV_SUCCESS)
        return status;
    list->saving = 1;
    list->stopReached = 0;
    return SRV_SUCCESS;
}

// Starts the channel's output in the folder of its list file, opened for it;
// a format without a file opens no folder.
static SRVStatus_t startListSaving(SRVBoard_t* board, SRVListSave_t* list) {
    SRVClientFile_t folder = {-1, ""};
    SRVStatus_t status = SRV_SUCCESS;
    if (SRV_ListFormatHasFile(list->format))
        status = openListFolder(board, list, &folder);
    if (status == SRV_SUCCESS)
        status = beginListSaving(board, list, &folder);
    SRV_CloseClientFolder(&folder);
    return status;
}

// Keeps the list file that a stop could not complete among the run's
// failures: its name, why, and how many events it misses: those the run
// listed after the write that failed, and those still buffered.
static void keepStopFailure(SRVBoard_t* board, const SRVListSave_t* list, SRVStatus_t status) {
    const char* reason = list->writeError != 0 ? std::strerror(list->writeError) : "the write failed";
    unsigned long long missing = list->missedEvents + (SRV_ListFormatHasFile(list->format) ? list->count : 0u);
    char text[SRV_FAILURE_TEXT_SIZE];
    if (missing > 0)
        std::snprintf(text, sizeof text, "cannot be written: %s; %llu events are missing from it", reason, missing);
    else
        std::snprintf(text, sizeof text, "cannot be written: %s", reason);
    SRV_KeepRunFailure(&board->runFailures, SRV_RUN_FAILURE_LIST_FILE, status, list->fileName, text);
}

// Ends the channel's output: its buffered events written, its file closed.
// A flush or close that fails is reported (and, with keepFailure, kept among
// the run's failures: no reply of its own carries it), and the output ends
// all the same, so that the next start opens a new one; the events that did
// not reach the file are dropped with the buffer, as every stop of a file
// format does.
static SRVStatus_t stopListSaving(SRVBoard_t* board, SRVListSave_t* list, bool keepFailure) {
    SRVStatus_t status = SRV_FlushListEvents(list);
    SRVStatus_t closed = SRV_CloseListFile(list);
    if (status == SRV_SUCCESS)
        status = closed;
    if (status != SRV_SUCCESS) {
        SRV_LogListSaveFailure(&LOG_MODULE, board, __LINE__, list);
        if (keepFailure)
            keepStopFailure(board, list, status);
    }
    list->writeError = 0;
    list->missedEvents = 0;
    if (SRV_ListFormatHasFile(list->format))
        list->count = 0;
    list->saving = 0;
    return status;
}

SRVStatus_t SRV_HandleListSaving(SRVBoard_t* board, uint32_t channelMask, uint32_t action) {
    uint32_t channels = channelCount(board);
    SRVStatus_t first = SRV_SUCCESS;
    for (uint32_t channel = 0; channel < channels; channel++) {
        if ((channelMask & (1u << (channel % 32))) == 0)
            continue;
        SRVListSave_t* list = &board->channels[channel].listSave;
        // A channel disabled while it was saving is still stopped, so that
        // its file is closed.
        bool selected = list->enabled || (action == SRV_LIST_ACTION_STOP && list->saving);
        if (!selected)
            continue;
        if (action == SRV_LIST_ACTION_START) {
            SRVStatus_t status = startListSaving(board, list);
            if (status != SRV_SUCCESS)
                return status;
            continue;
        }
        // A stop ends every selected channel's output, whatever failed on an
        // earlier one; it writes only into files that are open, so it needs
        // no folder.
        SRVStatus_t status = stopListSaving(board, list, true);
        if (first == SRV_SUCCESS)
            first = status;
    }
    return first;
}

// ------------------------------------------------------------ per cycle

// The energy on the bin scale of the channel's energy spectrum: shifted by
// the histogram's shift (SRV_SpectrumBinShift, taken once per readout), so
// that a listed energy is the bin into which the cycle counts the event,
// whatever the bin count.
static uint16_t binScaleEnergy(uint32_t binShift, uint16_t energy) {
    return static_cast<uint16_t>(static_cast<uint32_t>(energy) >> binShift);
}

// A level of the spectrum as the histogram compares it; an unbound level
// does not limit the listing.
static uint16_t levelValue(const double* level, uint16_t fallback) {
    return level != NULL ? SRV_SpectrumLevel(level) : fallback;
}

// What decides whether an event is listed, read once a cycle: nothing
// changes it while the cycle holds the board lock.
struct ListFilter {
    bool keepPseudo;
    bool keepFlag400;
    bool allEnergies;
    uint16_t lld;
    uint16_t uld;
};

static ListFilter listFilterOf(const SRVListSave_t* list, const SRVEnergySpectrum_t* spectrum) {
    return {list->keepPseudo != 0, list->keepFlag400 != 0, list->allEnergies != 0, levelValue(spectrum->lld, 0),
            levelValue(spectrum->uld, 0xFFFF)};
}

// Whether the event is listed: stop-criterion events end the listing (see
// the caller), pseudo and 0x400 events only on request, energies outside the
// spectrum's levels only with allEnergies.
static bool acceptEvent(const ListFilter& filter, uint32_t flags, uint16_t energy) {
    if ((flags & EVTFLAG_PSEUDO) != 0 && !filter.keepPseudo)
        return false;
    if ((flags & EVTFLAG_400) != 0 && !filter.keepFlag400)
        return false;
    return filter.allEnergies || (energy >= filter.lld && energy <= filter.uld);
}

// Counts the events of the readout from `from` on that the list takes, up to
// the stop criterion's event (which ends the listing as it does when the file
// is whole), as missed: the file that was cut misses them.
static void countMissedEvents(SRVListSave_t* list, const ListFilter& filter, const c_ChannelRecord_t* record,
                              uint32_t binShift, uint32_t from) {
    for (uint32_t i = from; i < record->nEvents; i++) {
        const c_DPPEvent_t* event = &record->events[i];
        if ((event->flags & EVTFLAG_STOP_CRITERION) != 0) {
            list->stopReached = 1;
            return;
        }
        if (acceptEvent(filter, event->flags, binScaleEnergy(binShift, event->energy)))
            list->missedEvents++;
    }
}

int handleListMode(SRVBoard_t* board, uint32_t channel) {
    if (channel >= channelCount(board))
        return 0;
    const c_ChannelRecord_t* record = &board->digitizer.channels[channel];
    SRVChannel_t* server = &board->channels[channel];
    SRVListSave_t* list = &server->listSave;
    if (record->nEvents == 0 || record->events == NULL || !list->enabled || !anyFieldSelected(list) ||
        list->stopReached || !SRV_ListArraysPresent(list))
        return 0;
    const SRVEnergySpectrum_t* spectrum = &server->energySpectra[0];
    const uint32_t binShift = SRV_SpectrumBinShift(spectrum);
    const ListFilter filter = listFilterOf(list, spectrum);
    // An output that a write failed into lists nothing more until its stop,
    // which reports how many events the file misses.
    if (list->writeError != 0) {
        countMissedEvents(list, filter, record, binShift, 0);
        return 0;
    }
    // The count is kept here and stored before a flush and at the end: read
    // back from the record after every buffered event, each event would wait
    // for the previous one's stores.
    uint32_t count = list->count;
    for (uint32_t i = 0; i < record->nEvents; i++) {
        if (count >= list->bufferSize)
            break;
        const c_DPPEvent_t* event = &record->events[i];
        if ((event->flags & EVTFLAG_STOP_CRITERION) != 0) {
            list->stopReached = 1;
            break;
        }
        uint16_t energy = binScaleEnergy(binShift, event->energy);
        if (!acceptEvent(filter, event->flags, energy))
            continue;
        list->timeTags[count] = event->timeStamp;
        list->energies[count] = energy;
        list->flags[count] = event->flags;
        count++;
        if (count == list->bufferSize) {
            list->count = count;
            if (SRV_FlushListEvents(list) != SRV_SUCCESS) {
                countMissedEvents(list, filter, record, binShift, i + 1);
                SRV_LogListSaveFailure(&THREAD_LOG_MODULE, board, __LINE__, list);
                return -1;
            }
            count = list->count;
        }
    }
    list->count = count;
    return 0;
}

// ------------------------------------------------------------ settings

// A new buffer size, checked before anything of the request is stored: 0,
// or -41 when the size would lose buffered events or end the listing of the
// acquisition under way. A size the buffer can't hold takes the buffered
// events out: while saving into a file they are written first, otherwise
// (no file, or not saving) they wait for command 36 and the size is refused.
// A size above the limit, which no start accepts, would leave a saving
// channel without a buffer for the rest of its acquisition: refused then too.
static SRVStatus_t checkBufferSize(SRVBoard_t* board, SRVListSave_t* list, uint32_t bufferSize) {
    bool aboveLimit = bufferSize > SRV_LIST_MAX_EVENTS;
    if (aboveLimit && list->saving) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Too many events to save (%u). Maximum allowed: %u", bufferSize, SRV_LIST_MAX_EVENTS);
        return SRV_ERR_BUFFER;
    }
    bool holdsCount = !aboveLimit && bufferSize >= list->count;
    bool writable = list->saving && SRV_ListFormatHasFile(list->format);
    if (!holdsCount && !writable && list->count > 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "A buffer of %u events would drop the %u events buffered. Fetch them first.", bufferSize,
                         list->count);
        return SRV_ERR_BUFFER;
    }
    return SRV_SUCCESS;
}

// Stores the settings into the record. A new format or file name while the
// channel is saving ends the current output (its buffered events written)
// and opens the new one at once, so that the open file always matches the
// format; a met stop criterion still ends the listing of that acquisition.
// A smaller buffer first writes what it would drop while saving.
SRVStatus_t SRV_SetListSettings(SRVBoard_t* board, SRVListSave_t* list, const SRVListSettings_t* settings) {
    const SRVListSettings_t& s = *settings;
    const uint32_t mask = s.given;
    if (mask & SRV_LIST_SET_BUFFER_SIZE) {
        SRVStatus_t checked = checkBufferSize(board, list, s.bufferSize);
        if (checked != SRV_SUCCESS)
            return checked;
    }
    bool newFormat = (mask & SRV_LIST_SET_FORMAT) && s.format != list->format;
    bool newFile = (mask & SRV_LIST_SET_FILE_NAME) && std::strcmp(s.fileName, list->fileName) != 0;
    bool reopen = list->saving && (newFormat || newFile);
    uint8_t stopReached = list->stopReached;
    SRVStatus_t status = SRV_SUCCESS;
    // An old output that could not be written to its end is reported; the
    // new settings and output take effect all the same.
    SRVStatus_t ended = SRV_SUCCESS;
    if (reopen)
        ended = stopListSaving(board, list, false);
    if (mask & SRV_LIST_SET_ENABLED)
        list->enabled = s.enabled != 0;
    if (mask & SRV_LIST_SET_FORMAT)
        list->format = s.format;
    if (mask & SRV_LIST_SET_FILE_NAME)
        std::snprintf(list->fileName, sizeof list->fileName, "%s", s.fileName);
    if (mask & SRV_LIST_SET_FIELDS) {
        list->withTimeTag = (s.fields & SRV_LIST_FIELD_TIME_TAG) != 0;
        list->withEnergy = (s.fields & SRV_LIST_FIELD_ENERGY) != 0;
        list->withFlags = (s.fields & SRV_LIST_FIELD_FLAGS) != 0;
    }
    if (mask & SRV_LIST_SET_KEEP_PSEUDO)
        list->keepPseudo = s.keepPseudo != 0;
    if (mask & SRV_LIST_SET_KEEP_FLAG400)
        list->keepFlag400 = s.keepFlag400 != 0;
    if (mask & SRV_LIST_SET_ALL_ENERGIES)
        list->allEnergies = s.allEnergies != 0;
    if (mask & SRV_LIST_SET_BUFFER_SIZE) {
        if (list->saving && s.bufferSize < list->count)
            status = SRV_FlushListEvents(list);
        if (status != SRV_SUCCESS) {
            SRV_LogListSaveFailure(&LOG_MODULE, board, __LINE__, list);
            return status;
        }
        list->bufferSize = s.bufferSize;
        SRV_ResizeListBuffers(list);
    }
    if (reopen && status == SRV_SUCCESS && list->enabled) {
        status = startListSaving(board, list);
        if (status == SRV_SUCCESS)
            list->stopReached = stopReached;
    }
    return ended != SRV_SUCCESS ? ended : status;
}

uint32_t SRV_ListFields(const SRVListSave_t* list) {
    return (list->withTimeTag ? SRV_LIST_FIELD_TIME_TAG : 0u) | (list->withEnergy ? SRV_LIST_FIELD_ENERGY : 0u) |
           (list->withFlags ? SRV_LIST_FIELD_FLAGS : 0u);
}
