// The lookup of plug-in functions by code name, against a stand-in plug-in.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <thread>
#include <vector>

#include "ZarnUtility.h"

namespace {

TEST(Plugin, FindsTheFunctionsThePluginExports) {
    // The plug-in is opened at the first lookup, from ZARN_PLUGIN_DIR.
    setenv("ZARN_PLUGIN_DIR", STANDIN_PLUGIN_DIR, 1);
    std::vector<void*> found(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < found.size(); i++)
        threads.emplace_back(
            [&found, i] { found[i] = c_xml_getfunctionpointerfromcodename(nullptr, "standinParameterFunction"); });
    for (auto& thread : threads)
        thread.join();
    ASSERT_NE(found[0], nullptr);
    for (void* function : found)
        EXPECT_EQ(function, found[0]);
    auto function = reinterpret_cast<int (*)(int)>(found[0]);
    EXPECT_EQ(function(20), 41);

    EXPECT_EQ(c_xml_getfunctionpointerfromcodename(nullptr, "noSuchFunction"), nullptr);
    EXPECT_EQ(c_xml_getfunctionpointerfromcodename(nullptr, "c_malloc"), nullptr); // a dependency's export
    EXPECT_EQ(c_xml_getfunctionpointerfromcodename(nullptr, "malloc"), nullptr);
    EXPECT_EQ(c_xml_getfunctionpointerfromcodename(nullptr, nullptr), nullptr);
}

} // namespace
