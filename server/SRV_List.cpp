// List mode: per-channel event buffers, the text and binary list files, and
// commands 35 and 36.
#include "SRV_List.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "SRVParameters.h"
#include "SRVRequest.h"
#include "SRV_ClientPaths.h"
#include "SRV_Spectra.h"

static const c_LogModule_t LOG_MODULE = {"SRV_ListLog.txt", "SRV_List"};
// handleListMode runs inside the board thread's cycle and logs with it.
static const c_LogModule_t THREAD_LOG_MODULE = {"SRVBoardThreadLog.txt", "SRVBoardThread"};

// Data-mask bits of commands 35 and 36.
enum : uint64_t {
    LIST_BIT_ENABLED = 1ull << 0,
    LIST_BIT_FORMAT = 1ull << 1,
    LIST_BIT_FILE_NAME = 1ull << 2,
    LIST_BIT_FIELDS = 1ull << 3,
    LIST_BIT_KEEP_PSEUDO = 1ull << 4,
    LIST_BIT_BUFFER_SIZE = 1ull << 5,
    LIST_BIT_COUNT = 1ull << 6,
    LIST_BIT_TIME_TAGS = 1ull << 7,
    LIST_BIT_ENERGIES = 1ull << 8,
    LIST_BIT_FLAGS = 1ull << 9,
    LIST_BIT_KEEP_FLAG400 = 1ull << 10,
    LIST_BIT_ALL_ENERGIES = 1ull << 11,
};
static const uint64_t SET_KNOWN_MASK = LIST_BIT_ENABLED | LIST_BIT_FORMAT | LIST_BIT_FILE_NAME | LIST_BIT_FIELDS |
                                       LIST_BIT_KEEP_PSEUDO | LIST_BIT_BUFFER_SIZE | LIST_BIT_KEEP_FLAG400 |
                                       LIST_BIT_ALL_ENERGIES;
static const uint64_t GET_KNOWN_MASK =
    SET_KNOWN_MASK | LIST_BIT_COUNT | LIST_BIT_TIME_TAGS | LIST_BIT_ENERGIES | LIST_BIT_FLAGS;
static const uint64_t EVENT_ARRAY_BITS = LIST_BIT_TIME_TAGS | LIST_BIT_ENERGIES | LIST_BIT_FLAGS;

// Bits of the selected-fields value.
enum : uint32_t {
    FIELD_TIME_TAG = 1u << 0,
    FIELD_ENERGY = 1u << 1,
    FIELD_FLAGS = 1u << 2,
};

// Flag 0x400 events are kept only on request.
static const uint32_t EVTFLAG_400 = 0x400u;

static bool arraysPresent(const SRVListSave_t* list) {
    return list->timeTags != NULL && list->energies != NULL && list->flags != NULL;
}

static bool anyFieldSelected(const SRVListSave_t* list) {
    return list->withTimeTag || list->withEnergy || list->withFlags;
}

static bool knownFormat(int32_t format) {
    return format == SRV_LIST_FORMAT_TEXT || format == SRV_LIST_FORMAT_BINARY || format == SRV_LIST_FORMAT_NONE;
}

static bool formatWithFile(int32_t format) {
    return format == SRV_LIST_FORMAT_TEXT || format == SRV_LIST_FORMAT_BINARY;
}

static uint32_t channelCount(const SRVBoard_t* board) { return SRV_ChannelCount(board); }

// ------------------------------------------------------------- buffers

// Reallocates one array to count elements of size bytes; on failure the old
// array is freed and the result is NULL.
template <typename T>
static T* resizeArray(T* array, uint32_t count) {
    T* resized = static_cast<T*>(c_realloc(array, static_cast<size_t>(count) * sizeof(T)));
    if (resized == NULL)
        c_free(array);
    return resized;
}

static void freeArrays(SRVListSave_t* list) {
    c_free(list->timeTags);
    c_free(list->energies);
    c_free(list->flags);
    list->timeTags = NULL;
    list->energies = NULL;
    list->flags = NULL;
}

void SRV_ResizeListBuffers(SRVListSave_t* list) {
    if (list == NULL)
        return;
    // A start refuses a buffer above the limit, so such a size is never
    // allocated: a client can't make the server reserve gigabytes.
    if (list->bufferSize > SRV_LIST_MAX_EVENTS) {
        freeArrays(list);
    } else {
        list->timeTags = resizeArray(list->timeTags, list->bufferSize);
        list->energies = resizeArray(list->energies, list->bufferSize);
        list->flags = resizeArray(list->flags, list->bufferSize);
    }
    // Events beyond the new size are dropped; without all three arrays no
    // event can be kept at all.
    if (list->count > list->bufferSize)
        list->count = list->bufferSize;
    if (!arraysPresent(list))
        list->count = 0;
}

void SRV_FreeListSave(SRVListSave_t* list) {
    if (list == NULL)
        return;
    if (list->file != NULL) {
        std::fclose(list->file);
        list->file = NULL;
    }
    freeArrays(list);
    list->bufferSize = 0;
    list->count = 0;
    list->saving = 0;
}

SRVStatus_t SRV_InitListSave(SRVBoard_t* board, uint32_t channel, const char* fileName) {
    if (channel >= SRV_MAX_CHANNELS)
        return SRV_ERR_RESOURCE;
    SRVListSave_t* list = &board->channels[channel].listSave;
    if (list->file != NULL)
        std::fclose(list->file);
    list->file = NULL;
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

// -------------------------------------------------------------- files

static void writeTextHeader(const SRVListSave_t* list) {
    if (list->withTimeTag)
        std::fputs("TIMETAG\t\t", list->file);
    if (list->withEnergy)
        std::fputs("ENERGY\t", list->file);
    if (list->withFlags)
        std::fputs("FLAGS\t", list->file);
    std::fputs("\n", list->file);
}

static void writeTextEvent(const SRVListSave_t* list, uint32_t i) {
    if (list->withTimeTag)
        std::fprintf(list->file, "%llu\t", static_cast<unsigned long long>(list->timeTags[i]));
    if (list->withEnergy)
        std::fprintf(list->file, "%hu\t", list->energies[i]);
    if (list->withFlags)
        std::fprintf(list->file, "0x%08X\t", list->flags[i]);
    std::fputs("\n", list->file);
}

// Bytes of binary records packed before each write: the buffered events go
// out in few large writes rather than one small write per field.
static const size_t BINARY_CHUNK_BYTES = 64 * 1024;

// Appends one field of event i at `out`; the next free byte.
template <typename T>
static uint8_t* packField(uint8_t* out, const T* values, uint32_t i) {
    std::memcpy(out, &values[i], sizeof(T));
    return out + sizeof(T);
}

// The selected fields of every buffered event packed without padding, in the
// server's byte order, written a chunk at a time.
static void writeBinaryEvents(const SRVListSave_t* list) {
    static thread_local uint8_t chunk[BINARY_CHUNK_BYTES];
    const size_t recordBytes = (list->withTimeTag ? sizeof list->timeTags[0] : 0) +
                               (list->withEnergy ? sizeof list->energies[0] : 0) +
                               (list->withFlags ? sizeof list->flags[0] : 0);
    const uint32_t perChunk = static_cast<uint32_t>(BINARY_CHUNK_BYTES / recordBytes);
    for (uint32_t first = 0; first < list->count; first += perChunk) {
        uint32_t last = list->count - first < perChunk ? list->count : first + perChunk;
        uint8_t* out = chunk;
        for (uint32_t i = first; i < last; i++) {
            if (list->withTimeTag)
                out = packField(out, list->timeTags, i);
            if (list->withEnergy)
                out = packField(out, list->energies, i);
            if (list->withFlags)
                out = packField(out, list->flags, i);
        }
        std::fwrite(chunk, 1, static_cast<size_t>(out - chunk), list->file);
    }
}

SRVStatus_t SRV_FlushListEvents(SRVListSave_t* list) {
    if (list == NULL)
        return SRV_ERR_RESOURCE;
    if (list->format == SRV_LIST_FORMAT_NONE || !list->saving)
        return SRV_SUCCESS;
    // Nothing buffered is nothing to write, with or without the arrays.
    if (list->count == 0)
        return SRV_SUCCESS;
    if (!arraysPresent(list))
        return SRV_ERR_RESOURCE;
    if (!knownFormat(list->format))
        return SRV_ERR_LIST_RECORD;
    if (list->file == NULL)
        return SRV_ERR_RESOURCE;
    if (list->format == SRV_LIST_FORMAT_TEXT) {
        for (uint32_t i = 0; i < list->count; i++)
            writeTextEvent(list, i);
    } else if (list->format == SRV_LIST_FORMAT_BINARY && anyFieldSelected(list)) {
        writeBinaryEvents(list);
    }
    list->count = 0;
    return SRV_SUCCESS;
}

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

// Opens the output of the record's format (text with its header line, or
// binary; none for format none): 0, -44 (unknown format) or -36.
static SRVStatus_t openListOutput(SRVBoard_t* board, SRVListSave_t* list, const SRVClientFile_t* folder) {
    if (!knownFormat(list->format)) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Unknown list file format %d.",
                         static_cast<int>(list->format));
        return SRV_ERR_LIST_RECORD;
    }
    if (!formatWithFile(list->format))
        return SRV_SUCCESS;
    // A link in the file's place is not followed, only a regular file is
    // emptied, and one with other links is re-created.
    int fd = SRV_CreateClientFile(folder);
    list->file = fd >= 0 ? fdopen(fd, "w+") : NULL;
    if (list->file == NULL) {
        if (fd >= 0)
            close(fd);
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Can't open list file %s (%s).",
                         list->fileName, std::strerror(errno));
        return SRV_ERR_FILE_OPEN;
    }
    if (list->format == SRV_LIST_FORMAT_TEXT)
        writeTextHeader(list);
    return SRV_SUCCESS;
}

static void closeListFile(SRVListSave_t* list) {
    if (list->file != NULL) {
        std::fclose(list->file);
        list->file = NULL;
    }
}

static SRVStatus_t beginListSaving(SRVBoard_t* board, SRVListSave_t* list, const SRVClientFile_t* folder) {
    if (list->bufferSize > SRV_LIST_MAX_EVENTS) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Too many events to save (%u). Maximum allowed: %u", list->bufferSize, SRV_LIST_MAX_EVENTS);
        return SRV_ERR_BUFFER;
    }
    if (!arraysPresent(list))
        return SRV_ERR_BUFFER;
    // A start on a channel that is still saving ends its previous output
    // first, so that no buffered event and no open file is lost.
    if (list->saving) {
        SRVStatus_t flushed = SRV_FlushListEvents(list);
        if (flushed != SRV_SUCCESS)
            return flushed;
    }
    closeListFile(list);
    list->saving = 0;
    SRVStatus_t status = openListOutput(board, list, folder);
    if (status != SRV_SUCCESS)
        return status;
    list->saving = 1;
    list->stopReached = 0;
    return SRV_SUCCESS;
}

// Starts the channel's output in the folder of its list file, opened for it.
static SRVStatus_t startListSaving(SRVBoard_t* board, SRVListSave_t* list) {
    SRVClientFile_t folder;
    SRVStatus_t status = openListFolder(board, list, &folder);
    if (status == SRV_SUCCESS)
        status = beginListSaving(board, list, &folder);
    SRV_CloseClientFolder(&folder);
    return status;
}

// Ends the channel's output: its buffered events written, its file closed.
// A flush that fails is reported, and the output ends all the same, so that
// the next start opens a new one.
static SRVStatus_t stopListSaving(SRVBoard_t* board, SRVListSave_t* list) {
    SRVStatus_t status = SRV_FlushListEvents(list);
    if (status != SRV_SUCCESS)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Error saving list events to file.");
    closeListFile(list);
    if (formatWithFile(list->format))
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
        SRVStatus_t status = stopListSaving(board, list);
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

// Whether the event is listed: stop-criterion events end the listing (see
// the caller), pseudo and 0x400 events only on request, energies outside the
// spectrum's levels only with allEnergies.
static bool acceptEvent(const SRVListSave_t* list, const SRVEnergySpectrum_t* spectrum, uint32_t flags,
                        uint16_t energy) {
    if ((flags & EVTFLAG_PSEUDO) != 0 && !list->keepPseudo)
        return false;
    if ((flags & EVTFLAG_400) != 0 && !list->keepFlag400)
        return false;
    if (!list->allEnergies) {
        uint16_t lld = levelValue(spectrum->lld, 0);
        uint16_t uld = levelValue(spectrum->uld, 0xFFFF);
        if (energy < lld || energy > uld)
            return false;
    }
    return true;
}

int handleListMode(SRVBoard_t* board, uint32_t channel) {
    if (channel >= channelCount(board))
        return 0;
    const c_ChannelRecord_t* record = &board->digitizer.channels[channel];
    SRVChannel_t* server = &board->channels[channel];
    SRVListSave_t* list = &server->listSave;
    if (record->nEvents == 0 || record->events == NULL || !list->enabled || !anyFieldSelected(list) ||
        list->stopReached || !arraysPresent(list))
        return 0;
    const SRVEnergySpectrum_t* spectrum = &server->energySpectra[0];
    const uint32_t binShift = SRV_SpectrumBinShift(spectrum);
    for (uint32_t i = 0; i < record->nEvents; i++) {
        if (list->count >= list->bufferSize)
            break;
        const c_DPPEvent_t* event = &record->events[i];
        if ((event->flags & EVTFLAG_STOP_CRITERION) != 0) {
            list->stopReached = 1;
            break;
        }
        uint16_t energy = binScaleEnergy(binShift, event->energy);
        if (!acceptEvent(list, spectrum, event->flags, energy))
            continue;
        list->timeTags[list->count] = event->timeStamp;
        list->energies[list->count] = energy;
        list->flags[list->count] = event->flags;
        list->count++;
        if (list->count == list->bufferSize && SRV_FlushListEvents(list) != SRV_SUCCESS) {
            c_extendedLogMsg(&THREAD_LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                             "Error saving list events to file.");
            return -1;
        }
    }
    return 0;
}

// ------------------------------------------------------------ commands

// The fields that command 35 can set, read from the request.
struct ListSettings {
    uint32_t enabled = 0;
    int32_t format = 0;
    char fileName[SRV_PATH_SIZE] = "";
    uint32_t fields = 0;
    uint32_t keepPseudo = 0;
    uint32_t bufferSize = 0;
    uint32_t keepFlag400 = 0;
    uint32_t allEnergies = 0;
};

// False when a field of the mask is missing.
static bool readSettings(uint64_t mask, ListSettings* s, SRVRequest* request) {
    return (!(mask & LIST_BIT_ENABLED) || request->u32(&s->enabled)) &&
           (!(mask & LIST_BIT_FORMAT) || request->i32(&s->format)) &&
           (!(mask & LIST_BIT_FILE_NAME) || request->text(s->fileName, sizeof s->fileName)) &&
           (!(mask & LIST_BIT_FIELDS) || request->u32(&s->fields)) &&
           (!(mask & LIST_BIT_KEEP_PSEUDO) || request->u32(&s->keepPseudo)) &&
           (!(mask & LIST_BIT_BUFFER_SIZE) || request->u32(&s->bufferSize)) &&
           (!(mask & LIST_BIT_KEEP_FLAG400) || request->u32(&s->keepFlag400)) &&
           (!(mask & LIST_BIT_ALL_ENERGIES) || request->u32(&s->allEnergies));
}

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
    bool writable = list->saving && formatWithFile(list->format);
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
static SRVStatus_t applySettings(SRVBoard_t* board, SRVListSave_t* list, uint64_t mask, const ListSettings& s) {
    if (mask & LIST_BIT_BUFFER_SIZE) {
        SRVStatus_t checked = checkBufferSize(board, list, s.bufferSize);
        if (checked != SRV_SUCCESS)
            return checked;
    }
    bool newFormat = (mask & LIST_BIT_FORMAT) && s.format != list->format;
    bool newFile = (mask & LIST_BIT_FILE_NAME) && std::strcmp(s.fileName, list->fileName) != 0;
    bool reopen = list->saving && (newFormat || newFile);
    uint8_t stopReached = list->stopReached;
    SRVStatus_t status = SRV_SUCCESS;
    if (reopen) {
        status = stopListSaving(board, list);
        if (status != SRV_SUCCESS)
            return status;
    }
    if (mask & LIST_BIT_ENABLED)
        list->enabled = s.enabled != 0;
    if (mask & LIST_BIT_FORMAT)
        list->format = s.format;
    if (mask & LIST_BIT_FILE_NAME)
        std::snprintf(list->fileName, sizeof list->fileName, "%s", s.fileName);
    if (mask & LIST_BIT_FIELDS) {
        list->withTimeTag = (s.fields & FIELD_TIME_TAG) != 0;
        list->withEnergy = (s.fields & FIELD_ENERGY) != 0;
        list->withFlags = (s.fields & FIELD_FLAGS) != 0;
    }
    if (mask & LIST_BIT_KEEP_PSEUDO)
        list->keepPseudo = s.keepPseudo != 0;
    if (mask & LIST_BIT_KEEP_FLAG400)
        list->keepFlag400 = s.keepFlag400 != 0;
    if (mask & LIST_BIT_ALL_ENERGIES)
        list->allEnergies = s.allEnergies != 0;
    if (mask & LIST_BIT_BUFFER_SIZE) {
        if (list->saving && s.bufferSize < list->count)
            status = SRV_FlushListEvents(list);
        if (status != SRV_SUCCESS)
            return status;
        list->bufferSize = s.bufferSize;
        SRV_ResizeListBuffers(list);
    }
    if (reopen && status == SRV_SUCCESS && list->enabled) {
        status = startListSaving(board, list);
        if (status == SRV_SUCCESS)
            list->stopReached = stopReached;
    }
    return status;
}

// The head of commands 35 and 36: the data mask and the channel.
static bool readMaskAndChannel(SRVRequest* request, uint64_t* mask, int32_t* channel) {
    return request->u64(mask) && request->i32(channel);
}

void* SRV_CmdSetListParams(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                           uint32_t* replySize, SRVStatus_t* status) {
    SRVRequest request(payload, payloadSize);
    uint64_t mask = 0;
    int32_t channel = 0;
    if (!readMaskAndChannel(&request, &mask, &channel)) {
        *status = request.status();
        return NULL;
    }
    uint64_t unknown = mask & ~SET_KNOWN_MASK;
    if (unknown != 0) {
        SRV_LogUnsupportedMask(&LOG_MODULE, board, "dataMask", mask, unknown);
        *status = SRV_ERR_UNSUPPORTED;
        return NULL;
    }
    ListSettings settings;
    if (!readSettings(mask, &settings, &request)) {
        *status = request.status();
        return NULL;
    }
    // The file is made where the client says only inside the server's folders.
    if ((mask & LIST_BIT_FILE_NAME) != 0) {
        *status = SRV_CheckClientPath(&LOG_MODULE, "List file", settings.fileName, true);
        if (*status != SRV_SUCCESS)
            return NULL;
    }
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return NULL;
    SRVListSave_t* list = NULL;
    SRVStatus_t result = SRV_GetListSave(board, channel, &list);
    if (result == SRV_SUCCESS)
        result = applySettings(board, list, mask, settings);
    SRVReply reply(command);
    if (result == SRV_SUCCESS && !reply.ok())
        result = SRV_ERR_SERIALIZE;
    return SRV_UnlockAndReply(&reply, board, result, replySize, status);
}

// Appends count values of an event array; a missing array can be sent only
// when it holds no event.
template <typename T>
static void appendEvents(SRVReply* reply, const T* values, uint32_t count,
                         void (SRVReply::*append)(const T*, uint32_t)) {
    if (count == 0)
        return;
    if (values == NULL)
        reply->abandon();
    else
        (reply->*append)(values, count);
}

static void appendListFields(SRVReply* reply, uint64_t mask, const SRVListSave_t* list) {
    if (mask & LIST_BIT_ENABLED)
        reply->u32(list->enabled);
    if (mask & LIST_BIT_FORMAT)
        reply->i32(list->format);
    if (mask & LIST_BIT_FILE_NAME)
        reply->text(list->fileName, SRV_PATH_SIZE);
    if (mask & LIST_BIT_FIELDS)
        reply->u32((list->withTimeTag ? FIELD_TIME_TAG : 0u) | (list->withEnergy ? FIELD_ENERGY : 0u) |
                   (list->withFlags ? FIELD_FLAGS : 0u));
    if (mask & LIST_BIT_KEEP_PSEUDO)
        reply->u32(list->keepPseudo);
    if (mask & LIST_BIT_BUFFER_SIZE)
        reply->u32(list->bufferSize);
    if (mask & LIST_BIT_COUNT)
        reply->u32(list->count);
    if (mask & LIST_BIT_TIME_TAGS)
        appendEvents<uint64_t>(reply, list->timeTags, list->count, &SRVReply::u64);
    if (mask & LIST_BIT_ENERGIES)
        appendEvents<uint16_t>(reply, list->energies, list->count, &SRVReply::u16);
    if (mask & LIST_BIT_FLAGS)
        appendEvents<uint32_t>(reply, list->flags, list->count, &SRVReply::u32);
    if (mask & LIST_BIT_KEEP_FLAG400)
        reply->u32(list->keepFlag400);
    if (mask & LIST_BIT_ALL_ENERGIES)
        reply->u32(list->allEnergies);
}

void* SRV_CmdGetListParams(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                           uint32_t* replySize, SRVStatus_t* status) {
    SRVRequest request(payload, payloadSize);
    uint64_t mask = 0;
    int32_t channel = 0;
    if (!readMaskAndChannel(&request, &mask, &channel)) {
        *status = request.status();
        return NULL;
    }
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return NULL;
    SRVListSave_t* list = NULL;
    SRVStatus_t result = SRV_GetListSave(board, channel, &list);
    SRVReply reply(command);
    if (result == SRV_SUCCESS) {
        appendListFields(&reply, mask, list);
        if (!reply.ok())
            result = SRV_ERR_SERIALIZE;
    }
    uint64_t unknown = mask & ~GET_KNOWN_MASK;
    if (result == SRV_SUCCESS && unknown != 0) {
        SRV_LogUnsupportedMask(&LOG_MODULE, board, "dataMask", mask, unknown);
        result = SRV_ERR_UNSUPPORTED;
    }
    // Fetching the events empties the buffer, whatever the format.
    if (result == SRV_SUCCESS && (mask & EVENT_ARRAY_BITS) != 0)
        list->count = 0;
    return SRV_UnlockAndReply(&reply, board, result, replySize, status);
}
