// The in-process board of the spectrum tests: the simulated pulse-height
// board opened through the library, with the server's parameter tree built
// on it (so every spectrum is bound to its real parameters), and helpers that
// put events by hand into the record's per-channel arrays.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../server/ServerTestSupport.h"
#include "SRVBoardThread.h"
#include "SRVParameters.h"
#include "SRV_EventProcessing.h"
#include "SRV_Globals.h"
#include "SRV_ParameterBuild.h"
#include "SRV_SCACounters.h"
#include "SRV_Spectra.h"

namespace spectest {

using namespace srvtest;

// The folder of the log files of this test program.
inline const fs::path& logFolder() {
    static TempDir folder;
    return folder.path();
}

inline std::string log(const char* file) { return readFile(logFolder() / file); }

// The board record of the global record, opened once for the whole program
// and closed when the tests end.
class Board : public ::testing::Environment {
public:
    static SRVBoard_t* get() {
        if (!tried_) {
            tried_ = true;
            board_ = open();
        }
        return board_;
    }
    void TearDown() override {
        if (SRV_Globals == nullptr)
            return;
        SRVBoard_t* board = &SRV_Globals->board;
        if (board_ != nullptr)
            c_ticket_delete(&board->boardLock);
        SRV_FreeServerParameters(board);
        c_freeDgtz(&board->digitizer);
        c_xml_freedoc(SRV_Globals->serverDefinitions);
        c_free(SRV_Globals);
        SRV_Globals = nullptr;
        board_ = nullptr;
    }

private:
    static SRVBoard_t* open() {
        setenv("ZARN_LOG_DIR", logFolder().c_str(), 1);
        setenv("ZARN_LOG_LEVEL", "8", 1);
        SRV_Globals = static_cast<SRVGlobals_t*>(c_calloc(1, sizeof(SRVGlobals_t)));
        std::string definitions = std::string(MORVANE_DEFINITIONS_DIR) + "/ServerDefinitions.xml";
        SRV_Globals->serverDefinitions = c_xml_newfile(definitions.c_str());
        if (SRV_GetCategoryIndexLevels() != 0)
            return nullptr;
        SRVBoard_t* board = &SRV_Globals->board;
        c_ConnParams_t params;
        std::memset(&params, 0, sizeof params);
        if (c_newDigitizer(&board->digitizer, &params) != 0)
            return nullptr;
        board->access = SRV_BoardAccessOf(&board->digitizer.descriptor);
        if (SRV_InitServerParameters(board) != SRV_SUCCESS)
            return nullptr;
        // Room for the largest buffers the tests hand to the cycle.
        if (c_bfixedealloc(&board->digitizer, 1u << 20, 70000, 1, 64) != 0)
            return nullptr;
        if (c_ticket_init(&board->boardLock) != 0)
            return nullptr;
        board->open = 1;
        return board;
    }
    static inline bool tried_ = false;
    static inline SRVBoard_t* board_ = nullptr;
};

inline ::testing::Environment* const boardEnvironment = ::testing::AddGlobalTestEnvironment(new Board);

// Each test starts from cleared spectra, stopped channels without events and
// the parameters at their start values.
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        board_ = Board::get();
        ASSERT_NE(board_, nullptr) << "the simulated board could not be opened";
        dig_ = &board_->digitizer;
        for (uint32_t ch = 0; ch < SRV_ChannelCount(board_); ch++) {
            SRVEnergySpectrum_t* s = spectrum(ch);
            ASSERT_NE(s->nbins, nullptr);
            ASSERT_EQ(SRV_ClearEnergySpectrum(s), SRV_SUCCESS);
            *s->nbins = 16384;
            *s->lld = 0;
            *s->uld = 32767;
            *s->rois[0].low = 0;
            *s->rois[0].high = 32767;
            s->periodStart = c_get_time();
            dig_->channels[ch].acqStatus = ACQSTATUS_STOPPED;
            dig_->channels[ch].nEvents = 0;
            for (int32_t code : stopCodes())
                param(ch, code)->value = 0;
            board_->channels[ch].scaTime = c_get_time();
            board_->channels[ch].lastEventTime = c_get_time();
        }
        family_ = dig_->descriptor.FamilyCode;
        waveforms()->value = 0;
    }
    void TearDown() override {
        setFamily(family_);
        for (uint32_t ch = 0; ch < SRV_ChannelCount(board_); ch++) {
            dig_->channels[ch].acqStatus = ACQSTATUS_STOPPED;
            dig_->channels[ch].nEvents = 0;
        }
    }

    static std::vector<int32_t> stopCodes() {
        return {DPPL_PARAM_CH_STOP_MODE_REALTIME, DPPL_PARAM_CH_STOP_MODE_LIVETIME,
                DPPL_PARAM_CH_STOP_MODE_TOTAL_COUNTS, DPPL_PARAM_CH_STOP_MODE_COUNTS_IN_ROI};
    }
    SRVEnergySpectrum_t* spectrum(uint32_t ch) { return &board_->channels[ch].energySpectra[0]; }
    c_Parameter_t* param(uint32_t ch, int32_t code) {
        c_Parameter_t* p = c_pfindc(dig_, static_cast<int32_t>(ch), code);
        EXPECT_NE(p, nullptr) << "channel parameter " << code;
        return p;
    }
    c_Parameter_t* waveforms() { return c_pfind(dig_, DPPL_PARAM_WAVEFORMS); }
    // The board as one of another family, with that family's row, as the
    // open would have chosen it.
    void setFamily(uint32_t family) {
        dig_->descriptor.FamilyCode = family;
        board_->access = SRV_BoardAccessOf(&dig_->descriptor);
    }

    // The events of one readout of a channel that acquires.
    struct Event {
        uint16_t energy;
        uint32_t flags = 0;
    };
    void deliver(uint32_t ch, const std::vector<Event>& events) {
        c_ChannelRecord_t* record = &dig_->channels[ch];
        ASSERT_LE(events.size(), record->capacity);
        for (size_t i = 0; i < events.size(); i++) {
            record->events[i].energy = events[i].energy;
            record->events[i].flags = events[i].flags;
            record->events[i].timeStamp = 1000 * (i + 1);
        }
        record->nEvents = static_cast<uint32_t>(events.size());
        record->acqStatus = ACQSTATUS_RUNNING;
    }
    // `count` events of one energy.
    void deliver(uint32_t ch, size_t count, uint16_t energy, uint32_t flags = 0) {
        deliver(ch, std::vector<Event>(count, Event{energy, flags}));
    }
    uint64_t sumOfBins(uint32_t ch, uint32_t from = 0, uint32_t to = SRV_SPECTRUM_MAX_BINS) {
        uint64_t sum = 0;
        for (uint32_t bin = from; bin < to; bin++)
            sum += spectrum(ch)->counts[bin];
        return sum;
    }

    SRVBoard_t* board_ = nullptr;
    c_Digitizer_t* dig_ = nullptr;
    uint32_t family_ = 0;
};

} // namespace spectest
