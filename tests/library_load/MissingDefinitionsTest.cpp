/*
 * The library loaded from a folder without "Definitions.xml": the load still
 * succeeds, every code is -1, every lookup fails and the reasons are logged.
 */
#include <string.h>

#include "DravikLoader.h"

using namespace dravik_test;

namespace {

class MissingDefinitions : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        definitionsFolder = DravikLoader::makeTempFolder();
        logFolder = DravikLoader::makeTempFolder();
        setenv("DRAVIKDIR", definitionsFolder.c_str(), 1);
        setenv("ZARN_LOG_DIR", logFolder.c_str(), 1);
        setenv("ZARN_LOG_LEVEL", "8", 1);
        loaded = library.open();
    }
    static void TearDownTestSuite() {
        std::filesystem::remove_all(definitionsFolder);
        std::filesystem::remove_all(logFolder);
    }
    void SetUp() override { ASSERT_TRUE(loaded); }

    static std::string log(const char* file) { return readFile(logFolder + "/" + file); }

    static inline DravikLoader library;
    static inline bool loaded = false;
    static inline std::string definitionsFolder;
    static inline std::string logFolder;
};

TEST_F(MissingDefinitions, LoadSucceedsWithNoDocumentAndEveryCodeInvalid) {
    EXPECT_STREQ(library.function<decltype(&c_getBasePath)>("c_getBasePath")(), definitionsFolder.c_str());
    EXPECT_EQ(library.function<decltype(&c_getLibraryDefinitions)>("c_getLibraryDefinitions")(), nullptr);

    std::string typesLog = log("DravikLog.txt");
    EXPECT_EQ(countLinesWith(typesLog, "Invalid definitions document. System not correctly initialized."), 1);

    std::vector<CodeVariable> codes = library.codeVariables();
    ASSERT_EQ(codes.size(), 230u);
    for (const CodeVariable& code : codes) {
        ASSERT_NE(code.variable, nullptr) << code.codeName << " is not exported";
        EXPECT_EQ(*code.variable, -1) << code.codeName;
        std::string message = std::string("can't parse value of parameter code '") + code.codeName +
                              "'. This code will have INVALID_PARAMETER value.";
        EXPECT_LE(countLinesWith(typesLog, message), 1) << code.codeName;
    }
    // One line of the code names every code: its first 32 are written, the rest counted.
    EXPECT_EQ(countLinesWith(typesLog, "This code will have INVALID_PARAMETER value."), 32);
    EXPECT_LE(countLinesWith(log("ZarnDPPLayerLog.txt"),
                             "Can't find parameter 'DPPL_PARAM_CH_COINC_TRGOUT' in definitions document."),
              1);
    EXPECT_GE(countLinesWith(log("ZarnDPPLayerLog.txt"), "in definitions document."), 1);
}

TEST_F(MissingDefinitions, EveryLookupFails) {
    auto accessType = library.function<decltype(&c_getAccessTypeCode)>("c_getAccessTypeCode");
    auto uom = library.function<decltype(&c_getUomCode)>("c_getUomCode");
    auto codeOf = library.function<decltype(&c_getParamCodeFromCodeName)>("c_getParamCodeFromCodeName");

    EXPECT_EQ(accessType("READWRITE"), 0xFF);
    EXPECT_EQ(uom("UOM_ADIM"), 0xFF);
    int32_t code = 77;
    EXPECT_EQ(codeOf("DPPL_PARAM_RECLEN", &code), -1);
    EXPECT_EQ(code, 77);
}

} // namespace
