// Register commands: raw reads and masked writes of the board's registers.
#include "SRV_Registers.h"

#include "SRVRequest.h"

static const c_LogModule_t LOG_MODULE = {"SRV_RegistersLog.txt", "SRV_Registers"};

// cmdMaskIn fields of command 6 (address, data, mask) and of command 7
// (address); cmdMaskOut field of command 7 (the value).
static const uint64_t WRITE_FIELDS = 0x7;
static const uint64_t READ_FIELDS = 0x1;
static const uint64_t READ_VALUE = 0x2;

SRVStatus_t _readRegister(SRVBoard_t* board, uint32_t address, uint32_t* value) {
    int result = c_rread(&board->digitizer, address, value);
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "%s(): Error %i in c_rread addr=0x%04X.", "_readRegister", result, address);
        return SRV_ERR_COMMUNICATION;
    }
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__, "READ(0x%04X->0x%08X).", address, *value);
    return SRV_SUCCESS;
}

SRVStatus_t _writeRegister(SRVBoard_t* board, uint32_t address, uint32_t data, uint32_t mask) {
    uint32_t old = 0;
    int result = c_rread(&board->digitizer, address, &old);
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "%s(): Error %i in c_rread addr=0x%04X.", "_writeRegister", result, address);
        return SRV_ERR_COMMUNICATION;
    }
    uint32_t value = (old & ~mask) | (data & mask);
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__, "WRITE(0x%08X->0x%04X).", value, address);
    result = c_rwrite(&board->digitizer, address, value);
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "%s(): Error %i in c_rwrite addr=0x%04X data=0x%08X.", "_writeRegister", result, address,
                         value);
        return SRV_ERR_COMMUNICATION;
    }
    return SRV_SUCCESS;
}

// Reads cmdMaskIn, cmdMaskOut and the u32 fields of the set cmdMaskIn bits
// among `known` (fields[k] for bit k, left at its default when the bit is
// clear). Unknown cmdMaskIn bits give -33 before anything is done.
static SRVStatus_t readRegisterRequest(const SRVBoard_t* board, const void* payload, uint32_t payloadSize,
                                       uint64_t known, uint64_t* maskOut, uint32_t fields[3]) {
    SRVRequest request(payload, payloadSize);
    uint64_t maskIn = 0;
    if (request.u64(&maskIn))
        request.u64(maskOut);
    for (int bit = 0; bit < 3 && request.ok(); bit++) {
        if ((known & maskIn & (1ull << bit)) != 0)
            request.u32(&fields[bit]);
    }
    if (!request.ok())
        return request.status();
    if ((maskIn & ~known) != 0) {
        SRV_LogUnsupportedMask(&LOG_MODULE, board, "cmdMaskIn", maskIn, maskIn & ~known);
        return SRV_ERR_UNSUPPORTED;
    }
    return SRV_SUCCESS;
}

void* SRV_CmdWriteRegister(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                           uint32_t* replySize, SRVStatus_t* status) {
    uint64_t maskOut = 0;
    uint32_t fields[3] = {0, 0, 0xFFFFFFFFu}; // address, data, mask
    *status = readRegisterRequest(board, payload, payloadSize, WRITE_FIELDS, &maskOut, fields);
    if (*status != SRV_SUCCESS)
        return NULL;
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return NULL;
    SRVReply reply(command);
    SRVStatus_t result = _writeRegister(board, fields[0], fields[1], fields[2]);
    if (result == SRV_SUCCESS && !reply.ok())
        result = SRV_ERR_SERIALIZE;
    // The write has happened: an unknown output bit only changes the answer.
    if (result == SRV_SUCCESS && maskOut != 0) {
        SRV_LogUnsupportedMask(&LOG_MODULE, board, "cmdMaskOut", maskOut, maskOut);
        result = SRV_ERR_UNSUPPORTED;
    }
    return SRV_UnlockAndReply(&reply, board, result, replySize, status);
}

void* SRV_CmdReadRegister(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                          uint32_t* replySize, SRVStatus_t* status) {
    uint64_t maskOut = 0;
    uint32_t fields[3] = {0, 0, 0}; // address
    *status = readRegisterRequest(board, payload, payloadSize, READ_FIELDS, &maskOut, fields);
    if (*status != SRV_SUCCESS)
        return NULL;
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return NULL;
    SRVReply reply(command);
    uint32_t value = 0;
    SRVStatus_t result = _readRegister(board, fields[0], &value);
    if (result == SRV_SUCCESS && (maskOut & READ_VALUE) != 0)
        reply.u32(value);
    if (result == SRV_SUCCESS && !reply.ok())
        result = SRV_ERR_SERIALIZE;
    if (result == SRV_SUCCESS && (maskOut & ~READ_VALUE) != 0) {
        SRV_LogUnsupportedMask(&LOG_MODULE, board, "cmdMaskOut", maskOut, maskOut & ~READ_VALUE);
        result = SRV_ERR_UNSUPPORTED;
    }
    return SRV_UnlockAndReply(&reply, board, result, replySize, status);
}
