/* Helpers of the server-parameter tests: the global record set up on a pair
 * of server definition files, a digitizer record with software-only library
 * parameters built by hand, and the module log files. */
#ifndef SERVER_PARAMS_SUPPORT_H
#define SERVER_PARAMS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>

#include "SRVParameters.h"
#include "SRV_Globals.h"
#include "SRV_ParameterBuild.h"
#include "ZarnParameters_Collections.h"

namespace srvtest {

inline std::string fixture(const std::string& name) { return std::string(MORVANE_TEST_FIXTURES) + "/" + name; }

/* The content of a module log file of this test's log folder. */
inline std::string readLog(const std::string& file) {
    const char* folder = std::getenv("ZARN_LOG_DIR");
    std::ifstream in(std::string(folder != nullptr ? folder : ".") + "/" + file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/* Sends every message, details included, to a fresh folder of this test. */
inline void useFreshLogFolder() {
    char folder[] = "/tmp/srvparams-log-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    setenv("ZARN_LOG_DIR", folder, 1);
    setenv("ZARN_LOG_LEVEL", "8", 1);
}

/* Removes the log folder of a test that passed (a failed one keeps it). */
inline void dropLogFolderIfPassed() {
    const char* folder = std::getenv("ZARN_LOG_DIR");
    if (folder != nullptr && !::testing::Test::HasFailure())
        std::filesystem::remove_all(folder);
}

/* The global record on the server definitions of a folder (levels read as
 * the start-up reads them), with MORVANESERVERDIR pointing there too. */
inline void setUpGlobals(const std::string& folder) {
    setenv("MORVANESERVERDIR", folder.c_str(), 1);
    SRV_Globals = (SRVGlobals_t*)c_calloc(1, sizeof(SRVGlobals_t));
    ASSERT_NE(SRV_Globals, nullptr);
    SRV_Globals->serverDefinitions = c_xml_newfile((folder + "/ServerDefinitions.xml").c_str());
    ASSERT_NE(SRV_Globals->serverDefinitions, nullptr) << folder;
    SRV_Globals->libraryDefinitions = c_getLibraryDefinitions();
    ASSERT_NE(SRV_Globals->libraryDefinitions, nullptr);
    ASSERT_EQ(SRV_GetCategoryIndexLevels(), 0);
}

inline void tearDownGlobals() {
    if (SRV_Globals == nullptr)
        return;
    c_xml_freedoc(SRV_Globals->serverDefinitions);
    c_free(SRV_Globals);
    SRV_Globals = nullptr;
}

/* A library parameter that lives in software only, so that the value engine
 * sets and gets it without a board. */
inline c_Parameter_t* softParam(void* owner, int32_t code, const char* codename, double min, double max, double value) {
    c_Parameter_t* p = c_pnew(owner);
    p->code = code;
    std::snprintf(p->codename, sizeof p->codename, "%s", codename);
    std::snprintf(p->name, sizeof p->name, "%s", codename + std::strlen("DPPL_PARAM_"));
    p->type = C_PARAM_TYPE_RANGE;
    p->regaddr = 0;
    p->min = min;
    p->max = max;
    p->incr = 1;
    p->value = value;
    p->preferred = value;
    return p;
}

/* A list parameter of BOOLEANS (FALSE 0, TRUE 1). */
inline c_Parameter_t* boolParam(void* owner, int32_t code, const char* codename, double value) {
    c_Parameter_t* p = softParam(owner, code, codename, 0, 1, value);
    p->type = C_PARAM_TYPE_LIST;
    p->count = 2;
    p->values[0].value = 0;
    std::snprintf(p->values[0].codename, sizeof p->values[0].codename, "FALSE");
    p->values[1].value = 1;
    std::snprintf(p->values[1].codename, sizeof p->values[1].codename, "TRUE");
    return p;
}

/* A collection wide enough for every library code. */
inline c_ParamCollection_t* collectionOf(std::initializer_list<c_Parameter_t*> params) {
    c_ParamCollection_t* collection = _pcnew(1000, 0);
    for (c_Parameter_t* p : params)
        EXPECT_EQ(_pcinsert(collection, p, p->code), 0) << p->codename;
    return collection;
}

/* The library parameters of a channel of the fake board. */
inline c_ParamCollection_t* channelCollection(c_ChannelRecord_t* owner, int ch) {
    return collectionOf({
        softParam(owner, DPPL_PARAM_CH_THRESHOLD, "DPPL_PARAM_CH_THRESHOLD", 0, 1000, 100 + ch),
        softParam(owner, DPPL_PARAM_CH_FGAIN_TEMP, "DPPL_PARAM_CH_FGAIN_TEMP", 0.5, 2, 1),
        softParam(owner, DPPL_PARAM_CH_FGAIN, "DPPL_PARAM_CH_FGAIN", 0, 10, 1),
        softParam(owner, DPPL_PARAM_CH_SPECTRUM_NBINS, "DPPL_PARAM_CH_SPECTRUM_NBINS", 1, 32768, 4096),
        boolParam(owner, DPPL_PARAM_CH_SELF_TRG_ENABLE, "DPPL_PARAM_CH_SELF_TRG_ENABLE", 0),
        boolParam(owner, DPPL_PARAM_CH_ENABLED, "DPPL_PARAM_CH_ENABLED", 0),
    });
}

/*
 * The digitizer record of the global board, filled by hand as an open board:
 * two channels (only channel 0 has MCS firmware), one LVDS group, 2 + 3
 * virtual traces, one HV channel with two ranges and one monitor output.
 * Channel parameters: threshold 0..1000, fine gain and its temperature
 * factor, spectrum bins, self trigger and enable (BOOLEANS lists).
 */
inline c_Digitizer_t* fillFakeDigitizer() {
    c_Digitizer_t* d = &SRV_Globals->board.digitizer;
    d->kind = 0;
    d->handle = -1;
    c_BoardDescriptor_t& b = d->descriptor;
    std::snprintf(b.ModelName, sizeof b.ModelName, "FAKE");
    b.SerialNumber = 7;
    b.NumChannels = 2;
    b.LVDSGroups = 1;
    b.AnalogVTraces = 2;
    b.DigitalVTraces = 3;
    b.HVChannels = 1;
    b.MonOuts = 1;
    d->boardColl = collectionOf({softParam(d, DPPL_PARAM_RECLEN, "DPPL_PARAM_RECLEN", 0, 10000, 1000)});
    for (int ch = 0; ch < 2; ++ch)
        d->channels[ch].coll = channelCollection(&d->channels[ch], ch);
    EXPECT_EQ(
        _pcinsert(d->channels[0].coll,
                  softParam(&d->channels[0], DPPL_PARAM_CH_MCS_CHANNELS, "DPPL_PARAM_CH_MCS_CHANNELS", 1, 32768, 512),
                  DPPL_PARAM_CH_MCS_CHANNELS),
        0);
    d->lvdsColl[0] =
        collectionOf({softParam(&d->lvdsColl[0], DPPL_PARAM_LVDSGRP_MODE, "DPPL_PARAM_LVDSGRP_MODE", 0, 3, 0)});
    for (int t = 0; t < 5; ++t) {
        d->vtrace[t].owner = d;
        d->vtrace[t].coll =
            collectionOf({softParam(&d->vtrace[t], DPPL_PARAM_VTRACE_PROBE, "DPPL_PARAM_VTRACE_PROBE", 0, 30, t)});
    }
    d->hv[0].rangeCount = 2;
    d->hv[0].coll = collectionOf({softParam(&d->hv[0], DPPL_PARAM_HVCH_ON, "DPPL_PARAM_HVCH_ON", 0, 1, 0)});
    for (int r = 0; r < 2; ++r) {
        d->hv[0].ranges[r].coll = collectionOf(
            {softParam(&d->hv[0].ranges[r], DPPL_PARAM_HVCH_VSET, "DPPL_PARAM_HVCH_VSET", 0, 5000, 100 * (r + 1))});
    }
    d->monOutColl =
        collectionOf({softParam(&d->monOutColl, DPPL_PARAM_MONOUT_ENABLE, "DPPL_PARAM_MONOUT_ENABLE", 0, 1, 0)});
    return d;
}

inline void freeFakeDigitizer(c_Digitizer_t* d) {
    _pcfreeall(d->boardColl);
    for (auto& c : d->channels)
        _pcfreeall(c.coll);
    for (auto& c : d->lvdsColl)
        _pcfreeall(c);
    for (auto& t : d->vtrace)
        _pcfreeall(t.coll);
    for (auto& h : d->hv) {
        _pcfreeall(h.coll);
        for (auto& r : h.ranges)
            _pcfreeall(r.coll);
    }
    _pcfreeall(d->monOutColl);
    std::memset(d, 0, sizeof *d);
}

/* The library parameter of a channel, by code. */
inline c_Parameter_t* channelParam(int ch, int32_t code) {
    return _pretrieve(SRV_Globals->board.digitizer.channels[ch].coll, code);
}

/* A test on the fake board with the server definitions of a fixture folder. */
class FakeBoardTest : public ::testing::Test {
protected:
    virtual std::string folder() const { return fixture("basic"); }
    void SetUp() override {
        useFreshLogFolder();
        setUpGlobals(folder());
        dig = fillFakeDigitizer();
        board = &SRV_Globals->board;
    }
    void TearDown() override {
        if (SRV_Globals == nullptr)
            return;
        SRV_FreeServerParameters(board);
        freeFakeDigitizer(dig);
        tearDownGlobals();
        dropLogFolderIfPassed();
    }
    int32_t code(const char* codename) {
        int32_t value = -1;
        EXPECT_EQ(SRV_GetParameterCode(board, codename, &value), 0) << codename;
        return value;
    }
    SRVBoard_t* board = nullptr;
    c_Digitizer_t* dig = nullptr;
};

} // namespace srvtest

#endif
