// List mode: per-channel event buffers, the text and binary list files, and
// commands 35 and 36.
#include "SRV_List.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "SRVParameters.h"
#include "SRV_BoardLock.h"
#include "SRV_ClientPaths.h"
#include "SRV_CommandRequest.h"
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
    // Nothing saves any more when the record is freed: the stop has written
    // and closed every output.
    if (list->file != NULL) {
        std::fclose(list->file);
        list->file = NULL;
    }
    list->writeError = 0;
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
    list->writeError = 0;
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

// The list file is written through its descriptor, a chunk of whole records
// at a time, so that every byte that reached the file is known. A write that
// fails (a full disk, a file-size limit) cuts the file back to its last whole
// record, so that no reader takes a cut line or record for an event, and
// ends the output: nothing more is written into that file, the events that
// did not reach it stay buffered, and the stop reports the failure.

// Bytes of records gathered before each write.
static const size_t CHUNK_BYTES = 64 * 1024;
// The longest text line: a 20-digit time tag, a 5-digit energy, "0x" and 8
// hexadecimal digits of the flags, a tab after each and the line end.
static const size_t MAX_LINE_BYTES = 20 + 1 + 5 + 1 + 10 + 1 + 1;

// Appends size bytes to the file: the bytes that reached it. A failure keeps
// the system's error number in writeError.
static size_t appendToFile(SRVListSave_t* list, const char* data, size_t size) {
    int fd = fileno(list->file);
    size_t done = 0;
    while (done < size) {
        ssize_t written = write(fd, data + done, size - done);
        if (written > 0) {
            done += static_cast<size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            list->writeError = written < 0 ? errno : EIO;
            break;
        }
    }
    return done;
}

// Writes a chunk of `records` whole records: lines when recordBytes is 0,
// else records of recordBytes bytes. The number of them that reached the
// file whole; after a failure the file ends with the last of them.
static uint32_t writeRecords(SRVListSave_t* list, const char* chunk, size_t bytes, uint32_t records,
                             size_t recordBytes) {
    size_t done = appendToFile(list, chunk, bytes);
    if (done == bytes)
        return records;
    size_t whole = 0;
    uint32_t saved = 0;
    if (recordBytes != 0) {
        saved = static_cast<uint32_t>(done / recordBytes);
        whole = saved * recordBytes;
    } else {
        for (size_t i = 0; i < done; i++) {
            if (chunk[i] == '\n') {
                saved++;
                whole = i + 1;
            }
        }
    }
    int fd = fileno(list->file);
    off_t end = lseek(fd, 0, SEEK_CUR);
    if (end >= 0 && done > whole) {
        off_t cut = end - static_cast<off_t>(done - whole);
        // Should the cut fail too, the failure is reported all the same.
        if (ftruncate(fd, cut) == 0)
            lseek(fd, cut, SEEK_SET);
    }
    return saved;
}

static char* putText(char* out, const char* text) {
    size_t length = std::strlen(text);
    std::memcpy(out, text, length);
    return out + length;
}

static char* putDecimal(char* out, uint64_t value) {
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        *out++ = digits[--count];
    return out;
}

// "0x" and eight upper-case hexadecimal digits.
static char* putFlags(char* out, uint32_t flags) {
    static const char HEX[] = "0123456789ABCDEF";
    *out++ = '0';
    *out++ = 'x';
    for (int shift = 28; shift >= 0; shift -= 4)
        *out++ = HEX[(flags >> shift) & 0xFu];
    return out;
}

// The title line of the selected columns: true when it reached the file.
static bool writeTextHeader(SRVListSave_t* list) {
    char line[MAX_LINE_BYTES];
    char* out = line;
    if (list->withTimeTag)
        out = putText(out, "TIMETAG\t\t");
    if (list->withEnergy)
        out = putText(out, "ENERGY\t");
    if (list->withFlags)
        out = putText(out, "FLAGS\t");
    *out++ = '\n';
    return writeRecords(list, line, static_cast<size_t>(out - line), 1, 0) == 1;
}

// One event line: each selected value followed by a tab, then the line end.
static char* putTextEvent(char* out, const SRVListSave_t* list, uint32_t i) {
    if (list->withTimeTag) {
        out = putDecimal(out, list->timeTags[i]);
        *out++ = '\t';
    }
    if (list->withEnergy) {
        out = putDecimal(out, list->energies[i]);
        *out++ = '\t';
    }
    if (list->withFlags) {
        out = putFlags(out, list->flags[i]);
        *out++ = '\t';
    }
    *out++ = '\n';
    return out;
}

// Appends one field of event i at `out`; the next free byte.
template <typename T>
static char* packField(char* out, const T* values, uint32_t i) {
    std::memcpy(out, &values[i], sizeof(T));
    return out + sizeof(T);
}

// Writes the buffered events, a chunk at a time: as text lines, or as the
// selected fields packed without padding in the server's byte order. The
// number of events, from the first, that reached the file whole.
static uint32_t writeEvents(SRVListSave_t* list) {
    static thread_local char chunk[CHUNK_BYTES];
    const bool text = list->format == SRV_LIST_FORMAT_TEXT;
    const size_t recordBytes = text ? 0
                                    : (list->withTimeTag ? sizeof list->timeTags[0] : 0) +
                                          (list->withEnergy ? sizeof list->energies[0] : 0) +
                                          (list->withFlags ? sizeof list->flags[0] : 0);
    // Binary records without a field hold nothing.
    if (!text && recordBytes == 0)
        return list->count;
    const size_t roomNeeded = text ? MAX_LINE_BYTES : recordBytes;
    uint32_t saved = 0;
    while (saved < list->count) {
        char* out = chunk;
        uint32_t records = 0;
        for (uint32_t i = saved; i < list->count && static_cast<size_t>(chunk + CHUNK_BYTES - out) >= roomNeeded;
             i++, records++) {
            if (text) {
                out = putTextEvent(out, list, i);
            } else {
                if (list->withTimeTag)
                    out = packField(out, list->timeTags, i);
                if (list->withEnergy)
                    out = packField(out, list->energies, i);
                if (list->withFlags)
                    out = packField(out, list->flags, i);
            }
        }
        uint32_t written = writeRecords(list, chunk, static_cast<size_t>(out - chunk), records, recordBytes);
        saved += written;
        if (written < records)
            break;
    }
    return saved;
}

// Takes the first `saved` events out of the buffer: the others move to its
// front, still buffered.
static void dropSavedEvents(SRVListSave_t* list, uint32_t saved) {
    uint32_t left = list->count - saved;
    if (saved != 0 && left != 0) {
        std::memmove(list->timeTags, list->timeTags + saved, left * sizeof list->timeTags[0]);
        std::memmove(list->energies, list->energies + saved, left * sizeof list->energies[0]);
        std::memmove(list->flags, list->flags + saved, left * sizeof list->flags[0]);
    }
    list->count = left;
}

SRVStatus_t SRV_FlushListEvents(SRVListSave_t* list) {
    if (list == NULL)
        return SRV_ERR_RESOURCE;
    if (list->format == SRV_LIST_FORMAT_NONE || !list->saving)
        return SRV_SUCCESS;
    // A file that a write failed into takes nothing more.
    if (list->writeError != 0)
        return SRV_ERR_RESOURCE;
    // Nothing buffered is nothing to write, with or without the arrays.
    if (list->count == 0)
        return SRV_SUCCESS;
    if (!arraysPresent(list))
        return SRV_ERR_RESOURCE;
    if (!knownFormat(list->format))
        return SRV_ERR_LIST_RECORD;
    if (list->file == NULL)
        return SRV_ERR_RESOURCE;
    // Only the events that reached the file leave the buffer.
    dropSavedEvents(list, writeEvents(list));
    return list->count == 0 ? SRV_SUCCESS : SRV_ERR_RESOURCE;
}

// "Error saving list events to file.", with the file and the system's reason
// when a write into it failed.
static void logSaveFailure(const c_LogModule_t* module, SRVBoard_t* board, int line, const SRVListSave_t* list) {
    if (list->writeError == 0) {
        c_extendedLogMsg(module, &board->digitizer, C_LOG_ERROR, line, "Error saving list events to file.");
        return;
    }
    c_extendedLogMsg(module, &board->digitizer, C_LOG_ERROR, line,
                     "Error saving list events to file. %s: %s; %u events not written, and the file lists nothing "
                     "more until the next start.",
                     list->fileName, std::strerror(list->writeError), list->count);
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

// Closes the list file: 0, or -17 when the close reported that what was
// written did not all reach it (the error number then in writeError).
static SRVStatus_t closeListFile(SRVListSave_t* list) {
    SRVStatus_t status = SRV_SUCCESS;
    if (list->file != NULL) {
        if (std::fclose(list->file) != 0) {
            if (list->writeError == 0)
                list->writeError = errno;
            status = SRV_ERR_RESOURCE;
        }
        list->file = NULL;
    }
    return status;
}

// Opens the output of the record's format (text with its header line, or
// binary; none for format none): 0, -44 (unknown format), -36, or -17 when
// the header line could not be written.
static SRVStatus_t openListOutput(SRVBoard_t* board, SRVListSave_t* list, const SRVClientFile_t* folder) {
    if (!knownFormat(list->format)) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Unknown list file format %d.",
                         static_cast<int>(list->format));
        return SRV_ERR_LIST_RECORD;
    }
    if (!formatWithFile(list->format))
        return SRV_SUCCESS;
    list->writeError = 0;
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
    if (list->format == SRV_LIST_FORMAT_TEXT && !writeTextHeader(list)) {
        logSaveFailure(&LOG_MODULE, board, __LINE__, list);
        closeListFile(list);
        list->writeError = 0;
        return SRV_ERR_RESOURCE;
    }
    return SRV_SUCCESS;
}

static SRVStatus_t stopListSaving(SRVBoard_t* board, SRVListSave_t* list, SRVFileFailure_t* failure);

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
        SRVStatus_t ended = stopListSaving(board, list, NULL);
        if (ended != SRV_SUCCESS)
            return ended;
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

// Starts the channel's output in the folder of its list file, opened for it;
// a format without a file opens no folder.
static SRVStatus_t startListSaving(SRVBoard_t* board, SRVListSave_t* list) {
    SRVClientFile_t folder = {-1, ""};
    SRVStatus_t status = formatWithFile(list->format) ? openListFolder(board, list, &folder) : SRV_SUCCESS;
    if (status == SRV_SUCCESS)
        status = beginListSaving(board, list, &folder);
    SRV_CloseClientFolder(&folder);
    return status;
}

// The list file that a stop could not complete, for the terminal: its name
// and what the stop could not write into it.
static void describeStopFailure(SRVFileFailure_t* failure, const SRVListSave_t* list, SRVStatus_t status) {
    failure->status = status;
    std::snprintf(failure->path, sizeof failure->path, "%s", list->fileName);
    const char* reason = list->writeError != 0 ? std::strerror(list->writeError) : "the write failed";
    if (list->count > 0 && formatWithFile(list->format))
        std::snprintf(failure->reason, sizeof failure->reason, "cannot be written: %s; %u buffered events are lost",
                      reason, list->count);
    else
        std::snprintf(failure->reason, sizeof failure->reason, "cannot be written: %s; it misses events", reason);
}

// Ends the channel's output: its buffered events written, its file closed.
// A flush or close that fails is reported (and described in failure), and
// the output ends all the same, so that the next start opens a new one; the
// events that did not reach the file are dropped with the buffer, as every
// stop of a file format does.
static SRVStatus_t stopListSaving(SRVBoard_t* board, SRVListSave_t* list, SRVFileFailure_t* failure) {
    SRVStatus_t status = SRV_FlushListEvents(list);
    SRVStatus_t closed = closeListFile(list);
    if (status == SRV_SUCCESS)
        status = closed;
    if (status != SRV_SUCCESS) {
        logSaveFailure(&LOG_MODULE, board, __LINE__, list);
        if (failure != NULL)
            describeStopFailure(failure, list, status);
    }
    list->writeError = 0;
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
        SRVFileFailure_t* stopFailure = &board->channels[channel].listStopFailure;
        if (action == SRV_LIST_ACTION_STOP)
            std::memset(stopFailure, 0, sizeof *stopFailure);
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
        SRVStatus_t status = stopListSaving(board, list, stopFailure);
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
    // An output that a write failed into lists nothing more until its stop.
    if (record->nEvents == 0 || record->events == NULL || !list->enabled || !anyFieldSelected(list) ||
        list->stopReached || !arraysPresent(list) || list->writeError != 0)
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
            logSaveFailure(&THREAD_LOG_MODULE, board, __LINE__, list);
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
    // An old output that could not be written to its end is reported; the
    // new settings and output take effect all the same.
    SRVStatus_t ended = SRV_SUCCESS;
    if (reopen)
        ended = stopListSaving(board, list, NULL);
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
        if (status != SRV_SUCCESS) {
            logSaveFailure(&LOG_MODULE, board, __LINE__, list);
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

// Command 35: u64 dataMask, int32 channel, one field per set bit.
void* SRV_CmdSetListParams(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVBoard_t* board = request.board;
    const uint64_t mask = request.dataMask;
    const int32_t channel = request.channel;
    ListSettings settings;
    if (!readSettings(mask, &settings, &request.fields)) {
        *status = request.fields.status();
        return NULL;
    }
    // A format no flush can write is refused here, with nothing stored, rather
    // than failing the acquisition at its first flush.
    if ((mask & LIST_BIT_FORMAT) != 0 && settings.format != SRV_LIST_FORMAT_TEXT &&
        settings.format != SRV_LIST_FORMAT_BINARY && settings.format != SRV_LIST_FORMAT_NONE) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Unknown list file format %d (0 text, 1 binary, 2 no file).",
                         static_cast<int>(settings.format));
        *status = SRV_ERR_LIST_RECORD;
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
    SRVReply reply(request.command);
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

// Command 36: u64 dataMask, int32 channel; one reply field per set bit.
// Fetching events (bits 7 to 9) empties the buffer.
void* SRV_CmdGetListParams(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    const uint64_t mask = request.dataMask;
    SRVListSave_t* list = NULL;
    SRVStatus_t result = SRV_GetListSave(request.board, request.channel, &list);
    SRVReply reply(request.command);
    if (result == SRV_SUCCESS) {
        appendListFields(&reply, mask, list);
        if (!reply.ok())
            result = SRV_ERR_SERIALIZE;
    }
    // Fetching the events empties the buffer, whatever the format; a request
    // with an unknown bit is refused and fetches nothing.
    if (result == SRV_SUCCESS && SRV_KnowsOutput(request) && (mask & EVENT_ARRAY_BITS) != 0)
        list->count = 0;
    return SRV_GiveReply(&reply, result, replySize, status);
}
