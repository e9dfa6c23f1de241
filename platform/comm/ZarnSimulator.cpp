// Test interface of the simulated board (ZarnSimulator.h).
#include "ZarnSimulator.h"

#include "ZarnSimBoard.h"

#include <algorithm>
#include <cstring>
#include <functional>

using zsim::Board;

namespace {

// Runs f on the board of a link, or on every open board for ZARN_SIM_ALL_BOARDS.
int ForBoards(int32_t link, const std::function<void(Board&)>& f) {
    std::vector<std::shared_ptr<Board>> boards;
    if (link == ZARN_SIM_ALL_BOARDS) {
        boards = zsim::OpenBoards();
    } else {
        std::shared_ptr<Board> board = zsim::BoardOfLink(link);
        if (!board)
            return -1;
        boards.push_back(board);
    }
    for (auto& board : boards) {
        std::lock_guard<std::mutex> lock(board->mutex);
        f(*board);
    }
    return 0;
}

} // namespace

extern "C" {

int ZarnSim_FailNextRegisterRead(int32_t code) {
    zsim::SetReadFault(code);
    return 0;
}

int ZarnSim_FailNextRegisterWrite(int32_t code) {
    zsim::SetWriteFault(code);
    return 0;
}

int ZarnSim_FailRegisterAccess(uint32_t address, uint32_t nth, int32_t code) {
    if (nth == 0)
        return -1;
    zsim::SetAddressFault(address, nth, code);
    return 0;
}

int ZarnSim_FailNextOpen(int32_t code) {
    zsim::SetOpenFault(code);
    return 0;
}

int ZarnSim_RaiseCondition(int32_t link, int32_t condition, uint64_t channelMask) {
    return ForBoards(link, [&](Board& b) { b.RaiseCondition(condition, channelMask); });
}

int ZarnSim_ClearCondition(int32_t link, int32_t condition) {
    return ForBoards(link, [&](Board& b) { b.ClearCondition(condition); });
}

int ZarnSim_CutNextBlockRead(int32_t link, uint32_t maxWords, int32_t code) {
    return ForBoards(link, [&](Board& b) { b.CutNextBlockRead(maxWords, code); });
}

int ZarnSim_SetSeed(int32_t link, uint64_t seed) {
    if (link == ZARN_SIM_ALL_BOARDS)
        zsim::SetDefaultSeed(seed);
    return ForBoards(link, [&](Board& b) { b.Seed(seed); });
}

int ZarnSim_SetRate(int32_t link, int32_t channel, double countsPerSecond) {
    if (countsPerSecond < 0)
        return -1;
    if (link == ZARN_SIM_ALL_BOARDS && channel < 0)
        zsim::SetDefaultRate(countsPerSecond);
    return ForBoards(link, [&](Board& b) { b.SetRate(channel, countsPerSecond); });
}

int ZarnSim_SetClockMode(int32_t link, int32_t mode) {
    if (mode < ZARN_SIM_CLOCK_WALL || mode > ZARN_SIM_CLOCK_MANUAL)
        return -1;
    if (link == ZARN_SIM_ALL_BOARDS)
        zsim::SetDefaultClock(mode);
    return ForBoards(link, [&](Board& b) { b.SetClockMode(mode); });
}

int ZarnSim_AdvanceClock(int32_t link, uint64_t nanoseconds) {
    return ForBoards(link, [&](Board& b) { b.AdvanceClock(nanoseconds); });
}

int ZarnSim_PeekRegister(int32_t link, uint32_t address, uint32_t* value) {
    if (!value)
        return -1;
    return ForBoards(link, [&](Board& b) { *value = b.Peek(address); });
}

int ZarnSim_PokeRegister(int32_t link, uint32_t address, uint32_t value) {
    return ForBoards(link, [&](Board& b) { b.Poke(address, value); });
}

int ZarnSim_GetChannelCounts(int32_t link, uint32_t channel, uint64_t* generated, uint64_t* pileups, uint64_t* lost) {
    if (link == ZARN_SIM_ALL_BOARDS || channel >= zsim::kMaxChannels)
        return -1;
    return ForBoards(link, [&](Board& b) { b.Counts(channel, generated, pileups, lost); });
}

int ZarnSim_LinkOfDigitizer(int handle, int32_t* link) {
    std::shared_ptr<Board> board = zsim::BoardOfDigitizer(handle);
    if (!board || !link)
        return -1;
    *link = board->link;
    return 0;
}

int ZarnSim_LastProfileError(char* text, uint32_t size) {
    if (!text || size == 0)
        return -1;
    std::string error = zsim::LastProfileError();
    size_t n = std::min<size_t>(error.size(), size - 1);
    std::memcpy(text, error.data(), n);
    text[n] = '\0';
    return 0;
}

int ZarnSim_ResetFaults(void) {
    zsim::ResetAll();
    return 0;
}

} // extern "C"
