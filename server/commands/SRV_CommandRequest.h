/*
 * SRV_CommandRequest: a row of the command table, the request as the
 * dispatcher read it, and the opening that every command shares.
 *
 * A row (SRV_Commands.def, made into the table by SRV_CommandTable) says
 * what the dispatcher needs to know of a command: its code and name,
 * whether it needs an open board, its request form and object, the mask
 * bits it knows, what of the opening it does, and its handler.
 * SRV_RunCommand reads the head of the request as the row says (-6 when a
 * field is missing), refuses unknown input bits (-33), finds the object of
 * the index path, takes the board lock, and calls the handler with the
 * request read; for a locked row it refuses unknown output bits after a
 * successful handler and releases the lock. Handlers include this header.
 */
#ifndef SRV_COMMAND_REQUEST_H
#define SRV_COMMAND_REQUEST_H

#include <stddef.h>
#include <stdint.h>

#include "SRVRequest.h"

/* The form of a request's head. */
typedef enum SRVRequestForm_t {
    SRV_FORM_OWN = 0,   /* the handler reads the whole payload */
    SRV_FORM_MASKS = 1, /* u64 cmdMaskIn, u64 cmdMaskOut */
    SRV_FORM_DATA = 2   /* u64 dataMask */
} SRVRequestForm_t;

/* The object that follows the masks. */
typedef enum SRVRequestObject_t {
    SRV_OBJECT_NONE = 0,
    SRV_OBJECT_CHANNEL = 1,      /* i32: a channel or an HV channel */
    SRV_OBJECT_CHANNEL_MASK = 2, /* u32 */
    SRV_OBJECT_PATH = 3          /* an index path */
} SRVRequestObject_t;

/* Known bits of a mask that is not checked. */
#define SRV_MASK_ANY (~0ull)

/* What the dispatcher does of the opening besides reading the head. */
enum {
    /* The dispatcher takes the board lock before the handler (after the
     * object was found) and, once the handler succeeded, refuses unknown
     * output bits under it; then it releases the lock. Without it the
     * handler takes the lock itself. */
    SRV_OPEN_LOCKED = 0x1,
    /* Unknown cmdMaskIn bits are refused as soon as the masks are read,
     * before the object (else after the object and the input words). */
    SRV_OPEN_REFUSE_FIRST = 0x2,
    /* One u32 follows the object for each set known cmdMaskIn bit, in
     * ascending bit order; they are read before the refusal. */
    SRV_OPEN_IN_WORDS = 0x4,
    /* The handler refuses unknown input bits itself. */
    SRV_OPEN_OWN_IN_CHECK = 0x8,
    /* The handler reads its fields first and then finds the object and takes
     * the lock (SRV_FindAndLockObject). */
    SRV_OPEN_FIND_LATER = 0x10
};

struct SRVCommandEntry_t;

/* A request as the dispatcher read it: the fields of its head, the object,
 * and the rest of the payload for the handler to read. */
struct SRVCommandRequest {
    SRVCommandRequest(const SRVCommandEntry_t* row, SRVBoard_t* target, const void* payload, uint32_t payloadSize,
                      char* database)
        : entry(row), board(target), fields(payload, payloadSize), databasePath(database) {}

    const SRVCommandEntry_t* entry;
    SRVBoard_t* board;
    SRVCommand_t command = 0;
    /* The masks of the M form, and the data mask of the D form. */
    uint64_t maskIn = 0;
    uint64_t maskOut = 0;
    uint64_t dataMask = 0;
    /* The object: a channel (or HV channel), a channel mask or an index
     * path. */
    int32_t channel = 0;
    uint32_t channelMask = 0;
    int32_t path[SRV_INDEX_PATH_MAX] = {};
    uint32_t pathLength = 0;
    /* The input word of each known cmdMaskIn bit, 0 where the bit is clear. */
    uint32_t words[64] = {};
    /* The object the row's finder found. */
    void* object = nullptr;
    /* The rest of the payload, after the head. */
    SRVRequest fields;
    /* The configuration-database path (commands 31 to 34 and 55). */
    char* databasePath;

    template <class Object>
    Object* objectAs() const {
        return static_cast<Object*>(object);
    }
};

/* A command handler: does its work with the request read and returns its
 * reply (owned by the caller from then on) with its size, or NULL; it
 * always writes the status. A reply with fields always has status 0;
 * without a reply the command loop sends the header and the status. */
typedef void* (*SRVCommandHandler_t)(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status);
/* Looks up the object of an index path. */
typedef SRVStatus_t (*SRVObjectFinder_t)(SRVBoard_t* board, const int32_t* path, uint32_t length, void** object);

/* One row of the command table. */
typedef struct SRVCommandEntry_t {
    SRVCommand_t code;
    const char* name;
    bool needsBoard;
    SRVRequestForm_t form;
    SRVRequestObject_t object;
    uint64_t knownIn;  /* M: cmdMaskIn; D: the bits a set command takes */
    uint64_t knownOut; /* M: cmdMaskOut; D: the bits a get command answers */
    uint32_t opening;  /* SRV_OPEN_* */
    SRVObjectFinder_t finder;
    const c_LogModule_t* log;
    SRVCommandHandler_t handler;
} SRVCommandEntry_t;

/* The handlers of the rows. */
#define SRV_COMMAND(code, name, handler, ...) \
    void* handler(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status);
#include "SRV_Commands.def"
#undef SRV_COMMAND

/* 0 when the board is open or the command needs none; else -7 after "No
 * board is open ..." (a command 23 that failed to open its replay and the
 * previous board again leaves the record closed, its locks destroyed). */
SRVStatus_t SRV_CheckBoardOpen(const SRVBoard_t* board, const SRVCommandEntry_t* entry);

/* Runs the command of the entry on the payload: the opening its row says,
 * then its handler. The reply, or NULL; writes the status. The board-open
 * check is the caller's. */
void* SRV_RunCommand(const SRVCommandEntry_t* entry, SRVBoard_t* board, const void* payload, uint32_t payloadSize,
                     char* databasePath, uint32_t* replySize, SRVStatus_t* status);

/* ------------------------------------------------- for the handlers */

/* Refuses input bits outside the row's (for a row with
 * SRV_OPEN_OWN_IN_CHECK): 0, or -33 after "Unsupported cmdMaskIn ..." or
 * "Unsupported dataMask ..." in the row's log. */
SRVStatus_t SRV_RefuseUnknownIn(const SRVCommandRequest& request);
/* After the action of a row without SRV_OPEN_LOCKED: result, or, when it is
 * a success, -33 for output bits outside the row's (logged in the row's
 * log). */
SRVStatus_t SRV_RefuseUnknownOut(const SRVCommandRequest& request, SRVStatus_t result);
/* True when every output bit of the request is known to the row. */
bool SRV_KnowsOutput(const SRVCommandRequest& request);

/* The end of a handler that built a reply: -5 when result is a success but
 * the reply could not be built. The reply when all went well, else NULL;
 * writes the status. */
void* SRV_GiveReply(SRVReply* reply, SRVStatus_t result, uint32_t* replySize, SRVStatus_t* status);

/* For a row with SRV_OPEN_FIND_LATER: finds the object of the request's
 * index path with the row's finder (into request.object), then takes the
 * board lock: 0, or the status of the failure (the lock is not held). */
SRVStatus_t SRV_FindAndLockObject(SRVCommandRequest& request);

#endif /* SRV_COMMAND_REQUEST_H */
