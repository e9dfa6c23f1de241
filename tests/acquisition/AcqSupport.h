/* Pieces of the acquisition and readout tests: records on the simulated
 * boards, either opened by the library from the shipped definitions or
 * built by hand on an open board with just the parameters a test needs. */
#ifndef ACQ_SUPPORT_H
#define ACQ_SUPPORT_H

#include <string>

#include "../support/SimBoards.h"
#include "ZarnBoard_GENERIC.h"
#include "ZarnDPPLayer.h"
#include "ZarnRecordMemory.h"
#include "ZarnSimulator.h"

namespace acqtest {

using testsup::Connection;

/* The shipped profiles (definitions/SimulatedBoards.xml). */
inline c_ConnParams_t OrluPha() { return Connection(0, 0, 0); }   /* family 16, 8 channels */
inline c_ConnParams_t PembPsd14() { return Connection(1, 1, 0); } /* family 14, DPP 136 */
inline c_ConnParams_t PembPha14() { return Connection(1, 1, 1); } /* family 14, DPP 139, minor 135 */

/* A record opened by c_newDigitizer, closed by c_freeDgtz when it goes. */
using LiveBoard = testsup::OpenedRecord;

/*
 * The Orlu pulse-height board (usb link 0) opened through the board-access
 * layer, in a record filled by hand: the descriptor of the board, parameters
 * on the registers the readout and the acquisition control use (run gates,
 * channel enables, the flush register, the board status) and software-only
 * ones for buffer sizing, buffers from c_brealloc. The board runs on the
 * manual clock unless a test changes it.
 */
class HandBoard {
public:
    explicit HandBoard(uint32_t enabledMask = 0xFF);
    ~HandBoard();
    HandBoard(const HandBoard&) = delete;
    HandBoard& operator=(const HandBoard&) = delete;
    c_Digitizer_t* get() const { return d_; }
    c_Digitizer_t* operator->() const { return d_; }
    int32_t link() const { return d_->descriptor.CommHandle; }

    c_Parameter_t* board(int32_t code, double value, uint32_t address = 0, uint32_t mask = 0xFFFFFFFFu);
    c_Parameter_t* channel(uint32_t ch, int32_t code, double value, uint32_t address = 0, uint32_t mask = 0xFFFFFFFFu);
    /* The channel's enable, in the library and on the board. */
    void enable(uint32_t ch, bool on);
    uint32_t peek(uint32_t address) const;
    void poke(uint32_t address, uint32_t value) const;
    /* Moves the board clock on (manual clock). */
    void advance(uint64_t ns) const;
    /* Events delivered by the board since the start: generated minus lost. */
    uint64_t generated(uint32_t ch) const;
    uint32_t eventsRead() const;

private:
    c_Parameter_t* add(c_ParamCollection_t** collection, int32_t first, int32_t code, double value, uint8_t index,
                       uint32_t address, uint32_t mask);
    c_Digitizer_t* d_;
};

/* Sends every module's messages, every level, to a folder of its own while
 * it lives, so that a test can read what a module logged. */
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    /* Whether the module's log file (e.g. "ZarnDPPLayerLog.txt") holds the text. */
    bool has(const std::string& logFile, const std::string& fragment) const;

private:
    std::string folder_, oldDir_, oldLevel_;
    bool hadDir_, hadLevel_;
};

/* A temporary file name, removed with the object. */
class TempFile {
public:
    explicit TempFile(const std::string& stem);
    ~TempFile();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace acqtest

#endif
