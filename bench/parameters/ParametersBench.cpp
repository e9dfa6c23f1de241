/*
 * Set, get and lookup costs of the parameter model on the simulated board
 * (profile "orlu-pha" of the shipped SimulatedBoards.xml). The parameters are
 * built from small definition snippets against the shipped Definitions.xml.
 */
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <cstring>
#include <memory>
#include <string>

#include "ZarnDPPLayer.h"
#include "ZarnDigitizer.h"
#include "ZarnParameters_Collections.h"

namespace {

c_Parameter_t* build(const std::string& def, const std::string& board, uint32_t index) {
    std::string boardText = "<ChannelParameters>" + board + "</ChannelParameters>";
    xmlDocPtr defDoc = xmlReadMemory(def.data(), (int)def.size(), "def.xml", NULL, 0);
    xmlDocPtr boardDoc = xmlReadMemory(boardText.data(), (int)boardText.size(), "board.xml", NULL, 0);
    c_Parameter_t* p = NULL;
    if (defDoc != NULL && boardDoc != NULL)
        p = c_pfromnode(NULL, xmlFirstElementChild(xmlDocGetRootElement(boardDoc)), xmlDocGetRootElement(defDoc),
                        index);
    xmlFreeDoc(defDoc);
    xmlFreeDoc(boardDoc);
    return p;
}

/* A record around the simulated board with one channel collection. */
struct Bench {
    std::unique_ptr<c_Digitizer_t> record = std::make_unique<c_Digitizer_t>();
    int handle = -1;
    c_Parameter_t* soft = NULL;
    c_Parameter_t* field = NULL;
    c_Parameter_t* list = NULL;
    bool ok = false;

    Bench() {
        memset(record.get(), 0, sizeof(c_Digitizer_t));
        int link = 0;
        ZARN_DGTZ_BoardInfo_t info{};
        if (ZARN_DGTZ_OpenDigitizer2(ZARN_DGTZ_LINK_USB, &link, 0, 0, &handle) != 0 ||
            ZARN_DGTZ_GetInfo(handle, &info) != 0)
            return;
        memcpy(&record->descriptor, &info, sizeof info);
        record->descriptor.NumChannels = 1;
        record->kind = 0;
        soft = build(R"(<S code="1" type="RANGE" name="Soft" regaddr="0"/>)",
                     R"(<Parameter codename="S" min="0" max="1000" incr="0.5" defval="1"/>)", 0);
        field =
            build(R"x(<F code="2" type="RANGE" name="Field" regaddrexpr="0x1070 + (idx * 0x100)" mask="0x3FFF00"/>)x",
                  R"(<Parameter codename="F" min="0" max="16383" incr="1" defval="1"/>)", 0);
        list = build(R"(<L code="3" type="LIST" name="List" regaddr="0x1074" mask="0x3"/>)",
                     R"(<Parameter codename="L" category="BOOLEANS" defval="FALSE">
                          <ParamValue codename="FALSE" regvalue="0"/><ParamValue codename="TRUE" regvalue="1"/>
                        </Parameter>)",
                     0);
        record->channels[0].coll = _pcnew(200, 0);
        ok = soft != NULL && field != NULL && list != NULL && record->channels[0].coll != NULL &&
             _pcinsert(record->channels[0].coll, soft, 1) == 0 && _pcinsert(record->channels[0].coll, field, 2) == 0 &&
             _pcinsert(record->channels[0].coll, list, 3) == 0;
    }
    ~Bench() {
        _pcfreeall(record->channels[0].coll);
        if (handle >= 0)
            ZARN_DGTZ_CloseDigitizer(handle);
    }
};

Bench& bench() {
    static Bench b;
    return b;
}

void check(benchmark::State& state) {
    if (!bench().ok)
        state.SkipWithError("the benchmark record could not be built");
}

void BM_SetSoftwareOnly(benchmark::State& state) {
    check(state);
    double v = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(c_pset(bench().record.get(), bench().soft, v));
        v = v < 999 ? v + 0.5 : 0;
    }
}
BENCHMARK(BM_SetSoftwareOnly);

void BM_SetMaskedRegister(benchmark::State& state) {
    check(state);
    double v = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(c_pset(bench().record.get(), bench().field, v));
        v = v < 16000 ? v + 1 : 0;
    }
}
BENCHMARK(BM_SetMaskedRegister);

void BM_SetList(benchmark::State& state) {
    check(state);
    double v = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(c_pset(bench().record.get(), bench().list, v));
        v = 1 - v;
    }
}
BENCHMARK(BM_SetList);

void BM_GetMaskedRegister(benchmark::State& state) {
    check(state);
    double value = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(c_pget(bench().record.get(), bench().field, &value));
}
BENCHMARK(BM_GetMaskedRegister);

void BM_FindChannelParameter(benchmark::State& state) {
    check(state);
    int32_t code = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(c_pfindc(bench().record.get(), 0, code));
        code = code == 3 ? 1 : code + 1;
    }
}
BENCHMARK(BM_FindChannelParameter);

} // namespace
