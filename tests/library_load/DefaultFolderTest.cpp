/*
 * The library loaded without "$(DRAVIKDIR)": it says so and falls back to its
 * built-in folder, the checkout's definitions.
 */
#include "DravikLoader.h"

using namespace dravik_test;

namespace {

TEST(DefaultFolder, UnsetVariableFallsBackToTheBuiltInFolder) {
    std::string logFolder = DravikLoader::makeTempFolder();
    unsetenv("DRAVIKDIR");
    setenv("ZARN_LOG_DIR", logFolder.c_str(), 1);
    setenv("ZARN_LOG_LEVEL", "8", 1);
    DravikLoader library;
    ASSERT_TRUE(library.open());

    EXPECT_STREQ(library.function<decltype(&c_getBasePath)>("c_getBasePath")(), MORVANE_DEFINITIONS_DIR);
    EXPECT_NE(library.function<decltype(&c_getLibraryDefinitions)>("c_getLibraryDefinitions")(), nullptr);
    std::string message = std::string("Can't get value of env. variable '$(DRAVIKDIR)'. Using default value '") +
                          MORVANE_DEFINITIONS_DIR + "'. System may be not correctly initialized.";
    EXPECT_EQ(countLinesWith(readFile(logFolder + "/DravikLog.txt"), message), 1);
    for (const CodeVariable& code : library.codeVariables())
        EXPECT_GE(*code.variable, 0) << code.codeName;
    std::filesystem::remove_all(logFolder);
}

} // namespace
