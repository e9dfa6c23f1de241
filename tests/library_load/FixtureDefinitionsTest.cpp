/*
 * The library loaded from tests/library_load/fixtures/definitions, whose codes
 * are written in every form the parsing rules distinguish; and board-prefixed
 * logging, read back from the log files.
 */
#include <string.h>

#include "DravikLoader.h"
#include "ZarnDPPLayer.h"

using namespace dravik_test;

namespace {

class FixtureDefinitions : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        logFolder = DravikLoader::makeTempFolder();
        setenv("DRAVIKDIR", MORVANE_TEST_FIXTURES "/definitions", 1);
        setenv("ZARN_LOG_DIR", logFolder.c_str(), 1);
        setenv("ZARN_LOG_LEVEL", "8", 1);
        loaded = library.open();
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(logFolder); }
    void SetUp() override { ASSERT_TRUE(loaded); }

    static std::string log(const char* file) { return readFile(logFolder + "/" + file); }

    static inline DravikLoader library;
    static inline bool loaded = false;
    static inline std::string logFolder;
};

TEST_F(FixtureDefinitions, CodeAttributeParsing) {
    auto codeOf = library.function<decltype(&c_getParamCodeFromCodeName)>("c_getParamCodeFromCodeName");
    struct Case {
        const char* codeName;
        int status;
        int32_t code; /* stored only on success */
    };
    const Case cases[] = {
        {"DPPL_PARAM_RECLEN", 0, 31},   /* "0x1F" */
        {"DPPL_PARAM_NABLT", 0, 12},    /* "12abc": trailing characters ignored */
        {"DPPL_PARAM_IOLEVEL", 0, 8},   /* "010": octal */
        {"DPPL_PARAM_CH_GATE", 0, 42},  /* leading blanks */
        {"SHARED_NAME", 0, 3},          /* in two categories: the first in document order */
        {"DPPL_PARAM_BUFFORG", -3, -5}, /* "abc" */
        {"DPPL_PARAM_STARTMODE", -2, -5},
        {"DPPL_PARAM_NOT_DEFINED", -1, -5},
    };
    for (const Case& c : cases) {
        int32_t code = -5;
        EXPECT_EQ(codeOf(c.codeName, &code), c.status) << c.codeName;
        EXPECT_EQ(code, c.code) << c.codeName;
    }
    std::string lookupLog = log("ZarnDPPLayerLog.txt");
    EXPECT_GE(countLinesWith(lookupLog, "Can't parse parameter code from string 'abc' for parameter "
                                        "'DPPL_PARAM_BUFFORG'"),
              1);
    EXPECT_GE(countLinesWith(lookupLog, "Can't find attribute 'code' for parameter 'DPPL_PARAM_STARTMODE' in "
                                        "definitions document."),
              1);
    // The look-ups of the load have written this line's first 32 in 10 s; the
    // rest, the code named here among them, are counted.
    EXPECT_GE(countLinesWith(lookupLog, "in definitions document."), 1);
}

TEST_F(FixtureDefinitions, ExportedCodesAtLoad) {
    struct Case {
        const char* codeName;
        int32_t code;
    };
    const Case cases[] = {
        {"DPPL_PARAM_RECLEN", 31},     {"DPPL_PARAM_NABLT", 12},   {"DPPL_PARAM_IOLEVEL", 8},
        {"DPPL_PARAM_CH_GATE", 42},    {"DPPL_PARAM_BUFFORG", -1}, {"DPPL_PARAM_STARTMODE", -1},
        {"DPPL_PARAM_ACQRUNNING", -1},
    };
    std::string typesLog = log("DravikLog.txt");
    for (const Case& c : cases) {
        const int32_t* variable = library.variable(c.codeName);
        ASSERT_NE(variable, nullptr) << c.codeName;
        EXPECT_EQ(*variable, c.code) << c.codeName;
        std::string message = std::string("can't parse value of parameter code '") + c.codeName +
                              "'. This code will have INVALID_PARAMETER value.";
        EXPECT_EQ(countLinesWith(typesLog, message), c.code == -1 ? 1 : 0) << c.codeName;
    }
}

TEST_F(FixtureDefinitions, AccessTypeAndUnitTables) {
    auto accessType = library.function<decltype(&c_getAccessTypeCode)>("c_getAccessTypeCode");
    auto uom = library.function<decltype(&c_getUomCode)>("c_getUomCode");
    EXPECT_EQ(accessType("READONLY"), 0);
    EXPECT_EQ(accessType("READWRITE"), 5); /* a later element of the same name replaces the first */
    EXPECT_EQ(accessType("WRITEONLY"), 2); /* 258: the low byte */
    EXPECT_EQ(accessType("NOCODE"), 0xFF);
    EXPECT_EQ(accessType("UOM_SECONDS"), 0xFF);
    EXPECT_EQ(uom("UOM_SECONDS"), 1);
    EXPECT_EQ(uom("UOM_NEGATIVE"), 0xFF);
    EXPECT_EQ(uom("READONLY"), 0xFF);
}

/* ------------------------------------------------- board-prefixed logging */

const c_LogModule_t kTestLog = {"ExtendedLogTest.txt", "ExtendedLogTest"};

class ExtendedLog : public FixtureDefinitions {
protected:
    void SetUp() override {
        FixtureDefinitions::SetUp();
        logMessage = library.function<decltype(&c_extendedLogMsg)>("c_extendedLogMsg");
        board = static_cast<c_Digitizer_t*>(calloc(1, sizeof(c_Digitizer_t)));
        ASSERT_NE(board, nullptr);
    }
    void TearDown() override { free(board); }

    decltype(&c_extendedLogMsg) logMessage = nullptr;
    c_Digitizer_t* board = nullptr;
};

TEST_F(ExtendedLog, WithoutBoardTheTextStandsAlone) {
    EXPECT_EQ(logMessage(&kTestLog, nullptr, 4, 10, "plain %d %s", 7, "100%"), 0);
    std::string text = log("ExtendedLogTest.txt");
    EXPECT_EQ(countLinesWith(text, "plain 7 100%"), 1);
    EXPECT_EQ(countLinesWith(text, "_0: plain"), 0);
}

TEST_F(ExtendedLog, ModelNameIsWrittenAsItStands) {
    strcpy(board->descriptor.ModelName, "A%sB%n%%");
    board->descriptor.SerialNumber = 4000000000u;
    EXPECT_EQ(logMessage(&kTestLog, board, 1, 20, "value %d", 5), 0);
    EXPECT_EQ(countLinesWith(log("ExtendedLogTest.txt"), "A%sB%n%%_4000000000: value 5"), 1);
}

TEST_F(ExtendedLog, UnterminatedModelNameIsCutAtItsField) {
    memcpy(board->descriptor.ModelName, "ABCDEFGHIJKL", 12);
    board->descriptor.Model = 0x504F4E4D; /* "MNOP": what an overrun would print */
    board->descriptor.SerialNumber = 77;
    EXPECT_EQ(logMessage(&kTestLog, board, 2, 30, "cut %s", "here"), 0);
    std::string text = log("ExtendedLogTest.txt");
    EXPECT_EQ(countLinesWith(text, "ABCDEFGHIJKL_77: cut here"), 1);
    EXPECT_EQ(countLinesWith(text, "ABCDEFGHIJKLM"), 0);
}

TEST_F(ExtendedLog, LongMessagesAreLoggedWhole) {
    strcpy(board->descriptor.ModelName, "M1");
    board->descriptor.SerialNumber = 9;
    std::string body(5000, 'x');
    EXPECT_EQ(logMessage(&kTestLog, board, 8, 40, "long %s end", body.c_str()), 0);
    EXPECT_EQ(countLinesWith(log("ExtendedLogTest.txt"), "M1_9: long " + body + " end"), 1);
}

TEST_F(ExtendedLog, MessageThatCannotBeFormedIsRefused) {
    EXPECT_EQ(logMessage(&kTestLog, board, 1, 50, nullptr), -6);
    EXPECT_EQ(logMessage(nullptr, board, 1, 50, "no module"), -6);
}

} // namespace
