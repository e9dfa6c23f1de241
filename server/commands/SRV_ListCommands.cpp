// Commands 35 and 36: a channel's list-mode settings, and its buffered
// events.
#include "SRV_ListCommands.h"

#include <cstdio>

#include "SRV_BoardLock.h"
#include "SRV_ClientPaths.h"
#include "SRV_List.h"

static const c_LogModule_t& LOG_MODULE = SRV_LIST_LOG_MODULE;

// Data-mask bits of command 36 beyond the settings.
enum : uint64_t {
    LIST_BIT_COUNT = 1ull << 6,
    LIST_BIT_TIME_TAGS = 1ull << 7,
    LIST_BIT_ENERGIES = 1ull << 8,
    LIST_BIT_FLAGS = 1ull << 9,
};
static const uint64_t EVENT_ARRAY_BITS = LIST_BIT_TIME_TAGS | LIST_BIT_ENERGIES | LIST_BIT_FLAGS;

// False when a field of the mask is missing.
static bool readSettings(uint64_t mask, SRVListSettings_t* s, SRVRequest* request) {
    s->given = static_cast<uint32_t>(mask);
    return (!(mask & SRV_LIST_SET_ENABLED) || request->u32(&s->enabled)) &&
           (!(mask & SRV_LIST_SET_FORMAT) || request->i32(&s->format)) &&
           (!(mask & SRV_LIST_SET_FILE_NAME) || request->text(s->fileName, sizeof s->fileName)) &&
           (!(mask & SRV_LIST_SET_FIELDS) || request->u32(&s->fields)) &&
           (!(mask & SRV_LIST_SET_KEEP_PSEUDO) || request->u32(&s->keepPseudo)) &&
           (!(mask & SRV_LIST_SET_BUFFER_SIZE) || request->u32(&s->bufferSize)) &&
           (!(mask & SRV_LIST_SET_KEEP_FLAG400) || request->u32(&s->keepFlag400)) &&
           (!(mask & SRV_LIST_SET_ALL_ENERGIES) || request->u32(&s->allEnergies));
}

// Command 35: u64 dataMask, int32 channel, one field per set bit.
void* SRV_CmdSetListParams(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVBoard_t* board = request.board;
    const uint64_t mask = request.dataMask;
    const int32_t channel = request.channel;
    SRVListSettings_t settings = {};
    if (!readSettings(mask, &settings, &request.fields)) {
        *status = request.fields.status();
        return NULL;
    }
    // A format no flush can write is refused here, with nothing stored, rather
    // than failing the acquisition at its first flush.
    if ((mask & SRV_LIST_SET_FORMAT) != 0 && !SRV_ListFormatKnown(settings.format)) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Unknown list file format %d (0 text, 1 binary, 2 no file).",
                         static_cast<int>(settings.format));
        *status = SRV_ERR_LIST_RECORD;
        return NULL;
    }
    // The file is made where the client says only inside the server's folders.
    if ((mask & SRV_LIST_SET_FILE_NAME) != 0) {
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
        result = SRV_SetListSettings(board, list, &settings);
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
    if (mask & SRV_LIST_SET_ENABLED)
        reply->u32(list->enabled);
    if (mask & SRV_LIST_SET_FORMAT)
        reply->i32(list->format);
    if (mask & SRV_LIST_SET_FILE_NAME)
        reply->text(list->fileName, SRV_PATH_SIZE);
    if (mask & SRV_LIST_SET_FIELDS)
        reply->u32(SRV_ListFields(list));
    if (mask & SRV_LIST_SET_KEEP_PSEUDO)
        reply->u32(list->keepPseudo);
    if (mask & SRV_LIST_SET_BUFFER_SIZE)
        reply->u32(list->bufferSize);
    if (mask & LIST_BIT_COUNT)
        reply->u32(list->count);
    if (mask & LIST_BIT_TIME_TAGS)
        appendEvents<uint64_t>(reply, list->timeTags, list->count, &SRVReply::u64);
    if (mask & LIST_BIT_ENERGIES)
        appendEvents<uint16_t>(reply, list->energies, list->count, &SRVReply::u16);
    if (mask & LIST_BIT_FLAGS)
        appendEvents<uint32_t>(reply, list->flags, list->count, &SRVReply::u32);
    if (mask & SRV_LIST_SET_KEEP_FLAG400)
        reply->u32(list->keepFlag400);
    if (mask & SRV_LIST_SET_ALL_ENERGIES)
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
        SRV_DropListEvents(list);
    return SRV_GiveReply(&reply, result, replySize, status);
}
