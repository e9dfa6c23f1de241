/* The default-value walk, replay values and the DAC calibration. */
#include <math.h>
#include <string.h>

#include "BoardOpenSupport.h"

using namespace boardtest;

namespace {

int presetNullArgument(const c_ParamRef_t*) { return -30; }
int presetParameterError(const c_ParamRef_t*) { return -26; }

class DefaultValues : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        ASSERT_EQ(0, board_.Open(OrluPha()));
    }
    c_Digitizer_t* d() { return board_.get(); }
    c_Parameter_t* threshold(int channel) { return c_pfindc(d(), channel, DPPL_PARAM_CH_THRESHOLD); }
    c_Parameter_t* autoAlloc() { return c_pfind(d(), DPPL_PARAM_AUTOALLOC_BUFFERS); }
    Board board_;
};

TEST_F(DefaultValues, ANullArgumentResultIsPassedOverAnyOtherEndsTheWalk) {
    ASSERT_NE(nullptr, threshold(0));
    threshold(7)->preferred = 321;
    threshold(0)->preset = presetNullArgument;
    EXPECT_EQ(0, GENERIC_SetAllParameters(d()));
    EXPECT_EQ(321u, board_.Peek(0x176C)); /* the walk went on past channel 0 */

    LogFolder logs;
    threshold(7)->preferred = 222;
    threshold(0)->preset = presetParameterError;
    EXPECT_EQ(-26, GENERIC_SetAllParameters(d()));
    threshold(0)->preset = NULL;
    EXPECT_EQ(321u, board_.Peek(0x176C)); /* it stopped at channel 0 */
    EXPECT_NE(std::string::npos, logs.Read("ZarnBoard_GENERICLog.txt")
                                     .find("Error -26 setting default value for channel 0 parameter " +
                                           std::to_string(DPPL_PARAM_CH_THRESHOLD)));
}

TEST_F(DefaultValues, LeaveAsIsKeepsWhatTheBoardHolds) {
    c_Parameter_t* p = threshold(2);
    p->leaveAsIs = 1;
    ZarnSim_PokeRegister(board_.Link(), 0x126C, 777);
    EXPECT_EQ(0, GENERIC_SetAllParameters(d()));
    EXPECT_EQ(777, p->preferred);
    EXPECT_EQ(777, p->value);
    EXPECT_EQ(777u, board_.Peek(0x126C));

    ZarnSim_FailRegisterAccess(0x126C, 1, -2);
    EXPECT_EQ(-26, GENERIC_SetAllParameters(d())); /* an unreadable board value fails the walk */
    p->leaveAsIs = 0;
}

TEST_F(DefaultValues, AutomaticAllocationOffAllocatesNothing) {
    ASSERT_EQ(0, c_pset(d(), autoAlloc(), 0));
    ASSERT_EQ(0, _freeDgtzBuffers(d()));
    EXPECT_EQ(0, GENERIC_SetAllParameters(d()));
    EXPECT_EQ(nullptr, d()->roBuffer.ROBuf);
    EXPECT_EQ(0u, d()->roBuffer.ROAllocSize);
    for (int c = 0; c < 8; ++c)
        EXPECT_EQ(nullptr, d()->channels[c].events) << c;
    EXPECT_EQ(0, autoAlloc()->value);
    EXPECT_EQ(0, autoAlloc()->preferred);

    ASSERT_EQ(0, c_pset(d(), autoAlloc(), 1));
    EXPECT_EQ(0, GENERIC_SetAllParameters(d()));
    EXPECT_NE(nullptr, d()->roBuffer.ROBuf);
    for (int c = 0; c < 8; ++c)
        EXPECT_NE(nullptr, d()->channels[c].events) << c;
    EXPECT_EQ(1, autoAlloc()->value);
    EXPECT_EQ(1, autoAlloc()->preferred);
}

TEST_F(DefaultValues, DacCalibrationSetsBothCoefficientsOfEveryChannel) {
    uint8_t data[64];
    for (int i = 0; i < 8; ++i) {
        float p0 = 1.0f + i / 8.0f, p1 = -(float)i;
        memcpy(data + 8 * i, &p0, 4);
        memcpy(data + 8 * i + 4, &p1, 4);
    }
    EXPECT_EQ(-6, GENERIC_LoadDACCalibration(d(), data, sizeof data - 1, 0));
    EXPECT_EQ(1, c_pfindc(d(), 7, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P0)->value);
    ASSERT_EQ(0, GENERIC_LoadDACCalibration(d(), data, sizeof data, 0));
    for (int i = 0; i < 8; ++i) {
        c_Parameter_t* p0 = c_pfindc(d(), i, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P0);
        c_Parameter_t* p1 = c_pfindc(d(), i, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P1);
        EXPECT_EQ(1.0 + i / 8.0, p0->value);
        EXPECT_EQ(1.0 + i / 8.0, p0->preferred);
        EXPECT_EQ(-i, p1->value);
        EXPECT_EQ(-i, p1->preferred);
    }
}

TEST(DacCalibration, PerGroupDataGoesToTheGroupCoefficients) {
    Board record;
    c_Digitizer_t* d = record.get();
    d->kind = DGTZ_KIND_OPEN;
    d->descriptor.NumGroups = 4;
    for (int g = 0; g < 4; ++g) {
        d->groupColl[g] = _pcnew(DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P1 - DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P0 + 1,
                                 DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P0);
        for (int32_t code : {DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P0, DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P1}) {
            c_Parameter_t* p = c_pnew(&d->groupColl[g]); /* software-only, unbounded */
            p->code = code;
            p->min = -INFINITY;
            p->max = INFINITY;
            ASSERT_EQ(0, _pcinsert(d->groupColl[g], p, code));
        }
    }
    uint8_t page[263] = {0};
    for (int g = 0; g < 4; ++g) {
        float p0 = 2.0f + g, p1 = 0.5f * g;
        memcpy(page + 8 * g, &p0, 4);
        memcpy(page + 8 * g + 4, &p1, 4);
    }
    ASSERT_EQ(0, GENERIC_LoadDACCalibration(d, page, sizeof page, 1));
    for (int g = 0; g < 4; ++g) {
        EXPECT_EQ(2.0 + g, c_pfindg(d, g, DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P0)->value);
        EXPECT_EQ(0.5 * g, c_pfindg(d, g, DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P1)->value);
    }
    _freeParamCollections(d);
    d->kind = DGTZ_KIND_CLOSED;
}

class DacFlash : public BoardTest {};

TEST_F(DacFlash, CalibrationPageIsFoundForEachFlashType) {
    struct Case {
        uint32_t type, page;
    };
    for (const Case& c : {Case{0, 6}, Case{1, 3}, Case{2, 6}}) {
        std::string bytes = "0D";
        for (int i = 0; i < 8; ++i) {
            const char* pair = i % 2 ? " 00 00 00 40 00 00 80 3F" : " 00 00 80 3F 00 00 00 00"; /* (2, 1) or (1, 0) */
            bytes += pair;
        }
        Profiles profiles(FixtureBoard("OR5780", 16, 2, "128.70", 8,
                                       "<Flash type=\"" + std::to_string(c.type) + "\"><Page number=\"" +
                                           std::to_string(c.page) + "\" bytes=\"" + bytes + "\"/></Flash>"));
        Board board;
        ASSERT_EQ(0, board.Open(FixtureAddress()));
        ASSERT_EQ(0, GENERIC_ReadDACCalibrationFromFlash(board.get())) << c.type;
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(i % 2 ? 2.0 : 1.0, c_pfindc(board.get(), i, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P0)->value);
            EXPECT_EQ(i % 2 ? 1.0 : 0.0, c_pfindc(board.get(), i, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P1)->value);
        }
    }
}

TEST_F(DacFlash, ABoardWithoutTheMarkerKeepsItsDefaults) {
    Board board;
    ASSERT_EQ(0, board.Open(OrluPha())); /* erased flash */
    EXPECT_EQ(0, GENERIC_ReadDACCalibrationFromFlash(board.get()));
    EXPECT_EQ(1, c_pfindc(board.get(), 0, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P0)->value);
    ZarnSim_FailRegisterAccess(0xF050, 1, -2);
    EXPECT_EQ(-6, GENERIC_ReadDACCalibrationFromFlash(board.get()));
}

/* A replay record: the collections of the recorded board, each parameter
 * pinned to its recorded value. */
class ReplayValues : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        Board live;
        ASSERT_EQ(0, live.Open(OrluPha()));
        replay_->descriptor = live->descriptor;
        replay_->kind = DGTZ_KIND_OPEN;
        replay_->replay = 1;
        boardSize_ = live->boardColl->lastCode - live->boardColl->firstCode + 1;
        channelSize_ = live->channels[0].coll->lastCode - live->channels[0].coll->firstCode + 1;
    }
    void TearDown() override {
        _freeParamCollections(replay_.get());
        c_free(header_.brdparams);
        for (double* block : header_.chparams)
            c_free(block);
        replay_->kind = DGTZ_KIND_CLOSED;
        BoardTest::TearDown();
    }
    double* block(int32_t size, double base) {
        double* values = (double*)c_calloc((size_t)size, sizeof(double));
        for (int32_t i = 0; i < size; ++i)
            values[i] = base + i;
        return values;
    }
    Board replay_;
    c_RawDataHeader_t header_{};
    int32_t boardSize_ = 0, channelSize_ = 0;
};

TEST_F(ReplayValues, EveryGetAnswersTheRecordedValueAndOtherValuesAreRefused) {
    header_.brdparams = block(boardSize_, 1000);
    header_.chparams[1] = block(channelSize_, 5000);
    header_.chparams[2] = block(3, 7000); /* a block shorter than the code range */
    ASSERT_EQ(0, GENERIC_LoadFileParameters(replay_.get(), &header_));
    c_Digitizer_t* d = replay_.get();

    c_Parameter_t* reclen = c_pfind(d, DPPL_PARAM_RECLEN);
    double value = 0;
    ASSERT_EQ(0, c_pget(d, reclen, &value));
    EXPECT_EQ(1000 + DPPL_PARAM_RECLEN - d->boardColl->firstCode, value);
    EXPECT_EQ(0u, reclen->regaddr);
    EXPECT_EQ(-26, c_pset(d, reclen, value + 1));
    EXPECT_EQ(0, c_pset(d, reclen, value));

    c_Parameter_t* threshold = c_pfindc(d, 1, DPPL_PARAM_CH_THRESHOLD);
    ASSERT_EQ(0, c_pget(d, threshold, &value));
    EXPECT_EQ(5000 + DPPL_PARAM_CH_THRESHOLD - d->channels[1].coll->firstCode, value);

    /* Codes past a short block read as codes the recorder did not hold. */
    ASSERT_EQ(0, c_pget(d, c_pfindc(d, 2, DPPL_PARAM_CH_DCOFFSET), &value));
    EXPECT_EQ(7001, value);
    ASSERT_EQ(0, c_pget(d, c_pfindc(d, 2, DPPL_PARAM_CH_THRESHOLD), &value));
    EXPECT_EQ(-1.0, value);

    /* A channel whose block the file lacks keeps its parameters as loaded. */
    c_Parameter_t* untouched = c_pfindc(d, 3, DPPL_PARAM_CH_THRESHOLD);
    EXPECT_EQ(100, untouched->value);
    EXPECT_NE(0u, untouched->regaddr);
}

} // namespace
