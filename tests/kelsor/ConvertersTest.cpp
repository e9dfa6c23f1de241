/* The plug-in's value/register converters, reached by code name and called
 * on records built by hand. */
#include <gtest/gtest.h>

#include <math.h>

#include "KelsorFunctions.h"
#include "RecordFixture.h"

using kelsortest::regToVal;
using kelsortest::valToReg;
using rectest::Record;

namespace {

/* A parameter of no category, for converters that read only the record. */
struct Loose {
    explicit Loose(void* owner = NULL) : param(c_pnew(owner)) {}
    ~Loose() { c_pdelete(param); }
    Loose(const Loose&) = delete;
    Loose& operator=(const Loose&) = delete;
    c_Parameter_t* param;
};

} // namespace

TEST(Binding, EveryFunctionIsExportedUnderItsCodeName) {
    const char* names[] = {
        "NanoToSample",
        "NanoToSample2",
        "NanoToSample4",
        "NanoToSample8",
        "NanoToSample12",
        "NanoToSample16",
        "SampleToNano",
        "SampleToNano2",
        "SampleToNano4",
        "SampleToNano8",
        "SampleToNano12",
        "SampleToNano16",
        "NanoToSample_offset3",
        "SampleToNano_offset3",
        "ReliabToPercent",
        "EnfToShf",
        "ShfToEnf",
        "DC_OFFValToReg",
        "DC_OFFRegToVal",
        "XMOR_DC_OFFValToReg",
        "XMOR_DC_OFFRegToVal",
        "FTDValToReg",
        "FTDRegToVal",
        "PolyFitInterp",
        "PolyFitInterpInv",
        "PolyFitInterpInvHighRes",
        "IMonRegToVal",
        "ScopeRecLenValToReg",
        "ScopeRecLenRegToVal",
        "SetNewShift",
        "SetGainReg",
        "SetNewTrapNorm",
        "RecalcTriangParams",
        "UpdateFTD",
        "XMOR_UpdateDCO",
        "SetZeroCoarseDCO",
        "WaitSPIFreeDCOffset",
        "UpdateBuffOrg",
        "ScopeUpdateBuffOrg",
        "UpdateNumAggrBLT",
        "XMOR_UpdateNumAggrBLT",
        "ReallocBuffers",
        "RestorePLLUnlock",
        "UpdateSCAParams",
        "UpdateADCInhibitLen",
        "UpdateImonOffset",
        "HVRangeChanged",
        "HVRangeParameterCheckSoftware",
        "ScopeRecLenRangeLimitsDefinition",
        "HVRangeLimitsDefinition",
        "HVPolarityValuesDefinition",
        "ActiveHVRangeValuesDefinition",
        "Vexil_DefineVirtualProbeParameterValues",
        "Vexil_DefineWaveDownsamplingParameterValues",
        "Vexil_RecordLengthLimitsDefinition",
        "Vexil_SetChannelsTriggerMask",
        "Vexil_SetChannelsTriggerMaskHL",
        "Vexil_SetCoincMode",
        "Vexil_SetRecordLengthParameter",
        "Vexil_SetTriggerGeneric",
        "Vexil_SetVirtualProbeParameter",
        "Vexil_SetWaveDownsamplingParameter",
        "Vexil_SetWaveformsParameter",
        "Vexil_UpdateRecordLengthParameter",
    };
    for (const char* name : names)
        EXPECT_NE(c_xml_getfunctionpointerfromcodename(NULL, name), nullptr) << name;
    /* Internal helpers are not part of the binding. */
    EXPECT_EQ(c_xml_getfunctionpointerfromcodename(NULL, "PolyFitInverse"), nullptr);
}

TEST(TimeConverters, NanosecondsAndSamples) {
    Record record;
    Loose loose;
    c_ParamRef_t ref = {record.get(), loose.param};
    struct Case {
        const char *toReg, *toVal;
        double nanoseconds;
        uint32_t field;
        double back;
    } cases[] = {
        {"NanoToSample", "SampleToNano", 100, 25, 100},
        {"NanoToSample2", "SampleToNano2", 100, 12, 96},
        {"NanoToSample4", "SampleToNano4", 100, 6, 96}, /* 25 samples in whole units of 4 */
        {"NanoToSample8", "SampleToNano8", 100, 3, 96},
        {"NanoToSample12", "SampleToNano12", 100, 2, 96},
        {"NanoToSample16", "SampleToNano16", 100, 1, 64},
        {"NanoToSample_offset3", "SampleToNano_offset3", 12, 0, 12}, /* exactly 3 periods */
        {"NanoToSample_offset3", "SampleToNano_offset3", 40, 7, 40},
        {"NanoToSample", "SampleToNano", -4, 0xFFFFFFFFu, 4294967295.0 * 4}, /* low 32 bits of -1 */
    };
    for (const Case& c : cases) {
        EXPECT_EQ(valToReg(c.toReg)(&ref, c.nanoseconds), c.field) << c.toReg << " " << c.nanoseconds;
        EXPECT_DOUBLE_EQ(regToVal(c.toVal)(&ref, c.field), c.back) << c.toVal << " " << c.field;
    }
    EXPECT_NEAR(regToVal("ReliabToPercent")(&ref, 7), 100.0, 1e-9);
}

TEST(TimeConverters, UnusablePeriodOrValueGivesZero) {
    Record record;
    Loose loose;
    c_ParamRef_t ref = {record.get(), loose.param};
    for (const char* name : {"NanoToSample4", "NanoToSample_offset3", "ScopeRecLenValToReg"}) {
        record->descriptor.SamplePeriod = 0.0;
        EXPECT_EQ(valToReg(name)(&ref, 100), 0u) << name;
        record->descriptor.SamplePeriod = 4.0;
        EXPECT_EQ(valToReg(name)(&ref, NAN), 0u) << name;
        EXPECT_EQ(valToReg(name)(&ref, INFINITY), 0xFFFFFFFFu) << name; /* held at the 64-bit end */
    }
    EXPECT_EQ(valToReg("NanoToSample")(NULL, 100), 0u);
}

TEST(ScopeRecordLength, RegisterUnitsByFamily) {
    Record record;
    Loose loose;
    c_ParamRef_t ref = {record.get(), loose.param};
    struct Case {
        uint32_t family;
        double nanoseconds;
        uint32_t field;
    } cases[] = {{4, 600, 100}, /* 1.5 samples a unit */ {11, 600, 15}, {0, 600, 75}, {5, 560, 20}, {9, 600, 150}};
    for (const Case& c : cases) {
        record->descriptor.FamilyCode = c.family;
        EXPECT_EQ(valToReg("ScopeRecLenValToReg")(&ref, c.nanoseconds), c.field) << c.family;
        EXPECT_DOUBLE_EQ(regToVal("ScopeRecLenRegToVal")(&ref, c.field), c.nanoseconds) << c.family;
    }
}

namespace {

/* Channel 0 with a rise time of 100 samples and a decay of 1000 (N = 100000). */
struct FilterRecord : Record {
    FilterRecord() : Record(2) {
        channel(0, DPPL_PARAM_CH_TRAP_TRISE, 400);
        channel(0, DPPL_PARAM_CH_TDECAY, 4000);
        enf = channel(0, DPPL_PARAM_CH_ENERGY_CGAIN, 1.0);
    }
    c_Parameter_t* enf;
};

} // namespace

TEST(EnergyFactor, FactorToShift) {
    FilterRecord record;
    c_ParamRef_t ref = {record.get(), record.enf};
    auto toShift = valToReg("EnfToShf");
    EXPECT_EQ(toShift(&ref, 1.0), 16u); /* 2^16 <= 100000 < 2^17 */
    EXPECT_EQ(toShift(&ref, 0.5), 17u);
    EXPECT_EQ(toShift(&ref, 100000.0), 0u);
    EXPECT_EQ(toShift(&ref, 100001.0), 0xFFFFFFFFu); /* integer part above N */
    EXPECT_EQ(toShift(&ref, 1e-300), 1013u);         /* tiny factors still end */
    /* Factors that can never be doubled past N end at once with 0. */
    for (double enf : {0.0, -2.0, (double)NAN, (double)INFINITY})
        EXPECT_EQ(toShift(&ref, enf), 0u) << enf;

    /* The channel rule: an address naming a channel beyond the board uses 0. */
    record.enf->regaddr = 0x1F00;
    EXPECT_EQ(toShift(&ref, 1.0), 16u);
}

TEST(EnergyFactor, MissingFilterParametersGiveZero) {
    Record record(1);
    c_Parameter_t* enf = record.channel(0, DPPL_PARAM_CH_ENERGY_CGAIN, 1.0);
    c_ParamRef_t ref = {record.get(), enf};
    EXPECT_EQ(valToReg("EnfToShf")(&ref, 1.0), 0u);
    record.channel(0, DPPL_PARAM_CH_TRAP_TRISE, 400);
    EXPECT_EQ(valToReg("EnfToShf")(&ref, 1.0), 0u);
}

TEST(EnergyFactor, ShiftBackToFactorKeepsWhatTheUserSet) {
    FilterRecord record;
    record.enf->value = 0.5;
    record.enf->valtoreg = valToReg("EnfToShf");
    c_ParamRef_t ref = {record.get(), record.enf};
    auto toFactor = regToVal("ShfToEnf");
    EXPECT_EQ(toFactor(&ref, 17), 0.5);
    EXPECT_EQ(toFactor(&ref, 3), 1.0); /* a register changed by other means */
    record.enf->valtoreg = NULL;
    EXPECT_EQ(toFactor(&ref, 17), 1.0);
}

namespace {

/* Channel 0's DC offset with its polarity and calibration. */
struct DcoRecord : Record {
    DcoRecord(int32_t dppCode, double polarity, double p0 = 1.0, double p1 = 0.0) : Record(2) {
        get()->descriptor.DPPCode = dppCode;
        channel(0, DPPL_PARAM_CH_POLARITY, polarity);
        channel(0, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P0, p0);
        channel(0, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P1, p1);
        offset = channel(0, DPPL_PARAM_CH_DCOFFSET, 0);
        offset->mask = 0xFFFF;
    }
    c_Parameter_t* offset;
};

} // namespace

TEST(DcOffset, PercentToDacCodeWithPolarity) {
    struct Case {
        int32_t dppCode;
        double polarity, percent;
        uint32_t code;
    } cases[] = {
        {139, 0, 0, 65535},   {139, 0, 100, 0},     {139, 0, 50, 32767}, /* 32767.5 truncated */
        {139, 1, 0, 0},       {139, 1, 100, 65535}, {139, 1, 50, 32767},  {142, 0, 0, 0},
        {142, 0, 100, 65535}, /* mirrored at polarity 0 on the register-level device */
        {142, 1, 0, 65535},   {142, 1, 100, 0},     {139, 0, -10, 65535}, {139, 0, 110, 0}, /* clamped to the field */
    };
    for (const Case& c : cases) {
        DcoRecord record(c.dppCode, c.polarity);
        c_ParamRef_t ref = {record.get(), record.offset};
        EXPECT_EQ(valToReg("DC_OFFValToReg")(&ref, c.percent), c.code)
            << c.dppCode << " polarity " << c.polarity << " " << c.percent << "%";
    }
}

TEST(DcOffset, DacCodeBackToPercentInvertsTheConversion) {
    for (int32_t dppCode : {139, 142}) {
        for (double polarity : {0.0, 1.0}) {
            for (double percent : {20.0, 37.5, 80.0}) { /* inside the calibrated span */
                DcoRecord record(dppCode, polarity, 0.8, 5.0);
                c_ParamRef_t ref = {record.get(), record.offset};
                uint32_t code = valToReg("DC_OFFValToReg")(&ref, percent);
                EXPECT_NEAR(regToVal("DC_OFFRegToVal")(&ref, code), percent, 0.01)
                    << dppCode << " polarity " << polarity << " " << percent;
            }
        }
    }
    DcoRecord record(139, 0);
    record.offset->incr = 0.5;
    c_ParamRef_t ref = {record.get(), record.offset};
    EXPECT_EQ(regToVal("DC_OFFRegToVal")(&ref, 32767), 50.0); /* rounded to the increment */
}

TEST(DcOffset, FieldMaskGroupsAndUnusableCalibration) {
    {
        DcoRecord record(139, 0);
        record.offset->mask = 0x3FFF << 2;
        c_ParamRef_t ref = {record.get(), record.offset};
        EXPECT_EQ(valToReg("DC_OFFValToReg")(&ref, 0), 0x3FFFu);
    }
    {
        Record record(2, 1); /* a group parameter: its code lies in the group collection */
        record.channel(0, DPPL_PARAM_CH_ENABLED, 1);
        record.group(0, DPPL_PARAM_GR_POLARITY, 0);
        record.group(0, DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P0, 2);
        record.group(0, DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P1, 10);
        c_Parameter_t* offset = record.group(0, DPPL_PARAM_GR_DCOFFSET, 0);
        offset->mask = 0xFFFF;
        c_ParamRef_t ref = {record.get(), offset};
        EXPECT_EQ(valToReg("DC_OFFValToReg")(&ref, 50), 52428u); /* (100 - 40 / 2) * 655.35 */
    }
    for (double gain : {0.0, (double)NAN}) { /* nothing to divide by */
        DcoRecord record(139, 0, gain);
        c_ParamRef_t ref = {record.get(), record.offset};
        EXPECT_EQ(valToReg("DC_OFFValToReg")(&ref, 50), 0u);
        EXPECT_EQ(valToReg("XMOR_DC_OFFValToReg")(&ref, 50), 0u);
    }
    {
        Record record(1); /* no polarity, no calibration */
        c_Parameter_t* offset = record.channel(0, DPPL_PARAM_CH_DCOFFSET, 0);
        c_ParamRef_t ref = {record.get(), offset};
        EXPECT_EQ(valToReg("DC_OFFValToReg")(&ref, 50), 0u);
        EXPECT_EQ(regToVal("DC_OFFRegToVal")(&ref, 100), 0.0);
        EXPECT_EQ(valToReg("XMOR_DC_OFFValToReg")(&ref, 50), 0u);
    }
}

TEST(DcOffset, RegisterLevelDeviceHasNoPolarity) {
    DcoRecord record(142, 1);
    record.offset->incr = 0.1;
    c_ParamRef_t ref = {record.get(), record.offset};
    EXPECT_EQ(valToReg("XMOR_DC_OFFValToReg")(&ref, 50), 32767u);
    EXPECT_EQ(valToReg("XMOR_DC_OFFValToReg")(&ref, 120), 65535u);
    EXPECT_DOUBLE_EQ(regToVal("XMOR_DC_OFFRegToVal")(&ref, 32767), 50.0);
}

TEST(FlatTopDelay, PercentOfTheFlatTop) {
    Record record(1);
    c_Parameter_t* flatTop = record.channel(0, DPPL_PARAM_CH_TRAP_TFLAT, 1000);
    c_Parameter_t* delay = record.channel(0, DPPL_PARAM_CH_TRAP_FTD, 50);
    c_ParamRef_t ref = {record.get(), delay};
    flatTop->incr = 16;
    flatTop->valtoreg = valToReg("NanoToSample4");
    flatTop->regtoval = regToVal("SampleToNano4");
    EXPECT_EQ(valToReg("FTDValToReg")(&ref, 50), 31u); /* 500 ns rounded to 496, in units of 4 samples */
    EXPECT_DOUBLE_EQ(regToVal("FTDRegToVal")(&ref, 31), 49.6);

    flatTop->valtoreg = NULL;
    flatTop->regtoval = NULL;
    EXPECT_EQ(valToReg("FTDValToReg")(&ref, 50.07), 500u); /* truncated, not rounded to the step */
    EXPECT_DOUBLE_EQ(regToVal("FTDRegToVal")(&ref, 250), 25.0);

    flatTop->value = 0; /* a flat top of 0 gives no percentage */
    EXPECT_EQ(regToVal("FTDRegToVal")(&ref, 250), 0.0);
}

TEST(FlatTopDelay, MissingFlatTopGivesZero) {
    Record record(1);
    c_Parameter_t* delay = record.channel(0, DPPL_PARAM_CH_TRAP_FTD, 50);
    c_ParamRef_t ref = {record.get(), delay};
    EXPECT_EQ(valToReg("FTDValToReg")(&ref, 50), 0u);
    EXPECT_EQ(regToVal("FTDRegToVal")(&ref, 10), 0.0);
}

namespace {

c_HVConversionBlock_t polynomial(int32_t degree, double c0, double c1, double c2) {
    c_HVConversionBlock_t block = {};
    block.degree = degree;
    block.coeff[0] = c0;
    block.coeff[1] = c1;
    block.coeff[2] = c2;
    return block;
}

} // namespace

TEST(HighVoltage, PolynomialAndItsInverse) {
    Record record;
    Loose loose;
    c_ParamRef_t ref = {record.get(), loose.param};
    struct Case {
        c_HVConversionBlock_t block;
        double value;
        uint32_t code;
    } forward[] = {
        {polynomial(0, 7, 2, 0), 5, 7},    {polynomial(1, 10, 2, 0), 5.2, 20},             /* 20.4 rounded */
        {polynomial(2, 1, 2, 0.5), 4, 17}, {polynomial(1, -100, 1, 0), 10, 0},             /* negative: 0 */
        {polynomial(3, 1, 1, 1), 10, 0},                                                   /* no such degree */
        {polynomial(1, 0, 1, 0), NAN, 0},  {polynomial(1, 0, 1e12, 0), 1e12, 0xFFFFFFFFu}, /* held at the field's end */
    };
    for (Case& c : forward) {
        loose.param->auxiliary = &c.block;
        EXPECT_EQ(valToReg("PolyFitInterp")(&ref, c.value), c.code) << c.value;
    }
    loose.param->auxiliary = NULL;
    EXPECT_EQ(valToReg("PolyFitInterp")(&ref, 10), 0u);
    EXPECT_EQ(regToVal("PolyFitInterpInv")(&ref, 10), 0.0);

    struct Inverse {
        c_HVConversionBlock_t block;
        uint32_t code;
        double value;
    } inverse[] = {
        {polynomial(1, 10, 2, 0), 20, 5},
        {polynomial(1, 10, 2, 0), 4, 0}, /* negative: 0 */
        {polynomial(2, 1, 2, 0.5), 17, 4},
        {polynomial(2, 10, 0, 1), 5, 0},  /* negative discriminant */
        {polynomial(2, 10, 2, 0), 20, 5}, /* no square term: the straight line */
        /* a fitted straight calibration: a square term of rounding size */
        {polynomial(2, 0, 10, 6.938893903907228e-18), 1000, 100}, /* not 128 */
        {polynomial(2, 100, -1, 0.01), 84, 80},                   /* falling slope: the root (sqrt(D) - c1) / 2c2 */
        {polynomial(1, 10, 0, 0), 20, 0},                         /* no slope: nothing to divide by */
        {polynomial(0, 10, 0, 0), 20, 0},
    };
    for (Inverse& c : inverse) {
        loose.param->auxiliary = &c.block;
        EXPECT_DOUBLE_EQ(regToVal("PolyFitInterpInv")(&ref, c.code), c.value) << c.code;
        EXPECT_DOUBLE_EQ(regToVal("PolyFitInterpInvHighRes")(&ref, c.code * 256), c.value) << c.code;
    }
}

TEST(HighVoltage, CurrentMonitorIsZeroWhileTheChannelIsOff) {
    Record record;
    c_Parameter_t* status = record.hvChannel(0, DPPL_PARAM_HVCH_STATUS, 0);
    record.hvRange(0, 0, DPPL_PARAM_HVCH_IMON_OFFSET, 9);
    record.hvRange(0, 1, DPPL_PARAM_HVCH_IMON_OFFSET, 2);
    c_Parameter_t* monitor = record.hvRange(0, 1, DPPL_PARAM_HVCH_IMON, 0);
    c_HVConversionBlock_t block = polynomial(1, 0, 1, 0);
    monitor->auxiliary = &block;
    monitor->min = 0;
    monitor->max = 100;
    c_ParamRef_t ref = {record.get(), monitor};
    auto current = regToVal("IMonRegToVal");
    EXPECT_EQ(current(&ref, 50 * 256), 0.0);
    status->value = 1;
    EXPECT_DOUBLE_EQ(current(&ref, 50 * 256), 48.0); /* less the offset of its own range */
    EXPECT_DOUBLE_EQ(current(&ref, 500 * 256), 100.0);
    EXPECT_DOUBLE_EQ(current(&ref, 1 * 256), 0.0);
    status->value = 2; /* bit 0 clear: off */
    EXPECT_EQ(current(&ref, 50 * 256), 0.0);
}
