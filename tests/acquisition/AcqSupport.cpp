#include "AcqSupport.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ZarnDigitizer.h"

namespace acqtest {

namespace {

constexpr int32_t kBoardFirst = 0, kChannelFirst = 200, kCollectionSize = 150;

bool softwareOnly(const c_ParamRef_t*) { return true; }

} // namespace

LogCapture::LogCapture() {
    char pattern[] = "/tmp/acqlogXXXXXX";
    folder_ = mkdtemp(pattern) != NULL ? pattern : "/tmp";
    const char* dir = getenv("ZARN_LOG_DIR");
    const char* level = getenv("ZARN_LOG_LEVEL");
    hadDir_ = dir != NULL;
    hadLevel_ = level != NULL;
    oldDir_ = dir != NULL ? dir : "";
    oldLevel_ = level != NULL ? level : "";
    setenv("ZARN_LOG_DIR", folder_.c_str(), 1);
    setenv("ZARN_LOG_LEVEL", "8", 1);
}

LogCapture::~LogCapture() {
    if (hadDir_)
        setenv("ZARN_LOG_DIR", oldDir_.c_str(), 1);
    else
        unsetenv("ZARN_LOG_DIR");
    if (hadLevel_)
        setenv("ZARN_LOG_LEVEL", oldLevel_.c_str(), 1);
    else
        unsetenv("ZARN_LOG_LEVEL");
    std::error_code ignored;
    if (folder_ != "/tmp")
        std::filesystem::remove_all(folder_, ignored);
}

bool LogCapture::has(const std::string& logFile, const std::string& fragment) const {
    std::ifstream file(folder_ + "/" + logFile);
    std::stringstream content;
    content << file.rdbuf();
    return content.str().find(fragment) != std::string::npos;
}

HandBoard::HandBoard(uint32_t enabledMask) : d_(new c_Digitizer_t) {
    _resetDgtz(d_);
    const int linkNumber = 0;
    EXPECT_EQ(ZARN_DGTZ_OpenDigitizer2(ZARN_DGTZ_LINK_USB, &linkNumber, 0, 0, &d_->handle), 0);
    ZARN_DGTZ_BoardInfo_t info;
    memset(&info, 0, sizeof info);
    EXPECT_EQ(ZARN_DGTZ_GetInfo(d_->handle, &info), 0);
    memcpy(&d_->descriptor, &info, sizeof info);
    c_BoardDescriptor_t& b = d_->descriptor;
    b.DPPCode = 128;
    b.DPPMinorRev = 70;
    b.SamplePeriod = 10.0;
    b.TimeTagBits = 30;
    b.EnergyBits = 15;
    b.ADCBits = 14;
    b.NumChannels = (uint8_t)b.Channels;
    d_->kind = DGTZ_KIND_OPEN;
    c_mutex_init(&d_->mutex);
    ZarnSim_SetClockMode(link(), ZARN_SIM_CLOCK_MANUAL);
    ZarnSim_SetSeed(link(), 5);

    board(DPPL_PARAM_ACQRUNNING, 0, 0x8104, 0x4);
    board(DPPL_PARAM_PLLLOCKED, 1, 0x8104, 0x80);
    board(DPPL_PARAM_MANUAL_FLUSH, 0, 0x8190)->acqon = 1;
    board(DPPL_PARAM_AUTOFLUSH_ENABLE, 0);
    board(DPPL_PARAM_WAVEFORMS, 0);
    board(DPPL_PARAM_NABLT, 4);      /* the board's 0xEF1C */
    board(DPPL_PARAM_EVENTAGGR, 16); /* the board's 0x1n34 */
    board(DPPL_PARAM_RECLEN, 0);
    for (uint32_t ch = 0; ch < b.NumChannels; ++ch) {
        channel(ch, DPPL_PARAM_CH_ENABLED, 1);
        channel(ch, DPPL_PARAM_CH_ACQ_RUN, 0, 0x10A0 | (ch << 8), 0x1);
        channel(ch, DPPL_PARAM_CH_GAINREG, 1);
        channel(ch, DPPL_PARAM_CH_TIME_OFFSET, 0);
        enable(ch, (enabledMask >> ch) & 1u);
    }
    EXPECT_EQ(c_brealloc(d_), 0);
}

HandBoard::~HandBoard() {
    c_freeDgtz(d_);
    delete d_;
}

c_Parameter_t* HandBoard::add(c_ParamCollection_t** collection, int32_t first, int32_t code, double value,
                              uint8_t index, uint32_t address, uint32_t mask) {
    if (*collection == NULL)
        *collection = _pcnew(kCollectionSize, first);
    c_Parameter_t* p = _pretrieve(*collection, code);
    if (p == NULL) {
        p = c_pnew(d_);
        p->code = code;
        p->index = index;
        p->min = -1e12;
        p->max = 1e12;
        snprintf(p->name, sizeof p->name, "param %d", (int)code);
        if (_pcinsert(*collection, p, code) != 0) {
            c_pdelete(p);
            return NULL;
        }
    }
    p->value = p->preferred = value;
    p->regaddr = address;
    p->mask = mask;
    p->swcheck = address == 0 ? softwareOnly : NULL;
    return p;
}

c_Parameter_t* HandBoard::board(int32_t code, double value, uint32_t address, uint32_t mask) {
    return add(&d_->boardColl, kBoardFirst, code, value, 0xFF, address, mask);
}

c_Parameter_t* HandBoard::channel(uint32_t ch, int32_t code, double value, uint32_t address, uint32_t mask) {
    return add(&d_->channels[ch].coll, kChannelFirst, code, value, (uint8_t)ch, address, mask);
}

void HandBoard::enable(uint32_t ch, bool on) {
    channel(ch, DPPL_PARAM_CH_ENABLED, on ? 1 : 0);
    uint32_t mask = peek(0x8120);
    poke(0x8120, on ? mask | (1u << ch) : mask & ~(1u << ch));
}

uint32_t HandBoard::peek(uint32_t address) const {
    uint32_t value = 0;
    EXPECT_EQ(ZarnSim_PeekRegister(link(), address, &value), 0);
    return value;
}

void HandBoard::poke(uint32_t address, uint32_t value) const {
    EXPECT_EQ(ZarnSim_PokeRegister(link(), address, value), 0);
}

void HandBoard::advance(uint64_t ns) const { EXPECT_EQ(ZarnSim_AdvanceClock(link(), ns), 0); }

uint64_t HandBoard::generated(uint32_t ch) const {
    uint64_t generated = 0, lost = 0;
    EXPECT_EQ(ZarnSim_GetChannelCounts(link(), ch, &generated, NULL, &lost), 0);
    return generated - lost;
}

uint32_t HandBoard::eventsRead() const {
    uint32_t sum = 0;
    for (uint32_t ch = 0; ch < d_->descriptor.NumChannels; ++ch)
        sum += d_->channels[ch].nEvents;
    return sum;
}

TempFile::TempFile(const std::string& stem) {
    char pattern[] = "/tmp/acq_test_XXXXXX";
    const char* folder = mkdtemp(pattern);
    path_ = std::string(folder != NULL ? folder : "/tmp") + "/" + stem;
}

TempFile::~TempFile() { unlink(path_.c_str()); }

} // namespace acqtest
