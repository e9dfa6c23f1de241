// Memory blocks and per-module log files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include <unistd.h>

#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ZarnUtility.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define ZARN_TEST_LEAK_CHECK 1
#endif

namespace {

TEST(Memory, BlocksKnowTheirSize) {
    void* empty = c_malloc(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(c_malloc_size(empty), 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(empty) % 16, 0u);

    char* block = static_cast<char*>(c_realloc(empty, 100));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(c_malloc_size(block), 100u);
    memset(block, 'x', 100);
    block = static_cast<char*>(c_realloc(block, 10));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(c_malloc_size(block), 10u);
    EXPECT_EQ(block[9], 'x');
    c_free(block);

    uint32_t* zeros = static_cast<uint32_t*>(c_calloc(64, sizeof(uint32_t)));
    ASSERT_NE(zeros, nullptr);
    EXPECT_EQ(c_malloc_size(zeros), 256u);
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(zeros[i], 0u);
    c_free(zeros);

    EXPECT_EQ(c_calloc(SIZE_MAX / 2, 4), nullptr); // overflowing count * size
    EXPECT_EQ(c_malloc(SIZE_MAX - 4), nullptr);
    char* copy = c_strdup("text");
    EXPECT_STREQ(copy, "text");
    EXPECT_EQ(c_malloc_size(copy), 5u);
    c_free(copy);
    EXPECT_EQ(c_strdup(nullptr), nullptr);
    EXPECT_EQ(c_malloc_size(nullptr), 0u);
    c_free(nullptr);
    void* fresh = c_realloc(nullptr, 3);
    EXPECT_EQ(c_malloc_size(fresh), 3u);
    c_free(fresh);
}

// Blocks of 0 bytes, such as the list arrays before any size is set, are
// held like any other: the leak checker must see them as referenced.
TEST(Memory, HeldEmptyBlocksAreNoLeak) {
#ifdef ZARN_TEST_LEAK_CHECK
    static void* held[4];
    for (void*& block : held)
        block = c_malloc(0);
    held[3] = c_realloc(held[3], 0);
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
    for (void*& block : held) {
        c_free(block);
        block = nullptr;
    }
#else
    GTEST_SKIP() << "built without the leak checker";
#endif
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zarn-log-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        setenv("ZARN_LOG_DIR", folder.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZARN_LOG_DIR");
        unsetenv("ZARN_LOG_LEVEL");
        system(("rm -rf " + folder).c_str());
    }
    std::vector<std::string> lines(const char* file) {
        std::ifstream in(folder + "/" + file);
        std::vector<std::string> result;
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }
    std::string folder;
};

TEST_F(LogTest, LinesCarryTimeLevelSourceAndLine) {
    static const c_LogModule_t module = {"TestLog.txt", "TestSource"};
    c_lprintf(&module, C_LOG_ERROR, 17, "value %d of '%s'", 5, "gain");
    c_lprintf(&module, C_LOG_WARNING, 18, "with newline\n");
    std::vector<std::string> written = lines("TestLog.txt");
    ASSERT_EQ(written.size(), 2u);
    std::regex layout(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} ERROR TestSource:17 value 5 of 'gain')");
    EXPECT_TRUE(std::regex_match(written[0], layout)) << written[0];
    EXPECT_NE(written[1].find(" WARNING TestSource:18 with newline"), std::string::npos) << written[1];

    std::string longText(5000, 'z');
    static const c_LogModule_t other = {"OtherLog.txt", "Other"};
    c_lprintf(&other, C_LOG_INFO, 1, "%s", longText.c_str());
    written = lines("OtherLog.txt");
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(written[0].find(longText), std::string::npos);
    EXPECT_EQ(lines("TestLog.txt").size(), 2u); // each module writes its own file
}

TEST_F(LogTest, MessagesAboveTheThresholdAreDropped) {
    static const c_LogModule_t module = {"LevelLog.txt", "Levels"};
    unsetenv("ZARN_LOG_LEVEL"); // default: 4
    for (uint32_t level : {1u, 2u, 4u, 8u})
        c_lprintf(&module, level, level, "default %u", level);
    setenv("ZARN_LOG_LEVEL", "8", 1);
    c_lprintf(&module, C_LOG_DETAIL, 8, "detail shown");
    setenv("ZARN_LOG_LEVEL", "1", 1);
    c_lprintf(&module, C_LOG_WARNING, 2, "warning hidden");
    c_lprintf(&module, C_LOG_ERROR, 1, "error shown");
    std::vector<std::string> written = lines("LevelLog.txt");
    ASSERT_EQ(written.size(), 5u);
    EXPECT_NE(written[2].find("default 4"), std::string::npos);
    EXPECT_NE(written[3].find("detail shown"), std::string::npos);
    EXPECT_NE(written[4].find("error shown"), std::string::npos);
}

int logThroughList(const c_LogModule_t* module, uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int status = c_lvprintf(module, level, 1, format, args);
    va_end(args);
    return status;
}

TEST_F(LogTest, FailuresAreReported) {
    static const c_LogModule_t module = {"Log.txt", "X"};
    EXPECT_EQ(logThroughList(&module, C_LOG_ERROR, "written %d", 1), 0);
    // A missing log folder is created; one that cannot be (below a file) fails.
    setenv("ZARN_LOG_DIR", (folder + "/missing-folder/logs").c_str(), 1);
    EXPECT_EQ(logThroughList(&module, C_LOG_ERROR, "kept %d", 2), 0);
    EXPECT_EQ(access((folder + "/missing-folder/logs/Log.txt").c_str(), F_OK), 0);
    setenv("ZARN_LOG_DIR", (folder + "/Log.txt/below-a-file").c_str(), 1);
    EXPECT_NE(logThroughList(&module, C_LOG_ERROR, "lost %d", 2), 0);
    EXPECT_EQ(logThroughList(&module, C_LOG_DETAIL, "filtered %d", 3), 0); // nothing to write
    EXPECT_NE(logThroughList(nullptr, C_LOG_ERROR, "no module %d", 4), 0);
}

size_t linesHolding(const std::vector<std::string>& lines, const std::string& what) {
    size_t count = 0;
    for (const std::string& line : lines)
        count += line.find(what) != std::string::npos;
    return count;
}

// An error repeated on every cycle: its first lines are written as they are,
// the rest counted, and the count written once asked (or once the window is
// over). A call site is limited whatever its text (a record number that
// changes with every line): 5 lines of one text, 32 lines in all, and its
// count carries the last text; lines of other call sites or files, and
// information lines, are never held back.
TEST_F(LogTest, RepeatedErrorsAreCountedNotWritten) {
    static const c_LogModule_t module = {"RepeatLog.txt", "Reader"};
    static const c_LogModule_t other = {"OtherRepeatLog.txt", "Reader"};
    for (int i = 0; i < 10000; i++) {
        c_lprintf(&module, C_LOG_ERROR, 40, "Read failed (%d).", -32);
        c_lprintf(&module, C_LOG_ERROR, 41, "Read failed (%d).", -32);
        c_lprintf(&other, C_LOG_ERROR, 40, "Read failed (%d).", -32);
    }
    for (int i = 0; i < 50; i++) {
        c_lprintf(&module, C_LOG_ERROR, 42, "Record %d unreadable.", i / 2);
        c_lprintf(&module, C_LOG_INFO, 43, "Reading.");
    }
    c_lflushrepeats();
    for (const char* file : {"RepeatLog.txt", "OtherRepeatLog.txt"}) {
        std::vector<std::string> written = lines(file);
        for (const char* site : {"Reader:40 ", "Reader:41 "}) {
            if (std::string(file) != "RepeatLog.txt" && std::string(site) == "Reader:41 ")
                continue;
            SCOPED_TRACE(std::string(file) + " " + site);
            EXPECT_EQ(linesHolding(written, std::string(site) + "Read failed (-32)."), 5u);
            EXPECT_EQ(linesHolding(written, std::string(site) + "Repeated 9995 more times in the last "), 1u);
        }
        EXPECT_LT(written.size(), 120u);
    }
    std::vector<std::string> written = lines("RepeatLog.txt");
    EXPECT_EQ(linesHolding(written, "Reader:42 "), 33u);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(linesHolding(written, "Reader:42 Record " + std::to_string(i) + " unreadable."), 2u) << i;
    EXPECT_EQ(linesHolding(written, "Reader:42 Repeated 18 more times in the last "), 1u);
    EXPECT_EQ(linesHolding(written, " s: Record 24 unreadable."), 1u);
    EXPECT_EQ(linesHolding(written, "Reader:43 Reading."), 50u);
}

// A read failure whose message carries the offset of each record, for every
// record of a damaged file: the log holds 32 lines and the count, not one
// line per record.
TEST_F(LogTest, AFailureNamingEveryRecordIsLimited) {
    static const c_LogModule_t module = {"RecordsLog.txt", "Reader"};
    const int RECORDS = 300000;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < RECORDS; i++)
        c_lprintf(&module, C_LOG_ERROR, 50, "Can't read the data record at byte offset %lld of 'run.raw' (-32).",
                  34LL * i);
    c_lflushrepeats();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::ifstream file(folder + "/RecordsLog.txt", std::ios::binary | std::ios::ate);
    std::vector<std::string> written = lines("RecordsLog.txt");
    std::printf("%d failing records: %zu lines, %lld bytes of log, %.2f s.\n", RECORDS, written.size(),
                static_cast<long long>(file.tellg()), took.count());
    ASSERT_EQ(written.size(), 33u);
    EXPECT_NE(written[32].find("Reader:50 Repeated 299968 more times in the last "), std::string::npos) << written[32];
    EXPECT_NE(written[32].find(" s: Can't read the data record at byte offset " + std::to_string(34LL * (RECORDS - 1))),
              std::string::npos)
        << written[32];
}

// Many call sites repeating at once each keep their limit: no table of
// tracked lines runs full and lets the rest through.
TEST_F(LogTest, ManySitesRepeatingAreEachLimited) {
    static const c_LogModule_t module = {"SitesLog.txt", "Sites"};
    const uint32_t SITES = 2000;
    const int REPEATS = 20;
    for (int i = 0; i < REPEATS; i++)
        for (uint32_t site = 1; site <= SITES; site++)
            c_lprintf(&module, C_LOG_WARNING, site, "No data.");
    c_lflushrepeats();
    std::vector<std::string> written = lines("SitesLog.txt");
    std::printf("%u sites repeating %d times: %zu lines written.\n", SITES, REPEATS, written.size());
    EXPECT_EQ(written.size(), SITES * 6u);
    EXPECT_EQ(linesHolding(written, " Repeated 15 more times in the last "), SITES);
}

// A repeat's count is written once its window is over, by the sweep of a
// loop that wakes; the next line of the site starts a window again.
TEST_F(LogTest, RepeatsAreCountedOncePerWindow) {
    static const c_LogModule_t module = {"WindowLog.txt", "Reader"};
    for (int i = 0; i < 100; i++)
        c_lprintf(&module, C_LOG_WARNING, 7, "No data.");
    std::vector<std::string> written = lines("WindowLog.txt");
    EXPECT_EQ(written.size(), 5u);
    std::this_thread::sleep_for(std::chrono::milliseconds(10100));
    c_lsweeprepeats(); // what a loop that wakes on its own calls: the count comes without a next line
    written = lines("WindowLog.txt");
    ASSERT_EQ(written.size(), 6u);
    EXPECT_NE(written[5].find("WARNING Reader:7 Repeated 95 more times in the last 1"), std::string::npos)
        << written[5];
    c_lprintf(&module, C_LOG_WARNING, 7, "No data.");
    written = lines("WindowLog.txt");
    ASSERT_EQ(written.size(), 7u);
    EXPECT_NE(written[6].find("WARNING Reader:7 No data."), std::string::npos) << written[6];
    c_lflushrepeats();
    EXPECT_EQ(lines("WindowLog.txt").size(), 7u); // nothing held back since
}

} // namespace
