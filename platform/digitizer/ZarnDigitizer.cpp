// Digitizer-access layer of the simulated board: board-level calls on the
// board state kept by ZarnComm (ZarnSimBoard.h), so that both layers reach
// one and the same board.
#include "ZarnDigitizer.h"

#include "ZarnComm.h"
#include "ZarnSimBoard.h"
#include "ZarnUtility.h"

#include <cstring>

static const c_LogModule_t kLog = {"ZarnDigitizerLog.txt", "ZarnDigitizer"};

using zsim::Board;

namespace {

// Names of the virtual probes, by this layer's probe code.
const char* const kProbeNames[] = {
    "Input",     "RC-CR",          "RC-CR2",     "Trapezoid",     "Baseline",  "TrapReduced",   "Threshold",
    "CFD",       "Reserved",       "None",       "Peaking",       "Armed",     "PeakRun",       "PileUp",
    "TrgWindow", "BaselineFreeze", "TrgHoldoff", "TrgValidation", "AcqVeto",   "BfmVeto",       "ExtTrigger",
    "Trigger",   "CoincWindow",    "Busy",       "Gate",          "ShortGate", "OverThreshold", "Saturation"};

template <typename F>
int WithBoard(int handle, F f) {
    std::shared_ptr<Board> board = zsim::BoardOfDigitizer(handle);
    if (!board)
        return ZARN_DGTZ_InvalidHandle;
    std::lock_guard<std::mutex> lock(board->mutex);
    return f(*board);
}

} // namespace

extern "C" {

int ZARN_DGTZ_OpenDigitizer2(int linkType, const void* linkArg, int node, uint32_t vmeBase, int* handle) {
    int result = zsim::OpenDigitizer(linkType, linkArg, node, vmeBase, handle);
    if (result != ZARN_DGTZ_Success)
        c_lprintf(&kLog, C_LOG_INFO, __LINE__, "Open (link type %d, node %d, base 0x%X) failed with %d", linkType, node,
                  vmeBase, result);
    return result;
}

int ZARN_DGTZ_CloseDigitizer(int handle) { return zsim::CloseDigitizer(handle); }

int ZARN_DGTZ_Reset(int handle) {
    return WithBoard(handle, [](Board& b) {
        b.Reset();
        return ZARN_DGTZ_Success;
    });
}

int ZARN_DGTZ_ClearData(int handle) {
    return WithBoard(handle, [](Board& b) {
        b.Clear();
        return ZARN_DGTZ_Success;
    });
}

int ZARN_DGTZ_SendSWtrigger(int handle) {
    return WithBoard(handle, [](Board& b) {
        b.SoftwareTrigger();
        return ZARN_DGTZ_Success;
    });
}

int ZARN_DGTZ_SWStartAcquisition(int handle) {
    return WithBoard(handle, [](Board& b) {
        b.Start();
        return ZARN_DGTZ_Success;
    });
}

int ZARN_DGTZ_SWStopAcquisition(int handle) {
    return WithBoard(handle, [](Board& b) {
        b.Stop();
        return ZARN_DGTZ_Success;
    });
}

int ZARN_DGTZ_Calibrate(int handle) {
    return WithBoard(handle, [](Board& b) {
        b.Calibrate();
        return ZARN_DGTZ_Success;
    });
}

int ZARN_DGTZ_GetInfo(int handle, ZARN_DGTZ_BoardInfo_t* info) {
    if (!info)
        return ZARN_DGTZ_InvalidParam;
    return WithBoard(handle, [info](Board& b) {
        *info = b.profile.info;
        info->CommHandle = b.link;
        std::memset(info->Reserved, 0, sizeof info->Reserved);
        return ZARN_DGTZ_Success;
    });
}

int ZARN_DGTZ_WriteRegister(int handle, uint32_t address, uint32_t value) {
    return WithBoard(handle, [address, value](Board& b) -> int {
        if (int fault = zsim::TakeWriteFault(address))
            return fault;
        b.Write(address, value);
        return ZARN_DGTZ_Success;
    });
}

int ZARN_DGTZ_ReadRegister(int handle, uint32_t address, uint32_t* value) {
    if (!value)
        return ZARN_DGTZ_InvalidParam;
    return WithBoard(handle, [address, value](Board& b) -> int {
        if (int fault = zsim::TakeReadFault(address))
            return fault;
        *value = b.Read(address);
        return ZARN_DGTZ_Success;
    });
}

int ZARN_DGTZ_MallocReadoutBuffer(int handle, char** buffer, uint32_t* size) {
    if (!buffer || !size)
        return ZARN_DGTZ_InvalidParam;
    return WithBoard(handle, [buffer, size](Board& b) -> int {
        uint32_t bytes = b.ReadoutBufferBytes();
        char* block = zsim::AllocateReadoutBuffer(bytes);
        if (!block)
            return ZARN_DGTZ_OutOfMemory;
        *buffer = block;
        *size = bytes;
        return ZARN_DGTZ_Success;
    });
}

int ZARN_DGTZ_FreeReadoutBuffer(char** buffer) {
    if (!buffer)
        return ZARN_DGTZ_InvalidParam;
    if (!*buffer)
        return ZARN_DGTZ_Success;
    if (!zsim::FreeReadoutBuffer(*buffer))
        return ZARN_DGTZ_InvalidBuffer;
    *buffer = nullptr;
    return ZARN_DGTZ_Success;
}

int ZARN_DGTZ_ReadData(int handle, int mode, char* buffer, uint32_t* bytes) {
    if (!buffer || !bytes || mode != 0)
        return ZARN_DGTZ_InvalidParam;
    *bytes = 0;
    uint32_t size = 0;
    if (!zsim::ReadoutBufferSize(buffer, &size))
        return ZARN_DGTZ_InvalidBuffer;
    return WithBoard(handle, [buffer, bytes, size](Board& b) -> int {
        uint32_t done = 0;
        for (;;) {
            uint32_t words = 0;
            int result = b.BlockRead(buffer + done, (size - done) / 4, &words);
            done += words * 4;
            if (result == ZARN_COMM_NoMoreData)
                break;
            if (result != ZARN_COMM_Success) {
                *bytes = done;
                return ZARN_DGTZ_CommError;
            }
        }
        *bytes = done;
        return ZARN_DGTZ_Success;
    });
}

int ZARN_DGTZ_GetDPP_VirtualProbeName(int probe, char* name) {
    if (!name)
        return ZARN_DGTZ_InvalidParam;
    constexpr int count = static_cast<int>(sizeof kProbeNames / sizeof kProbeNames[0]);
    if (probe < 0 || probe >= count)
        return ZARN_DGTZ_InvalidParam;
    std::strncpy(name, kProbeNames[probe], ZARN_DGTZ_PROBE_NAME_SIZE - 1);
    name[ZARN_DGTZ_PROBE_NAME_SIZE - 1] = '\0';
    return ZARN_DGTZ_Success;
}

} // extern "C"
