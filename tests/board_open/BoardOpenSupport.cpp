#include "BoardOpenSupport.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>

namespace boardtest {

namespace {

void walk(c_ParamCollection_t* coll, const std::string& label,
          const std::function<void(const std::string&, c_Parameter_t*)>& fn) {
    if (coll == NULL)
        return;
    for (int32_t i = 0; i <= coll->lastCode - coll->firstCode; ++i)
        if (coll->items[i] != NULL)
            fn(label, coll->items[i]);
}

std::string tempFolder() {
    char pattern[] = "/tmp/board_open_XXXXXX";
    const char* folder = mkdtemp(pattern);
    return folder != NULL ? folder : "/tmp";
}

} // namespace

void ForEachParameter(c_Digitizer_t* d, const std::function<void(const std::string&, c_Parameter_t*)>& fn) {
    const c_BoardDescriptor_t& desc = d->descriptor;
    walk(d->boardColl, "board", fn);
    for (int g = 0; g < desc.NumGroups; ++g)
        walk(d->groupColl[g], "group " + std::to_string(g), fn);
    for (int c = 0; c < desc.NumChannels; ++c)
        walk(d->channels[c].coll, "channel " + std::to_string(c), fn);
    for (uint32_t l = 0; l < desc.LVDSGroups; ++l)
        walk(d->lvdsColl[l], "lvds " + std::to_string(l), fn);
    for (int t = 0; t < DPPL_MAX_VTRACES; ++t)
        walk(d->vtrace[t].coll, "trace " + std::to_string(t), fn);
    for (uint32_t h = 0; h < desc.HVChannels; ++h) {
        walk(d->hv[h].coll, "hv " + std::to_string(h), fn);
        for (uint32_t r = 0; r < d->hv[h].rangeCount; ++r)
            walk(d->hv[h].ranges[r].coll, "hv range " + std::to_string(h) + "/" + std::to_string(r), fn);
    }
    walk(d->monOutColl, "monout", fn);
    for (uint32_t v = 0; v < desc.VGAs; ++v)
        walk(d->vgaColl[v], "vga " + std::to_string(v), fn);
}

int ExpectEveryParameterAtPreferred(c_Digitizer_t* d) {
    int checked = 0;
    ForEachParameter(d, [&](const std::string& where, c_Parameter_t* p) {
        if (p->accesstype == c_getAccessTypeCode("READONLY"))
            return;
        double value = NAN;
        ASSERT_EQ(0, c_pget(d, p, &value)) << where << " " << p->codename;
        EXPECT_NEAR(p->preferred, value, 1e-9) << where << " " << p->codename;
        ++checked;
    });
    return checked;
}

void ExpectDerivedDefaultsConsistent(c_Digitizer_t* d) {
    c_Parameter_t* decay = c_pfindc(d, 0, DPPL_PARAM_CH_TDECAY);
    ASSERT_NE(nullptr, decay);
    ASSERT_EQ(0, c_pset(d, decay, decay->value));
    for (int32_t code :
         {DPPL_PARAM_CH_TRAP_NORM, DPPL_PARAM_CH_GAINREG, DPPL_PARAM_CH_FAST_TRIANG_NORM,
          DPPL_PARAM_CH_FAST_TRIANG_SHIFT, DPPL_PARAM_CH_SLOW_TRIANG_NORM, DPPL_PARAM_CH_SLOW_TRIANG_SHIFT}) {
        c_Parameter_t* p = c_pfindc(d, 0, code);
        ASSERT_NE(nullptr, p) << code;
        EXPECT_EQ(p->preferred, p->value) << p->codename;
    }
}

::testing::AssertionResult IsClosedAndEmpty(const c_Digitizer_t* d) {
    if (d->kind != DGTZ_KIND_CLOSED || d->handle != -1)
        return ::testing::AssertionFailure() << "kind " << d->kind << ", handle " << d->handle;
    if (d->boardColl != NULL || d->roBuffer.ROBuf != NULL || d->scope != NULL)
        return ::testing::AssertionFailure() << "board collection, readout buffer or scope buffer left";
    for (const c_ChannelRecord_t& ch : d->channels)
        if (ch.coll != NULL || ch.events != NULL)
            return ::testing::AssertionFailure() << "a channel collection or event array left";
    if (strcmp(d->descriptor.DPPTypeName, "DPP-NONE") != 0)
        return ::testing::AssertionFailure() << "type name " << d->descriptor.DPPTypeName;
    return ::testing::AssertionSuccess();
}

std::string FixtureBoard(const std::string& model, uint32_t family, uint32_t formFactor, const std::string& firmware,
                         uint32_t memoryCode, const std::string& extra) {
    return "<Board name=\"fixture\"><Address link=\"usb\" number=\"9\"/>"
           "<Info model=\"" +
           model + "\" modelNumber=\"5780\" channels=\"8\" formFactor=\"" + std::to_string(formFactor) +
           "\" family=\"" + std::to_string(family) + "\" boardFirmware=\"4.22\" channelFirmware=\"" + firmware +
           "\" serial=\"9001\" adcBits=\"14\"/><Memory code=\"" + std::to_string(memoryCode) + "\"/>" + extra +
           "</Board>";
}

Profiles::Profiles(const std::string& boards) : path_(tempFolder() + "/SimulatedBoards.xml") {
    std::ofstream out(path_);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SimulatedBoards>\n" << boards << "\n</SimulatedBoards>\n";
    out.close();
    setenv("ZARN_SIMBOARD_FILE", path_.c_str(), 1);
}

Profiles::~Profiles() {
    unsetenv("ZARN_SIMBOARD_FILE");
    unlink(path_.c_str());
}

} // namespace boardtest
