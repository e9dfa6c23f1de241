// Register commands: raw reads and masked writes of the board's registers.
#include "SRV_Registers.h"

#include "SRV_CommandRequest.h"

static const c_LogModule_t LOG_MODULE = {"SRV_RegistersLog.txt", "SRV_Registers"};

// cmdMaskIn bit of the write mask of command 6; cmdMaskOut field of command
// 7 (the value).
static const uint64_t WRITE_MASK = 0x4;
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

// Command 6: cmdMaskIn bit 0 address, bit 1 data, bit 2 mask (defaults 0, 0,
// 0xFFFFFFFF); no reply fields.
void* SRV_CmdWriteRegister(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    const uint32_t* fields = request.words; // address, data, mask
    uint32_t mask = (request.maskIn & WRITE_MASK) != 0 ? fields[2] : 0xFFFFFFFFu;
    SRVReply reply(request.command);
    return SRV_GiveReply(&reply, _writeRegister(request.board, fields[0], fields[1], mask), replySize, status);
}

// Command 7: cmdMaskIn bit 0 address (default 0); cmdMaskOut bit 1 the
// value.
void* SRV_CmdReadRegister(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVReply reply(request.command);
    uint32_t value = 0;
    SRVStatus_t result = _readRegister(request.board, request.words[0], &value);
    if (result == SRV_SUCCESS && (request.maskOut & READ_VALUE) != 0)
        reply.u32(value);
    return SRV_GiveReply(&reply, result, replySize, status);
}
