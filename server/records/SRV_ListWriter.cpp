// List mode's checked file writer: the text and binary list files.
#include "SRV_ListWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "SRV_ListBuffers.h"

const c_LogModule_t SRV_LIST_LOG_MODULE = {"SRV_ListLog.txt", "SRV_List"};

bool SRV_ListFormatKnown(int32_t format) {
    return format == SRV_LIST_FORMAT_TEXT || format == SRV_LIST_FORMAT_BINARY || format == SRV_LIST_FORMAT_NONE;
}

bool SRV_ListFormatHasFile(int32_t format) {
    return format == SRV_LIST_FORMAT_TEXT || format == SRV_LIST_FORMAT_BINARY;
}

namespace {

// Bytes of records gathered before each write.
const size_t CHUNK_BYTES = 64 * 1024;
// The longest text line: a 20-digit time tag, a 5-digit energy, "0x" and 8
// hexadecimal digits of the flags, a tab after each and the line end.
const size_t MAX_LINE_BYTES = 20 + 1 + 5 + 1 + 10 + 1 + 1;

// Appends size bytes to the file: the bytes that reached it. A failure keeps
// the system's error number in writeError.
size_t appendToFile(SRVListSave_t* list, const char* data, size_t size) {
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
uint32_t writeRecords(SRVListSave_t* list, const char* chunk, size_t bytes, uint32_t records, size_t recordBytes) {
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

char* putText(char* out, const char* text) {
    size_t length = std::strlen(text);
    std::memcpy(out, text, length);
    return out + length;
}

char* putDecimal(char* out, uint64_t value) {
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
char* putFlags(char* out, uint32_t flags) {
    static const char HEX[] = "0123456789ABCDEF";
    *out++ = '0';
    *out++ = 'x';
    for (int shift = 28; shift >= 0; shift -= 4)
        *out++ = HEX[(flags >> shift) & 0xFu];
    return out;
}

// The title line of the selected columns: true when it reached the file.
bool writeTextHeader(SRVListSave_t* list) {
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
char* putTextEvent(char* out, const SRVListSave_t* list, uint32_t i) {
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
char* packField(char* out, const T* values, uint32_t i) {
    std::memcpy(out, &values[i], sizeof(T));
    return out + sizeof(T);
}

// Writes the buffered events, a chunk at a time: as text lines, or as the
// selected fields packed without padding in the server's byte order. The
// number of events, from the first, that reached the file whole.
uint32_t writeEvents(SRVListSave_t* list) {
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

} // namespace

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
    if (!SRV_ListArraysPresent(list))
        return SRV_ERR_RESOURCE;
    if (!SRV_ListFormatKnown(list->format))
        return SRV_ERR_LIST_RECORD;
    if (list->file == NULL)
        return SRV_ERR_RESOURCE;
    // Only the events that reached the file leave the buffer.
    SRV_DropSavedListEvents(list, writeEvents(list));
    return list->count == 0 ? SRV_SUCCESS : SRV_ERR_RESOURCE;
}

void SRV_LogListSaveFailure(const c_LogModule_t* module, SRVBoard_t* board, int line, const SRVListSave_t* list) {
    if (list->writeError == 0) {
        c_extendedLogMsg(module, &board->digitizer, C_LOG_ERROR, line, "Error saving list events to file.");
        return;
    }
    c_extendedLogMsg(module, &board->digitizer, C_LOG_ERROR, line,
                     "Error saving list events to file. %s: %s; %u events not written, and the file lists nothing "
                     "more until the next start.",
                     list->fileName, std::strerror(list->writeError), list->count);
}

SRVStatus_t SRV_CloseListFile(SRVListSave_t* list) {
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

SRVStatus_t SRV_OpenListFile(SRVBoard_t* board, SRVListSave_t* list, const SRVClientFile_t* folder) {
    if (!SRV_ListFormatKnown(list->format)) {
        c_extendedLogMsg(&SRV_LIST_LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Unknown list file format %d.",
                         static_cast<int>(list->format));
        return SRV_ERR_LIST_RECORD;
    }
    if (!SRV_ListFormatHasFile(list->format))
        return SRV_SUCCESS;
    list->writeError = 0;
    list->missedEvents = 0;
    // A link in the file's place is not followed, only a regular file is
    // emptied, and one with other links is re-created.
    int fd = SRV_CreateClientFile(folder);
    list->file = fd >= 0 ? fdopen(fd, "w+") : NULL;
    if (list->file == NULL) {
        if (fd >= 0)
            close(fd);
        c_extendedLogMsg(&SRV_LIST_LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Can't open list file %s (%s).", list->fileName, std::strerror(errno));
        return SRV_ERR_FILE_OPEN;
    }
    if (list->format == SRV_LIST_FORMAT_TEXT && !writeTextHeader(list)) {
        SRV_LogListSaveFailure(&SRV_LIST_LOG_MODULE, board, __LINE__, list);
        SRV_CloseListFile(list);
        list->writeError = 0;
        return SRV_ERR_RESOURCE;
    }
    return SRV_SUCCESS;
}
