/* The plug-in's update hooks and definition functions: bound to parameters
 * of a hand-built record and run through the library's set path, so that
 * cascades go the way a board's definitions make them go. */
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include "KelsorFunctions.h"
#include "RecordFixture.h"
#include "ZarnPluginSupport.h"

using kelsortest::definition;
using kelsortest::fn;
using kelsortest::hook;
using kelsortest::regToVal;
using kelsortest::swCheck;
using kelsortest::valToReg;
using rectest::Record;

namespace {

/* Counts the sets of the parameters that bind it as postset. */
int postsetCalls = 0;
int countPostset(const c_ParamRef_t*) {
    postsetCalls++;
    return 0;
}

/* Board parameters that decide the buffer organisation: 3-word events
 * (time tag, format, energy), 1 MiSample of memory. */
struct AcquisitionRecord : Record {
    AcquisitionRecord() {
        get()->descriptor.MemSize = 1048576;
        waveforms = board(DPPL_PARAM_WAVEFORMS, 0);
        board(DPPL_PARAM_TIMETAG, 1);
        board(DPPL_PARAM_ENERGY, 1);
        board(DPPL_PARAM_EXTRAS, 0);
        board(DPPL_PARAM_FORMAT, 1);
        aggregation = board(DPPL_PARAM_EVENTAGGR, 1);
        organisation = board(DPPL_PARAM_BUFFORG, 0);
        organisation->min = 2;
        organisation->max = 10;
        aggregates = board(DPPL_PARAM_NABLT, 1);
    }
    c_Parameter_t *waveforms, *aggregation, *organisation, *aggregates;
};

} // namespace

TEST(BufferOrganisation, SmallestOrganisationThatHoldsTheAggregation) {
    struct Case {
        double aggregation;
        double recordLength; /* 0: waveforms off */
        double organisation, finalAggregation;
    } cases[] = {
        {1024, 0, 8, 1024}, /* 4096 >= 3072 at 8, 2048 < 3072 at 9 */
        {1, 0, 10, 1},
        {1 << 20, 0, 2, 87381}, /* nothing fits: (M >> 2) / 3 events */
        {1024, 400, 5, 1024},   /* 3 + 25 words a waveform event */
    };
    for (const Case& c : cases) {
        AcquisitionRecord record;
        record.aggregation->value = c.aggregation;
        if (c.recordLength != 0) {
            record.waveforms->value = 1;
            c_Parameter_t* length = record.board(DPPL_PARAM_RECLEN, c.recordLength);
            length->valtoreg = valToReg("NanoToSample4");
        }
        c_ParamRef_t ref = {record.get(), record.aggregation};
        EXPECT_EQ(hook("UpdateBuffOrg")(&ref), 0) << c.aggregation;
        EXPECT_EQ(record.organisation->value, c.organisation) << c.aggregation;
        EXPECT_EQ(record.aggregation->value, c.finalAggregation) << c.aggregation;
    }
}

TEST(BufferOrganisation, ListMinimumAndNoFittingAggregation) {
    {
        AcquisitionRecord record;
        c_Parameter_t* organisation = record.organisation;
        organisation->type = C_PARAM_TYPE_LIST;
        organisation->count = 3;
        for (int i = 0; i < 3; i++)
            organisation->values[i].value = organisation->values[i].regvalue = (uint32_t)(7 - 2 * i); /* 7 5 3 */
        record.aggregation->value = 1 << 20;
        c_ParamRef_t ref = {record.get(), record.aggregation};
        EXPECT_EQ(hook("UpdateBuffOrg")(&ref), 0);
        EXPECT_EQ(organisation->value, 3);
        EXPECT_EQ(record.aggregation->value, 43690); /* (M >> 3) / 3 */
    }
    {
        /* A lowest organisation beyond every n (here above 2^31) leaves only
         * the lowered aggregation: nothing below it may be chosen. */
        AcquisitionRecord record;
        record.organisation->type = C_PARAM_TYPE_LIST;
        record.organisation->count = 1;
        record.organisation->values[0].regvalue = 0x80000000u;
        record.aggregation->value = 1024;
        c_ParamRef_t ref = {record.get(), record.aggregation};
        EXPECT_EQ(hook("UpdateBuffOrg")(&ref), DPPL_ERR_NO_EVENT_AGGREGATION);
        EXPECT_EQ(record.aggregation->value, 1024);
    }
    {
        AcquisitionRecord record;
        record->descriptor.MemSize = 2;
        record.organisation->min = 0;
        record.aggregation->value = 16;
        c_ParamRef_t ref = {record.get(), record.aggregation};
        EXPECT_EQ(hook("UpdateBuffOrg")(&ref), DPPL_ERR_NO_EVENT_AGGREGATION);
    }
    {
        Record record; /* no acquisition-mode parameters */
        c_ParamRef_t ref = {record.get(), NULL};
        EXPECT_EQ(hook("UpdateBuffOrg")(&ref), DPPL_ERR_NULL_ARGUMENT);
    }
}

/* The cascade that the definitions build: a new aggregation re-computes the
 * organisation, whose own hook re-computes the aggregates per transfer. */
TEST(BufferOrganisation, ChangesCascadeThroughTheSetPath) {
    AcquisitionRecord record;
    record.aggregation->postset = hook("UpdateBuffOrg");
    record.organisation->postset = hook("UpdateNumAggrBLT");
    EXPECT_EQ(c_pset(record.get(), record.aggregation, 1024), 0);
    EXPECT_EQ(record.organisation->value, 8);
    EXPECT_EQ(record.aggregates->value, 256);

    EXPECT_EQ(c_pset(record.get(), record.aggregation, 1 << 20), 0);
    EXPECT_EQ(record.aggregation->value, 87381);
    EXPECT_EQ(record.organisation->value, 2);
    EXPECT_EQ(record.aggregates->value, 4);
}

TEST(AggregatesPerTransfer, FromOrganisationOrWaveforms) {
    AcquisitionRecord record;
    c_ParamRef_t ref = {record.get(), record.organisation};
    record.organisation->value = 5;
    EXPECT_EQ(hook("UpdateNumAggrBLT")(&ref), 0);
    EXPECT_EQ(record.aggregates->value, 32);
    record.organisation->value = NAN; /* never converted as such */
    EXPECT_EQ(hook("UpdateNumAggrBLT")(&ref), 0);
    EXPECT_EQ(record.aggregates->value, 1);

    /* In a 10-bit register field a whole memory of 1024 aggregates becomes
     * the 1023 that the field holds; smaller counts stay powers of two. */
    record.aggregates->mask = 0x3FF;
    for (auto [organisation, aggregates] : {std::pair{10.0, 1023.0}, {9.0, 512.0}, {1.0, 2.0}}) {
        record.organisation->value = organisation;
        EXPECT_EQ(hook("UpdateNumAggrBLT")(&ref), 0);
        EXPECT_EQ(record.aggregates->value, aggregates) << organisation;
    }

    EXPECT_EQ(hook("XMOR_UpdateNumAggrBLT")(&ref), 0);
    EXPECT_EQ(record.aggregates->value, 1023);
    record.waveforms->value = 1;
    EXPECT_EQ(hook("XMOR_UpdateNumAggrBLT")(&ref), 0);
    EXPECT_EQ(record.aggregates->value, 1);

    Record bare;
    c_ParamRef_t bareRef = {bare.get(), NULL};
    EXPECT_EQ(hook("UpdateNumAggrBLT")(&bareRef), DPPL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(hook("XMOR_UpdateNumAggrBLT")(&bareRef), DPPL_ERR_NULL_ARGUMENT);
}

TEST(BufferOrganisation, StandardWaveformFirmware) {
    Record record;
    record->descriptor.FamilyCode = 0; /* 2 samples a unit */
    record->descriptor.MemSize = 1024;
    c_Parameter_t* organisation = record.board(DPPL_PARAM_BUFFORG, 0);
    c_Parameter_t* length = record.board(DPPL_PARAM_RECLEN, 400); /* 100 samples */
    c_ParamRef_t ref = {record.get(), length};
    EXPECT_EQ(hook("ScopeUpdateBuffOrg")(&ref), 0);
    EXPECT_EQ(organisation->value, 4); /* 2048 >> 4 = 128 >= 100, >> 5 = 64 < 100 */
    length->value = 1e6;
    EXPECT_EQ(hook("ScopeUpdateBuffOrg")(&ref), DPPL_ERR_GENERIC);
}

TEST(Buffers, ReallocationFollowsTheAutomaticSwitch) {
    AcquisitionRecord record;
    c_Parameter_t* automatic = record.board(DPPL_PARAM_AUTOALLOC_BUFFERS, 0);
    c_ParamRef_t ref = {record.get(), automatic};
    EXPECT_EQ(hook("ReallocBuffers")(&ref), 0);
    EXPECT_EQ(record->roBuffer.ROBuf, nullptr);
    automatic->value = 1; /* no board: the readout buffer cannot be had */
    EXPECT_EQ(hook("ReallocBuffers")(&ref), DPPL_ERR_READOUT_BUFFER);
}

namespace {

/* A Pemb PHA channel 1 whose filter gives D x T = 100000 in samples. */
struct ShiftRecord : Record {
    explicit ShiftRecord(int32_t dppCode, bool withFineGain) : Record(2) {
        get()->descriptor.DPPCode = dppCode;
        rise = channel(1, DPPL_PARAM_CH_TRAP_TRISE, 400);
        decay = channel(1, DPPL_PARAM_CH_TDECAY, 4000, "DPPL_PARAM_CH_TDECAY");
        rise->valtoreg = decay->valtoreg = valToReg("NanoToSample");
        if (withFineGain)
            fineGain = channel(1, DPPL_PARAM_CH_FGAIN, 1.0);
        norm = channel(1, DPPL_PARAM_CH_TRAP_NORM, 0);
    }
    c_Parameter_t *rise, *decay, *fineGain = NULL, *norm;
};

} // namespace

TEST(FilterNormalisation, ShiftByFamily) {
    struct Case {
        int32_t dppCode;
        bool withFineGain;
        double fineGain;
        int result;
        double shift;
    } cases[] = {
        {128, false, 0, 0, 16},  /* gain 1.0 without the parameter */
        {128, true, 2.0, 0, 15}, /* log2(50000) */
        {139, true, 1.0, 0, 16},
        {139, false, 0, DPPL_ERR_PARAMETER, 0},   /* the fine gain is required */
        {139, true, -1.0, DPPL_ERR_PARAMETER, 0}, /* no logarithm of a negative quotient */
        {128, true, 200000.0, 0, 0},              /* log2(0.5) = -1: shift 0, not 2^32 - 1 */
    };
    for (const Case& c : cases) {
        ShiftRecord record(c.dppCode, c.withFineGain);
        if (c.fineGain != 0)
            record.fineGain->value = c.fineGain;
        c_ParamRef_t ref = {record.get(), record.decay};
        EXPECT_EQ(hook("SetNewShift")(&ref), c.result) << c.dppCode;
        EXPECT_EQ(record.norm->value, c.shift) << c.dppCode;
    }
    ShiftRecord record(128, false);
    record.rise->value = 0; /* D x T = 0 */
    c_ParamRef_t ref = {record.get(), record.decay};
    EXPECT_EQ(hook("SetNewShift")(&ref), DPPL_ERR_PARAMETER);
}

TEST(FilterNormalisation, OtherFamiliesReSetTheFineGain) {
    ShiftRecord record(136, true);
    record.fineGain->postset = countPostset;
    postsetCalls = 0;
    c_ParamRef_t ref = {record.get(), record.decay};
    EXPECT_EQ(hook("SetNewShift")(&ref), 0);
    EXPECT_EQ(postsetCalls, 1);
    c_ParamRef_t noCaller = {record.get(), NULL};
    EXPECT_EQ(hook("SetNewShift")(&noCaller), DPPL_ERR_PARAMETER);
}

/* A new shift sets TRAP_NORM, whose postset sets the gain register. */
TEST(FilterNormalisation, ShiftCascadesIntoTheGainRegister) {
    ShiftRecord record(139, true);
    record.norm->postset = hook("SetGainReg");
    c_Parameter_t* gainReg = record.channel(1, DPPL_PARAM_CH_GAINREG, 0);
    gainReg->max = 65535;
    c_ParamRef_t ref = {record.get(), record.decay};
    EXPECT_EQ(hook("SetNewShift")(&ref), 0);
    EXPECT_EQ(record.norm->value, 16);
    EXPECT_EQ(gainReg->value, 42949); /* 2^16 x 65535 / 100000 */

    record.rise->value = 0; /* nothing to divide by */
    c_ParamRef_t normRef = {record.get(), record.norm};
    EXPECT_EQ(hook("SetGainReg")(&normRef), DPPL_ERR_PARAMETER);
    EXPECT_EQ(gainReg->value, 42949);
}

TEST(FilterNormalisation, EnergyFactorSetsTheTrapezoidNormalisation) {
    Record record(1);
    record.channel(0, DPPL_PARAM_CH_TRAP_TRISE, 400);
    c_Parameter_t* decay = record.channel(0, DPPL_PARAM_CH_TDECAY, 4000);
    c_Parameter_t* norm = record.channel(0, DPPL_PARAM_CH_TRAP_NORM, 0);
    c_Parameter_t* enf = record.channel(0, DPPL_PARAM_CH_ENERGY_CGAIN, 1.0);
    c_ParamRef_t ref = {record.get(), enf};
    EXPECT_EQ(hook("SetNewTrapNorm")(&ref), 0); /* no fine gain temperature: not supported, not an error */
    EXPECT_EQ(norm->value, 0);
    record.channel(0, DPPL_PARAM_CH_FGAIN_TEMP, 1.0);
    EXPECT_EQ(hook("SetNewTrapNorm")(&ref), 0);
    EXPECT_DOUBLE_EQ(norm->value, 65535.0 * 65536.0 / 100000.0);
    decay->value = 2; /* below one sample: N = 0 */
    EXPECT_EQ(hook("SetNewTrapNorm")(&ref), DPPL_ERR_PARAMETER);
}

/* A new decay time re-computes the triangle filters and, first, the shift,
 * whose own postset re-computes the gain register. */
TEST(FilterNormalisation, DecayChangeCascadesThroughShiftGainAndTriangles) {
    ShiftRecord record(139, true);
    record.channel(1, DPPL_PARAM_CH_RCCR2_RISE, 80);
    record.norm->postset = hook("SetGainReg");
    c_Parameter_t* gainReg = record.channel(1, DPPL_PARAM_CH_GAINREG, 0);
    gainReg->max = 65535;
    c_Parameter_t* fastNorm = record.channel(1, DPPL_PARAM_CH_FAST_TRIANG_NORM, -1);
    c_Parameter_t* fastShift = record.channel(1, DPPL_PARAM_CH_FAST_TRIANG_SHIFT, -1);
    c_Parameter_t* slowNorm = record.channel(1, DPPL_PARAM_CH_SLOW_TRIANG_NORM, -1);
    record.decay->postset = hook("RecalcTriangParams");

    EXPECT_EQ(c_pset(record.get(), record.decay, 4000), DPPL_ERR_NULL_ARGUMENT); /* no slow shift */
    EXPECT_EQ(record.norm->value, 16);
    EXPECT_EQ(gainReg->value, 42949);
    int32_t expected[4] = {0, 0, 0, 0}; /* slow norm, fast norm, slow shift, fast shift */
    ASSERT_EQ(c_calcTriangParams(record.get(), 1, &expected[0], &expected[1], &expected[2], &expected[3]), 0);
    EXPECT_EQ(fastNorm->value, expected[1]);
    EXPECT_EQ(fastShift->value, expected[3]);
    EXPECT_EQ(slowNorm->value, expected[0]);

    c_Parameter_t* slowShift = record.channel(1, DPPL_PARAM_CH_SLOW_TRIANG_SHIFT, -1);
    EXPECT_EQ(c_pset(record.get(), record.decay, 8000), 0);
    EXPECT_EQ(record.norm->value, 17); /* log2(200000) */
    ASSERT_EQ(c_calcTriangParams(record.get(), 1, &expected[0], &expected[1], &expected[2], &expected[3]), 0);
    EXPECT_EQ(slowShift->value, expected[2]);

    record.decay->postset = NULL; /* a failing shift stops the cascade */
    record.fineGain->value = -1;
    c_ParamRef_t ref = {record.get(), record.decay};
    EXPECT_EQ(hook("RecalcTriangParams")(&ref), DPPL_ERR_PARAMETER);
}

TEST(ReSetHooks, FlatTopDelayAndFineOffsetAreSetAgain) {
    struct Case {
        const char* hookName;
        int32_t code;
    } cases[] = {{"UpdateFTD", DPPL_PARAM_CH_TRAP_FTD}, {"XMOR_UpdateDCO", DPPL_PARAM_CH_FINE_DCOFFSET}};
    for (const Case& c : cases) {
        Record record(1);
        c_Parameter_t* flatTop = record.channel(0, DPPL_PARAM_CH_TRAP_TFLAT, 100);
        c_ParamRef_t ref = {record.get(), flatTop};
        EXPECT_EQ(hook(c.hookName)(&ref), DPPL_ERR_PARAMETER) << c.hookName;
        c_Parameter_t* target = record.channel(0, c.code, 30);
        target->postset = countPostset;
        postsetCalls = 0;
        EXPECT_EQ(hook(c.hookName)(&ref), 0) << c.hookName;
        EXPECT_EQ(postsetCalls, 1) << c.hookName;
        EXPECT_EQ(target->value, 30);
    }
}

TEST(CoarseOffset, ZeroOffsetOfTheCoarseGain) {
    Record record(1);
    record->descriptor.DPPCode = 142;
    c_Parameter_t* gain = record.channel(0, DPPL_PARAM_CH_CGAIN, 2);
    gain->type = C_PARAM_TYPE_LIST;
    gain->count = 3;
    gain->values[0].value = 1;
    gain->values[1].value = 2;
    gain->values[2].value = 4;
    c_Parameter_t* offset = record.channel(0, DPPL_PARAM_CH_COARSE_DCOFFSET, 0);
    c_ParamRef_t ref = {record.get(), gain};
    EXPECT_EQ(hook("SetZeroCoarseDCO")(&ref), DPPL_ERR_PARAMETER); /* the channel has no table */
    record->channels[0].coarseDCO = (c_CoarseDCOTable_t*)c_calloc(1, sizeof(c_CoarseDCOTable_t));
    record->channels[0].coarseDCO->entries[1].zeroOffset = 1234;
    EXPECT_EQ(hook("SetZeroCoarseDCO")(&ref), 0);
    EXPECT_EQ(offset->value, 1234);
    gain->value = 3; /* not in the list */
    EXPECT_EQ(hook("SetZeroCoarseDCO")(&ref), DPPL_ERR_PARAMETER);
}

TEST(Waits, SpiChannelByFamily) {
    Record record(16); /* no board: every register read fails */
    c_Parameter_t* offset = record.channel(0, DPPL_PARAM_CH_DCOFFSET, 0);
    c_ParamRef_t ref = {record.get(), offset};
    struct Case {
        int32_t dppCode;
        uint32_t family;
        uint8_t index;
        int result;
    } cases[] = {
        {139, 11, 9, DPPL_ERR_DIGITIZER_API},    /* polls channel 15 */
        {139, 11, 16, DPPL_ERR_INVALID_CHANNEL}, /* without reading */
        {0, 14, 16, DPPL_ERR_INVALID_CHANNEL},   {0, 0, 3, DPPL_ERR_DIGITIZER_API},
        {0, 4, 3, DPPL_ERR_INVALID_DPP_CODE},    {128, 7, 3, DPPL_ERR_DIGITIZER_API},
        {135, 4, 3, DPPL_ERR_GENERIC},
    };
    for (const Case& c : cases) {
        record->descriptor.DPPCode = c.dppCode;
        record->descriptor.FamilyCode = c.family;
        offset->index = c.index;
        EXPECT_EQ(hook("WaitSPIFreeDCOffset")(&ref), c.result) << c.dppCode << " index " << (int)c.index;
    }
}

TEST(Waits, PllRestoreWaitsHalfASecondThenRunsTheRecovery) {
    Record record;
    c_ParamRef_t ref = {record.get(), NULL};
    uint64_t start = c_get_time();
    int result = hook("RestorePLLUnlock")(&ref);
    uint64_t elapsed = c_get_time() - start;
    EXPECT_EQ(result, c_restorePLLUnlock(record.get()));
    EXPECT_GE(elapsed, 500u);
    EXPECT_LT(elapsed, 1500u);
}

TEST(Counters, ScaRestartAndInhibitLength) {
    Record record(1);
    c_Parameter_t* enable = record.channel(0, DPPL_PARAM_CH_SCA_ENABLE, 0);
    c_Parameter_t* counts = record.channel(0, DPPL_PARAM_CH_SCA_COUNTS, 5);
    c_Parameter_t* start = record.channel(0, DPPL_PARAM_CH_SCA_START_TIME, 0);
    c_Parameter_t* rate = record.channel(0, DPPL_PARAM_CH_SCA_RATE, 7);
    c_ParamRef_t ref = {record.get(), enable};
    EXPECT_EQ(hook("UpdateSCAParams")(&ref), 0);
    EXPECT_EQ(counts->value, 5); /* value 0 changes nothing */
    enable->value = 1;
    uint64_t now = c_get_time();
    EXPECT_EQ(hook("UpdateSCAParams")(&ref), 0);
    EXPECT_EQ(counts->value, 0);
    EXPECT_EQ(rate->value, 0);
    EXPECT_GE(start->value, (double)now);

    c_Parameter_t* holdoff = record.channel(0, DPPL_PARAM_CH_TRG_HOLDOFF, 10);
    c_Parameter_t* automatic = record.channel(0, DPPL_PARAM_CH_ADC_INHIBIT_LEN_AUTO, 0);
    c_Parameter_t* length = record.channel(0, DPPL_PARAM_CH_ADC_INHIBIT_LEN, 1);
    c_ParamRef_t holdoffRef = {record.get(), holdoff};
    EXPECT_EQ(hook("UpdateADCInhibitLen")(&holdoffRef), 0);
    EXPECT_EQ(length->value, 1);
    automatic->value = 1;
    EXPECT_EQ(hook("UpdateADCInhibitLen")(&holdoffRef), 0);
    EXPECT_EQ(length->value, 120); /* 10 x 3 x 4 ns */
}

namespace {

/* HV channel 0 with two ranges (codes 0 and 2) of five settings each. */
struct HighVoltageRecord : Record {
    HighVoltageRecord() {
        active = hvChannel(0, DPPL_PARAM_HVCH_ACTIVE_RANGE, 0);
        on = hvChannel(0, DPPL_PARAM_HVCH_ON, 0);
        for (int r = 0; r < 2; r++) {
            get()->hv[0].ranges[r].rangeCode = 2 * r;
            snprintf(get()->hv[0].ranges[r].codename, 100, "HV_RANGE_%d", r);
            vset[r] = setting(r, DPPL_PARAM_HVCH_VSET, 100 + r);
            setting(r, DPPL_PARAM_HVCH_RAMPUP, 50 + r);
            setting(r, DPPL_PARAM_HVCH_RAMPDOWN, 60 + r);
            setting(r, DPPL_PARAM_HVCH_ISET, 0)->max = 300 + r;
            setting(r, DPPL_PARAM_HVCH_VMAX, 0)->max = 2000 + r;
            imonOffset[r] = setting(r, DPPL_PARAM_HVCH_IMON_OFFSET, 0);
        }
    }
    /* A setting whose current value differs from its preferred one. */
    c_Parameter_t* setting(int r, int32_t code, double preferred) {
        c_Parameter_t* param = hvRange(0, r, code, 1);
        param->preferred = preferred;
        return param;
    }
    double value(int r, int32_t code) { return _pretrieve(get()->hv[0].ranges[r].coll, code)->value; }
    c_Parameter_t *active, *on, *vset[2], *imonOffset[2];
};

} // namespace

TEST(HighVoltage, ANewActiveRangeResetsItsSettings) {
    HighVoltageRecord record;
    record.active->postset = hook("HVRangeChanged");
    EXPECT_EQ(c_pset(record.get(), record.active, 2), 0);
    EXPECT_EQ(record.value(1, DPPL_PARAM_HVCH_VSET), 101);
    EXPECT_EQ(record.value(1, DPPL_PARAM_HVCH_RAMPUP), 51);
    EXPECT_EQ(record.value(1, DPPL_PARAM_HVCH_RAMPDOWN), 61);
    EXPECT_EQ(record.value(1, DPPL_PARAM_HVCH_ISET), 301);
    EXPECT_EQ(record.value(1, DPPL_PARAM_HVCH_VMAX), 2001);
    EXPECT_EQ(record.value(0, DPPL_PARAM_HVCH_VSET), 1); /* the other range keeps its settings */

    EXPECT_EQ(c_pset(record.get(), record.active, 7), DPPL_ERR_GENERIC); /* no range of that code */
    c_ParamRef_t noBoard = {NULL, record.active};
    EXPECT_EQ(hook("HVRangeChanged")(&noBoard), DPPL_ERR_NOT_SUPPORTED);
}

TEST(HighVoltage, OnlyTheActiveRangeReachesTheBoard) {
    HighVoltageRecord record;
    record.active->value = 2;
    auto softwareOnly = swCheck("HVRangeParameterCheckSoftware");
    c_ParamRef_t inactive = {record.get(), record.vset[0]};
    c_ParamRef_t active = {record.get(), record.vset[1]};
    EXPECT_TRUE(softwareOnly(&inactive));
    EXPECT_FALSE(softwareOnly(&active));
}

TEST(HighVoltage, CurrentOffsetOfTheActiveRangeIsReadAgain) {
    HighVoltageRecord record;
    c_ParamRef_t ref = {record.get(), record.on};
    EXPECT_EQ(hook("UpdateImonOffset")(&ref), 0); /* off: nothing to do */
    record.on->value = 1;
    record.active->value = 2;
    EXPECT_EQ(hook("UpdateImonOffset")(&ref), 0);
    record.active->value = 5;
    EXPECT_EQ(hook("UpdateImonOffset")(&ref), DPPL_ERR_GENERIC);
}

TEST(Definitions, HighVoltageRangeLimits) {
    c_HVRangeBlock_t range = {};
    range.conv[HVCONV_VMAX] = {0, {}, 1, {}, 0, 5000, 1};
    range.conv[HVCONV_VSET] = {0, {}, 1, {}, 10, 4000, 0.5};
    range.conv[HVCONV_IMON] = {0, {}, 1, {}, 0, 300, 0.01};
    struct Case {
        int32_t code;
        int block;
        double start;
    } cases[] = {{DPPL_PARAM_HVCH_VMAX, HVCONV_VMAX, 5000},
                 {DPPL_PARAM_HVCH_VSET, HVCONV_VSET, 10},
                 {DPPL_PARAM_HVCH_IMON_OFFSET, HVCONV_IMON, 0}};
    for (const Case& c : cases) {
        c_Parameter_t* param = c_pnew(&range);
        param->code = c.code;
        EXPECT_EQ(definition("HVRangeLimitsDefinition")(param), 0);
        EXPECT_EQ(param->auxiliary, &range.conv[c.block]);
        EXPECT_EQ(param->min, range.conv[c.block].min);
        EXPECT_EQ(param->max, range.conv[c.block].max);
        EXPECT_EQ(param->incr, range.conv[c.block].step);
        EXPECT_EQ(param->value, c.start);
        EXPECT_EQ(param->preferred, c.start);
        c_pdelete(param);
    }
    c_Parameter_t* other = c_pnew(&range);
    other->code = DPPL_PARAM_CH_ENABLED;
    EXPECT_EQ(definition("HVRangeLimitsDefinition")(other), DPPL_ERR_NOT_SUPPORTED);
    other->owner = NULL;
    EXPECT_EQ(definition("HVRangeLimitsDefinition")(other), DPPL_ERR_NULL_ARGUMENT);
    c_pdelete(other);
}

TEST(Definitions, HighVoltageRangeAndPolarityLists) {
    c_HVChannelBlock_t channel = {};
    channel.rangeCount = 3;
    channel.polarity = 1;
    const int codes[3] = {3, 1, 2};
    for (int r = 0; r < 3; r++) {
        channel.ranges[r].rangeCode = codes[r];
        snprintf(channel.ranges[r].codename, 100, "HV_RANGE_%d_WITH_A_CODE_NAME_LONGER_THAN_FORTY_SEVEN_CHARACTERS", r);
        snprintf(channel.ranges[r].name, 100, "Range %d", r);
    }
    c_Parameter_t* active = c_pnew(&channel);
    EXPECT_EQ(definition("ActiveHVRangeValuesDefinition")(active), 0);
    ASSERT_EQ(active->count, 3);
    for (int r = 0; r < 3; r++) {
        EXPECT_EQ(active->values[r].value, codes[r]);
        EXPECT_EQ(active->values[r].regvalue, (uint32_t)codes[r]);
        EXPECT_EQ(strlen(active->values[r].codename), 47u);
    }
    EXPECT_STREQ(active->values[1].name, "Range 1");
    EXPECT_EQ(active->value, 3); /* the first range */
    active->count = 23;          /* 23 + 3 > 25 */
    EXPECT_EQ(definition("ActiveHVRangeValuesDefinition")(active), DPPL_ERR_INVALID_CHANNEL);
    EXPECT_EQ(active->count, 23);

    c_Parameter_t* polarity = c_pnew(&channel);
    EXPECT_EQ(definition("HVPolarityValuesDefinition")(polarity), 0);
    EXPECT_EQ(polarity->count, 1);
    EXPECT_EQ(polarity->values[0].value, 1);
    EXPECT_EQ(polarity->value, 1);
    c_pdelete(active);
    c_pdelete(polarity);
}

TEST(Definitions, StandardWaveformRecordLengthRange) {
    struct Case {
        uint32_t family, memory;
        double minimum, start, maximum;
    } cases[] = {
        {4, 1000, 12, 192, 6000},   /* 3 samples a step, 1.5 a unit */
        {11, 1000, 40, 640, 39960}, /* one word reserved */
        {11, 0, 40, 640, 0},        /* no wrap below 0 */
        {7, 1000, 4, 64, 4000},
    };
    for (const Case& c : cases) {
        Record record;
        record->descriptor.FamilyCode = c.family;
        record->descriptor.MemSize = c.memory;
        c_Parameter_t* length = c_pnew(record.get());
        EXPECT_EQ(definition("ScopeRecLenRangeLimitsDefinition")(length), 0);
        EXPECT_EQ(length->min, c.minimum) << c.family;
        EXPECT_EQ(length->incr, c.minimum) << c.family;
        EXPECT_EQ(length->value, c.start) << c.family;
        EXPECT_EQ(length->max, c.maximum) << c.family;
        c_pdelete(length);
    }
}

TEST(Stubs, AnswerNotSupported) {
    Record record;
    c_ParamRef_t ref = {record.get(), NULL};
    c_Parameter_t* param = c_pnew(NULL);
    for (const char* name : {"Vexil_DefineVirtualProbeParameterValues", "Vexil_DefineWaveDownsamplingParameterValues",
                             "Vexil_RecordLengthLimitsDefinition"})
        EXPECT_EQ(definition(name)(param), DPPL_ERR_NOT_SUPPORTED) << name;
    for (const char* name :
         {"Vexil_SetChannelsTriggerMask", "Vexil_SetChannelsTriggerMaskHL", "Vexil_SetCoincMode",
          "Vexil_SetRecordLengthParameter", "Vexil_SetTriggerGeneric", "Vexil_SetVirtualProbeParameter",
          "Vexil_SetWaveDownsamplingParameter", "Vexil_SetWaveformsParameter"})
        EXPECT_EQ(fn<c_SetFcn_t>(name)(&ref, 1.0), DPPL_ERR_NOT_SUPPORTED) << name;
    EXPECT_EQ(hook("Vexil_UpdateRecordLengthParameter")(&ref), DPPL_ERR_NULL_ARGUMENT);
    record.board(DPPL_PARAM_RECLEN, 100);
    EXPECT_EQ(hook("Vexil_UpdateRecordLengthParameter")(&ref), DPPL_ERR_NOT_SUPPORTED);
    c_pdelete(param);
}
