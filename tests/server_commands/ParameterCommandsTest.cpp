// Parameter commands over TCP against the server process on the simulated
// board (8-channel pulse-height board): set and get by number and by value
// code name, the parameter description, refused requests, a complex
// parameter added to the shipped definitions, and the channel signals.
#include <gtest/gtest.h>

#include <fstream>

#include "CommandTestSupport.h"

using namespace cmdtest;

namespace {

// Server codes of the shipped definitions.
enum : int32_t { kRecordLength = 0, kPolarity = 1001, kThreshold = 1009, kPolarityChoice = 1099 };
// The threshold register of channel n: 0x106C | n << 8, bits 0-13.
uint32_t thresholdRegister(int channel) { return 0x106C | (channel << 8); }

Request setValue(std::initializer_list<int32_t> path, double value) { return parameterRequest(0x1, path).f64(value); }
Request setCodename(std::initializer_list<int32_t> path, const std::string& codename) {
    return parameterRequest(0x2, path).text(codename);
}

class ParameterCommands : public ServerSuite {
protected:
    static void SetUpTestSuite() { startServer(); }

    struct Value {
        double value = -1;
        std::string codename, description;
    };
    static Value get(std::initializer_list<int32_t> path) {
        Bytes reply = request(GET_PARAMETER, parameterRequest(0x7, path));
        Value v;
        Reader r(reply);
        EXPECT_EQ(r.status(), 0);
        if (r.status() != 0)
            return v;
        v.value = r.f64();
        v.codename = r.text();
        v.description = r.text();
        EXPECT_EQ(r.left(), 0u);
        return v;
    }
    static uint32_t readRegister(uint32_t address) {
        Reader r(request(READ_REGISTER, maskRequest(0x1, 0x2).u32(address)));
        EXPECT_EQ(r.status(), 0);
        return r.status() == 0 ? r.u32() : 0;
    }
};

TEST_F(ParameterCommands, SetThenGetReturnsTheValueTheBoardTook) {
    EXPECT_EQ(status(request(SET_PARAMETER, setValue({3, kChannel, kThreshold, kCode}, 250))), 0);
    Value threshold = get({3, kChannel, kThreshold, kCode});
    EXPECT_EQ(threshold.value, 250);
    EXPECT_EQ(threshold.codename, "Range parameter.");
    EXPECT_EQ(threshold.description, "250.000");
    EXPECT_EQ(readRegister(thresholdRegister(3)) & 0x3FFF, 250u);

    // Beyond the range: the reply is the value read back, not the one asked.
    EXPECT_EQ(status(request(SET_PARAMETER, setValue({3, kChannel, kThreshold, kCode}, 20000))), 0);
    EXPECT_EQ(get({3, kChannel, kThreshold, kCode}).value, 16383);

    // A list by number, by code name, and by both (the code name wins).
    EXPECT_EQ(status(request(SET_PARAMETER, setValue({2, kChannel, kPolarity, kCode}, 0))), 0);
    Value polarity = get({2, kChannel, kPolarity, kCode});
    EXPECT_EQ(polarity.value, 0);
    EXPECT_EQ(polarity.codename, "POLARITY_POSITIVE");
    EXPECT_EQ(status(request(SET_PARAMETER, setCodename({2, kChannel, kPolarity, kCode}, "POLARITY_NEGATIVE"))), 0);
    polarity = get({2, kChannel, kPolarity, kCode});
    EXPECT_EQ(polarity.value, 1);
    EXPECT_EQ(polarity.codename, "POLARITY_NEGATIVE");
    EXPECT_EQ(polarity.description, "Negative");
    EXPECT_EQ(status(request(SET_PARAMETER, setValue({2, kChannel, kPolarity, kCode}, 0))), 0);
    Request both = parameterRequest(0x3, {2, kChannel, kPolarity, kCode});
    both.f64(0).text("POLARITY_NEGATIVE");
    EXPECT_EQ(status(request(SET_PARAMETER, both)), 0);
    EXPECT_EQ(get({2, kChannel, kPolarity, kCode}).value, 1);
    EXPECT_EQ(get({5, kChannel, kPolarity, kCode}).value, 0); // other channels keep theirs
}

TEST_F(ParameterCommands, RefusedRequestsAnswerTheStatusAlone) {
    EXPECT_EQ(status(request(SET_PARAMETER, setValue({4, kChannel, kThreshold, kCode}, 300))), 0);

    Request longPath; // one element more than an index path holds
    longPath.u64(0x1).u32(13);
    for (int i = 0; i < 13; i++)
        longPath.i32(i % 2 == 0 ? 4 : kChannel);
    Request shortPath; // the count promises more than the payload holds
    shortPath.u64(0x1).u32(4).i32(4).i32(kChannel);
    Request unterminated = parameterRequest(0x2, {4, kChannel, kPolarity, kCode});
    unterminated.text(std::string(kText, 'A')); // the whole field, no NUL
    struct Case {
        const char* what;
        uint16_t command;
        Bytes payload;
        int16_t status;
    };
    const Case cases[] = {
        {"code name of a range", SET_PARAMETER, setCodename({4, kChannel, kThreshold, kCode}, "POLARITY_NEGATIVE"), -6},
        {"unknown code name", SET_PARAMETER, setCodename({4, kChannel, kPolarity, kCode}, "POLARITY_SIDEWAYS"), -6},
        {"unterminated code name", SET_PARAMETER, unterminated, -6},
        {"value missing", SET_PARAMETER, parameterRequest(0x1, {4, kChannel, kThreshold, kCode}), -6},
        {"path too long", GET_PARAMETER, longPath, -6},
        {"path cut short", GET_PARAMETER, shortPath, -6},
        {"no channel", GET_PARAMETER, parameterRequest(0x1, {kThreshold, kCode}), -10},
        {"channel count", GET_PARAMETER, parameterRequest(0x1, {8, kChannel, kThreshold, kCode}), -10},
        {"board pair", GET_PARAMETER, parameterRequest(0x1, {0, kBoard, kRecordLength, kCode}), -10},
        {"code of no category", PARAMETER_INFO, parameterRequest(0x1, {99999, kCode}), -10},
        {"unknown set bit", SET_PARAMETER, parameterRequest(0x5, {4, kChannel, kThreshold, kCode}).f64(0), -33},
        {"no value", SET_PARAMETER, parameterRequest(0, {4, kChannel, kThreshold, kCode}), -33},
        {"unknown get bit", GET_PARAMETER, parameterRequest(0x9, {4, kChannel, kThreshold, kCode}), -33},
        {"unknown info bit", PARAMETER_INFO, parameterRequest(0x4001, {4, kChannel, kThreshold, kCode}), -33},
    };
    for (const Case& c : cases) {
        Bytes reply = request(c.command, c.payload);
        EXPECT_EQ(status(reply), c.status) << c.what;
        EXPECT_EQ(reply.size(), 2u) << c.what;
    }
    // The refused set with an unknown bit (value 0) changed nothing.
    EXPECT_EQ(get({4, kChannel, kThreshold, kCode}).value, 300);
    EXPECT_NE(log("SRVParametersLog.txt").find("Unsupported dataMask 0x5 (0x4 unknown)"), std::string::npos);
    EXPECT_NE(log("SRV_CommonLog.txt").find("Invalid channel '-1'. Can't find parameter '1009'."), std::string::npos);
}

TEST_F(ParameterCommands, InformationOfAListAndOfARange) {
    Reader list(request(PARAMETER_INFO, parameterRequest(0x3FFF, {0, kChannel, kPolarity, kCode})));
    ASSERT_EQ(list.status(), 0);
    EXPECT_EQ(list.text(), "Input polarity");
    EXPECT_EQ(list.text(), "PARAM_CH_POLARITY");
    EXPECT_EQ(list.u32() & 0x18u, 0x18u); // readable and writable
    list.text();                          // unit symbol
    list.text();                          // unit base
    list.i32();                           // unit power
    EXPECT_EQ(list.i32(), 1);
    EXPECT_EQ(list.f64(), 0);
    EXPECT_EQ(list.f64(), 0);
    EXPECT_EQ(list.f64(), 0);
    ASSERT_EQ(list.u32(), 2u);
    EXPECT_EQ(list.f64(), 0);
    EXPECT_EQ(list.f64(), 1);
    ASSERT_EQ(list.u32(), 2u);
    EXPECT_EQ(list.text(), "POLARITY_POSITIVE");
    EXPECT_EQ(list.text(), "POLARITY_NEGATIVE");
    ASSERT_EQ(list.u32(), 2u);
    EXPECT_EQ(list.text(), "Positive");
    EXPECT_EQ(list.text(), "Negative");
    EXPECT_EQ(list.left(), 0u);

    // Record length: a range in nanoseconds.
    Reader range(request(PARAMETER_INFO, parameterRequest(0x3FF0, {kRecordLength, kCode})));
    ASSERT_EQ(range.status(), 0);
    EXPECT_EQ(range.text(), "UOM_SECONDS");
    EXPECT_EQ(range.i32(), -9);
    EXPECT_EQ(range.i32(), 0);
    EXPECT_EQ(range.f64(), 80);
    EXPECT_EQ(range.f64(), 1310640);
    EXPECT_EQ(range.f64(), 80);
    EXPECT_EQ(range.u32(), 0u); // count; the values field is then empty
    EXPECT_EQ(range.u32(), 0u);
    EXPECT_EQ(range.u32(), 0u);
    EXPECT_EQ(range.left(), 0u);

    // The values without their count in front.
    Reader values(request(PARAMETER_INFO, parameterRequest(0x800, {0, kChannel, kPolarity, kCode})));
    ASSERT_EQ(values.status(), 0);
    EXPECT_EQ(values.f64(), 0);
    EXPECT_EQ(values.f64(), 1);
    EXPECT_EQ(values.left(), 0u);
}

TEST_F(ParameterCommands, ChannelSignalsReachOnlyChannelsOfTheBoard) {
    for (uint16_t command : {START_AUTOSET, STOP_AUTOSET, SAMPLE_ADVANCE}) {
        for (int32_t channel : {8, -1, 1000}) {
            Bytes reply = request(command, maskRequest(0, 0).i32(channel));
            EXPECT_EQ(status(reply), -33) << command << " channel " << channel;
        }
    }
    EXPECT_NE(log("SRVParametersLog.txt").find("Channel '8' not found."), std::string::npos);
    // This board is not the register-level device: the signals do nothing.
    for (uint16_t command : {START_AUTOSET, STOP_AUTOSET, SAMPLE_ADVANCE})
        EXPECT_EQ(status(request(command, maskRequest(0, 0).i32(7))), 0) << command;
}

// The shipped definitions with one complex parameter more on each channel:
// a choice of input polarity written into the library's polarity parameter.
class ComplexParameter : public ServerSuite {
protected:
    static void SetUpTestSuite() {
        folder_ = new srvtest::TempDir();
        addToChannels(
            "ServerDefinitions.xml", "    </SRVChannelParameters>",
            R"(      <PARAM_CH_POLARITY_CHOICE code="1099" name="Polarity choice" utilparam="DPPL_PARAM_INVALID"
          codename="PARAM_CH_POLARITY_CHOICE" category="POLARITIES" defval="POLARITY_NEGATIVE">
        <Value codename="POLARITY_POSITIVE"><utilparam codename="DPPL_PARAM_CH_POLARITY" value="POLARITY_POSITIVE"/></Value>
        <Value codename="POLARITY_NEGATIVE"><utilparam codename="DPPL_PARAM_CH_POLARITY" value="POLARITY_NEGATIVE"/></Value>
      </PARAM_CH_POLARITY_CHOICE>
)");
        addToChannels("ServerParams.xml", "  </SRVChannelParameters>",
                      "    <Parameter codename=\"PARAM_CH_POLARITY_CHOICE\"/>\n");
        startServer({{"MORVANESERVERDIR", folder_->path().string()}});
    }
    static void TearDownTestSuite() {
        ServerSuite::TearDownTestSuite();
        delete folder_;
        folder_ = nullptr;
    }
    // Copies a shipped file into the folder with text inserted before `anchor`.
    static void addToChannels(const std::string& file, const std::string& anchor, const std::string& text) {
        std::string content = srvtest::readFile(std::string(MORVANE_DEFINITIONS_DIR) + "/" + file);
        size_t at = content.find(anchor);
        ASSERT_NE(at, std::string::npos) << file;
        content.insert(at, text);
        std::ofstream(folder_->path() / file) << content;
    }
    static inline srvtest::TempDir* folder_ = nullptr;
};

TEST_F(ComplexParameter, ReportsNotDefinedCodeNamesAndTakesOnlyThatName) {
    // The default (negative) was written into the board at start-up.
    Reader polarity(request(GET_PARAMETER, parameterRequest(0x1, {1, kChannel, kPolarity, kCode})));
    ASSERT_EQ(polarity.status(), 0);
    EXPECT_EQ(polarity.f64(), 1);
    Reader choice(request(GET_PARAMETER, parameterRequest(0x7, {1, kChannel, kPolarityChoice, kCode})));
    ASSERT_EQ(choice.status(), 0);
    EXPECT_EQ(choice.f64(), 1);
    EXPECT_EQ(choice.text(), "NOT DEFINED");
    EXPECT_EQ(choice.text(), "Not defined.");

    // "NOT DEFINED" selects the first value; the value's own name is refused.
    Request byName = parameterRequest(0x2, {1, kChannel, kPolarityChoice, kCode});
    EXPECT_EQ(status(request(SET_PARAMETER, byName.text("NOT DEFINED"))), 0);
    Reader written(request(GET_PARAMETER, parameterRequest(0x1, {1, kChannel, kPolarity, kCode})));
    EXPECT_EQ(written.f64(), 0);
    Request ownName = parameterRequest(0x2, {1, kChannel, kPolarityChoice, kCode});
    EXPECT_EQ(status(request(SET_PARAMETER, ownName.text("POLARITY_NEGATIVE"))), -6);

    Reader info(request(PARAMETER_INFO, parameterRequest(0x107C, {1, kChannel, kPolarityChoice, kCode})));
    ASSERT_EQ(info.status(), 0);
    EXPECT_EQ(info.u32(), 0u);  // flags
    EXPECT_EQ(info.text(), ""); // unit symbol
    EXPECT_EQ(info.text(), ""); // unit base
    EXPECT_EQ(info.i32(), 0);   // unit power
    EXPECT_EQ(info.i32(), 1);   // kind
    ASSERT_EQ(info.u32(), 2u);
    EXPECT_EQ(info.text(), "NOT DEFINED");
    EXPECT_EQ(info.text(), "NOT DEFINED");
    EXPECT_EQ(info.left(), 0u);
}

} // namespace
