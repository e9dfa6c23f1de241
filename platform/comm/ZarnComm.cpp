// Link-level access to the simulated board: registers, block reads,
// interrupt wait and the register-level link of the device without
// connection parameters.
#include "ZarnComm.h"

#include "ZarnSimBoard.h"
#include "ZarnUtility.h"

#include <chrono>
#include <thread>

static const c_LogModule_t kLog = {"ZarnCommLog.txt", "ZarnComm"};

using zsim::Board;

namespace {

int BlockRead(int32_t handle, uint32_t address, void* destination, uint32_t maxWords, uint32_t* wordsRead) {
    if (!destination || !wordsRead || address != 0)
        return ZARN_COMM_InvalidParam;
    *wordsRead = 0;
    std::shared_ptr<Board> board = zsim::BoardOfLink(handle);
    if (!board)
        return ZARN_COMM_InvalidHandle;
    std::lock_guard<std::mutex> lock(board->mutex);
    return board->BlockRead(destination, maxWords, wordsRead);
}

} // namespace

extern "C" {

int ZarnComm_Read32(int32_t handle, uint32_t address, uint32_t* value) {
    if (!value)
        return ZARN_COMM_InvalidParam;
    std::shared_ptr<Board> board = zsim::BoardOfLink(handle);
    if (!board)
        return ZARN_COMM_InvalidHandle;
    if (int fault = zsim::TakeReadFault(address))
        return fault;
    std::lock_guard<std::mutex> lock(board->mutex);
    *value = board->Read(address);
    return ZARN_COMM_Success;
}

int ZarnComm_Write32(int32_t handle, uint32_t address, uint32_t value) {
    std::shared_ptr<Board> board = zsim::BoardOfLink(handle);
    if (!board)
        return ZARN_COMM_InvalidHandle;
    if (int fault = zsim::TakeWriteFault(address))
        return fault;
    std::lock_guard<std::mutex> lock(board->mutex);
    board->Write(address, value);
    return ZARN_COMM_Success;
}

int ZarnComm_MultiRead32(int32_t handle, const uint32_t* addresses, uint32_t count, uint32_t* data, int32_t* errors) {
    if (count && (!addresses || !data || !errors))
        return ZARN_COMM_InvalidParam;
    std::shared_ptr<Board> board = zsim::BoardOfLink(handle);
    if (!board)
        return ZARN_COMM_InvalidHandle;
    for (uint32_t i = 0; i < count; ++i) {
        int fault = zsim::TakeReadFault(addresses[i]);
        std::lock_guard<std::mutex> lock(board->mutex);
        data[i] = fault ? 0 : board->Read(addresses[i]);
        errors[i] = fault;
    }
    return ZARN_COMM_Success;
}

int ZarnComm_MBLTRead(int32_t handle, uint32_t address, void* destination, uint32_t maxWords, uint32_t* wordsRead) {
    return BlockRead(handle, address, destination, maxWords, wordsRead);
}

int ZarnComm_BLTRead(int32_t handle, uint32_t address, void* destination, uint32_t maxWords, uint32_t* wordsRead) {
    return BlockRead(handle, address, destination, maxWords, wordsRead);
}

int ZarnComm_IRQWait(int32_t handle, uint32_t milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        std::shared_ptr<Board> board = zsim::BoardOfLink(handle);
        if (!board)
            return ZARN_COMM_InvalidHandle;
        {
            std::lock_guard<std::mutex> lock(board->mutex);
            if (board->DataReady())
                return ZARN_COMM_Success;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return ZARN_COMM_Timeout;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int ZarnComm_OpenLink(int linkType, const void* linkArg, int node, uint32_t base, int32_t* handle) {
    int result = zsim::OpenLink(linkType, linkArg, node, base, handle);
    if (result != ZARN_COMM_Success)
        c_lprintf(&kLog, C_LOG_INFO, __LINE__, "Link open (type %d, node %d, base 0x%X) failed with %d", linkType, node,
                  base, result);
    return result;
}

int ZarnComm_CloseLink(int32_t handle) { return zsim::CloseLink(handle); }

int ZarnComm_GetInfo(int32_t handle, int32_t code, int32_t* value) {
    if (!value)
        return ZARN_COMM_InvalidParam;
    std::shared_ptr<Board> board = zsim::BoardOfLink(handle);
    if (!board)
        return ZARN_COMM_InvalidHandle;
    const zsim::Profile& p = board->profile;
    switch (code) {
    case ZARN_COMM_INFO_LINK_TYPE: *value = p.linkType; return ZARN_COMM_Success;
    case ZARN_COMM_INFO_LINK_NUMBER: *value = p.linkNumber; return ZARN_COMM_Success;
    case ZARN_COMM_INFO_NODE: *value = p.node; return ZARN_COMM_Success;
    case ZARN_COMM_INFO_BASE_ADDRESS: *value = static_cast<int32_t>(p.vmeBase); return ZARN_COMM_Success;
    case ZARN_COMM_INFO_FIRMWARE: *value = 0x00010004; return ZARN_COMM_Success;
    case ZARN_COMM_INFO_LINK: *value = static_cast<int32_t>(p.linkInfo); return ZARN_COMM_Success;
    default: return ZARN_COMM_InvalidParam;
    }
}

} // extern "C"
