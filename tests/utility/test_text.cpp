// Expressions, option parsing, path macros and folders, maps, time and
// random numbers.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "ZarnUtility.h"

namespace {

TEST(Expression, ValidExpressions) {
    struct Case {
        const char* text;
        uint32_t index;
        int64_t value;
    } cases[] = {
        {"42", 0, 42},
        {"0x1F", 0, 31},
        {"0X10 + 010", 0, 26}, // a leading 0 is decimal
        {"1 + 2 * 3", 0, 7},
        {"(1 + 2) * 3", 0, 9},
        {"0x1000 + idx * 0x100", 3, 0x1300},
        {"0x1080 | (idx << 8)", 2, 0x1280},
        {"1 << idx", 5, 32},
        {"1 + 2 << 3", 0, 24},    // + binds tighter than <<
        {"6 & 3 ^ 1 | 8", 0, 11}, // & then ^ then |
        {"~0 & 0xFF", 0, 255},
        {"-idx", 4, -4},
        {"- -7", 0, 7},
        {"-7 / 2", 0, -3},
        {"-7 % 3", 0, -1},
        {"-16 >> 2", 0, -4},
        {"1 << 63", 0, INT64_MIN},
        {"0xFFFFFFFFFFFFFFFF", 0, -1},
        {"  ( ( idx ) )  ", 9, 9},
        {"idx", 4294967295u, 4294967295ll},
    };
    for (const Case& c : cases) {
        int64_t value = -12345;
        EXPECT_EQ(c_ee_modifyAndEvaluateExpression(c.text, c.index, &value), 0) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(Expression, InvalidExpressionsFailAndLeaveTheResult) {
    const char* cases[] = {
        "",
        "   ",
        "1 +",
        "(1 + 2",
        "1 + 2)",
        "1 2",
        "12abc",
        "0x",
        "0xG",
        "ch + 1",
        "idx2",
        "IDX",
        "1 / 0",
        "5 % 0",
        "1 / (idx - 3)",
        "1 << 64",
        "1 << -1",
        "1 >> 64",
        "1 || 2",
        "1 && 2",
        "1 < 2",
        "2 ** 3",
        "+1",
        "99999999999999999999",
        "0x10000000000000000",
        "(-9223372036854775807 - 1) / -1",
    };
    for (const char* text : cases) {
        int64_t value = -12345;
        EXPECT_NE(c_ee_modifyAndEvaluateExpression(text, 3, &value), 0) << text;
        EXPECT_EQ(value, -12345) << text;
    }
    int64_t value = 0;
    EXPECT_NE(c_ee_modifyAndEvaluateExpression(nullptr, 0, &value), 0);
    std::string deep(10000, '(');
    deep += "1" + std::string(10000, ')');
    EXPECT_NE(c_ee_modifyAndEvaluateExpression(deep.c_str(), 0, &value), 0); // no stack overflow
    std::string minus(10000, '-');
    EXPECT_NE(c_ee_modifyAndEvaluateExpression((minus + "1").c_str(), 0, &value), 0);
}

struct GetoptStep {
    int result;
    const char* optarg; // expected argument, or nullptr
    int optopt;         // checked when result is '?'
};

struct GetoptCase {
    std::vector<const char*> args;
    std::vector<GetoptStep> steps; // followed by -1
    int finalOptind;
};

TEST(Getopt, Table) {
    const char* options = "hp:N:t:";
    GetoptCase cases[] = {
        {{"srv", "-h", "-p", "5000"}, {{'h', nullptr, 0}, {'p', "5000", 0}}, 4},
        {{"srv", "-p5000", "-hh"}, {{'p', "5000", 0}, {'h', nullptr, 0}, {'h', nullptr, 0}}, 3},
        {{"srv", "-hp", "7", "rest"}, {{'h', nullptr, 0}, {'p', "7", 0}}, 3}, // grouped, argument in next word
        {{"srv", "-hp7"}, {{'h', nullptr, 0}, {'p', "7", 0}}, 2},
        {{"srv", "-p"}, {{'?', nullptr, 'p'}}, 2},                          // missing argument
        {{"srv", "-x", "-h"}, {{'?', nullptr, 'x'}, {'h', nullptr, 0}}, 3}, // unknown option, scan goes on
        {{"srv", "-hxh"}, {{'h', nullptr, 0}, {'?', nullptr, 'x'}, {'h', nullptr, 0}}, 2},
        {{"srv", "-:"}, {{'?', nullptr, ':'}}, 2},
        {{"srv", "--", "-h"}, {}, 2},
        {{"srv", "file", "-h"}, {}, 1}, // the first non-option ends the options
        {{"srv", "-", "-h"}, {}, 1},
        {{"srv", "-p", "-h"}, {{'p', "-h", 0}}, 3}, // the next word is the argument, whatever it looks like
        {{"srv"}, {}, 1},
    };
    for (const GetoptCase& c : cases) {
        std::vector<char*> argv;
        for (const char* arg : c.args)
            argv.push_back(const_cast<char*>(arg));
        argv.push_back(nullptr);
        c_getopt_t state = C_GETOPT_INIT;
        std::string label = "case starting " + std::string(c.args.size() > 1 ? c.args[1] : "(none)");
        for (const GetoptStep& step : c.steps) {
            int result = c_mp_getopt(static_cast<int>(c.args.size()), argv.data(), options, &state);
            ASSERT_EQ(result, step.result) << label;
            if (step.optarg != nullptr) {
                ASSERT_NE(state.optarg, nullptr) << label;
                EXPECT_STREQ(state.optarg, step.optarg) << label;
            }
            if (result == '?') {
                EXPECT_EQ(state.optopt, step.optopt) << label;
            }
        }
        EXPECT_EQ(c_mp_getopt(static_cast<int>(c.args.size()), argv.data(), options, &state), -1) << label;
        EXPECT_EQ(state.optind, c.finalOptind) << label;
    }
}

TEST(Getopt, ErrorMessagesGoToStderr) {
    char program[] = "srv", unknown[] = "-x", missing[] = "-p";
    char* argv[] = {program, unknown, missing, nullptr};
    c_getopt_t state = C_GETOPT_INIT;
    testing::internal::CaptureStderr();
    EXPECT_EQ(c_mp_getopt(3, argv, "p:", &state), '?');
    EXPECT_EQ(c_mp_getopt(3, argv, "p:", &state), '?');
    std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(messages, "srv: invalid option -- 'x'\nsrv: option requires an argument -- 'p'\n");
}

std::string expand(const char* text) {
    char* expanded = c_getExpandedString(text);
    std::string result = expanded != nullptr ? expanded : "(null)";
    c_free(expanded);
    return result;
}

TEST(PathMacros, Expansion) {
    setenv("ZARN_TEST_FOLDER", "/opt/data", 1);
    setenv("ZARN_TEST_EMPTY", "", 1);
    unsetenv("ZARN_TEST_UNSET");
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"$(ZARN_TEST_FOLDER)/Definitions.xml", "/opt/data/Definitions.xml"},
        {"a$(ZARN_TEST_FOLDER)b$(ZARN_TEST_FOLDER)", "a/opt/datab/opt/data"},
        {"$(ZARN_TEST_UNSET)/x", "/x"},
        {"$(ZARN_TEST_EMPTY)", ""},
        {"plain/text", "plain/text"},
        {"", ""},
        {"$ZARN_TEST_FOLDER and $", "$ZARN_TEST_FOLDER and $"},
        {"keep $(ZARN_TEST_FOLDER", "keep $(ZARN_TEST_FOLDER"}, // unterminated
        {"$(ZARN_TEST_FOLDER)$(open", "/opt/data$(open"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(expand(c.text), c.expected) << c.text;
    EXPECT_EQ(c_getExpandedString(nullptr), nullptr);
}

TEST(Folders, MakeChangeListAndDirname) {
    char pattern[] = "/tmp/zarn-utility-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string base = pattern;
    std::string deep = base + "/one/two//three/";
    EXPECT_EQ(c_mkdirp(deep.c_str()), 0);
    EXPECT_EQ(c_mkdirp(deep.c_str()), 0); // existing is fine
    struct stat status;
    EXPECT_EQ(stat((base + "/one/two/three").c_str(), &status), 0);
    FILE* file = fopen((base + "/one/plain").c_str(), "w");
    ASSERT_NE(file, nullptr);
    fclose(file);
    EXPECT_NE(c_mkdirp((base + "/one/plain/sub").c_str()), 0); // a file in the way
    EXPECT_NE(c_mkdirp(""), 0);

    c_dir_t* dir = c_opendir((base + "/one").c_str());
    ASSERT_NE(dir, nullptr);
    std::set<std::string> entries;
    while (const char* name = c_readdir(dir))
        entries.insert(name);
    c_closedir(dir);
    EXPECT_EQ(entries, (std::set<std::string>{"plain", "two"}));
    EXPECT_EQ(c_opendir((base + "/missing").c_str()), nullptr);

    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    EXPECT_EQ(c_chdir((base + "/one/two").c_str()), 0);
    EXPECT_EQ(c_mkdirp("Run"), 0);
    EXPECT_EQ(stat((base + "/one/two/Run").c_str(), &status), 0);
    EXPECT_NE(c_chdir((base + "/missing").c_str()), 0);
    ASSERT_EQ(c_chdir(previous), 0);

    struct Case {
        const char* path;
        const char* folder;
    } cases[] = {{"a/b/c.txt", "a/b"}, {"c.txt", "."},    {"/c.txt", "/"}, {"/", "/"},
                 {"a//b//", "a"},      {"Run/x/", "Run"}, {"", "."}};
    char folder[16];
    for (const Case& c : cases) {
        ASSERT_EQ(c_dirname(c.path, folder, sizeof folder), 0) << c.path;
        EXPECT_STREQ(folder, c.folder) << c.path;
    }
    EXPECT_NE(c_dirname("a-very-long-folder/x", folder, sizeof folder), 0);
    system(("rm -rf " + base).c_str());
}

TEST(Map, SetGetReplaceAndManyKeys) {
    c_map_t map = {};
    ASSERT_EQ(_map_init(&map, 8), 0);
    int32_t code = 12;
    ASSERT_EQ(_map_set(&map, "DPPL_PARAM_CH_GATE", &code, sizeof code), 0);
    code = 13; // the map keeps its own copy
    EXPECT_EQ(*static_cast<int32_t*>(_map_get(&map, "DPPL_PARAM_CH_GATE")), 12);
    ASSERT_EQ(_map_set(&map, "DPPL_PARAM_CH_GATE", &code, sizeof code), 0);
    EXPECT_EQ(*static_cast<int32_t*>(_map_get(&map, "DPPL_PARAM_CH_GATE")), 13);
    EXPECT_EQ(map.count, 1u);
    EXPECT_EQ(_map_get(&map, "DPPL_PARAM_CH_GAT"), nullptr);
    EXPECT_EQ(_map_get(&map, ""), nullptr);
    uint8_t byte = 7; // a replacement of another size
    ASSERT_EQ(_map_set(&map, "DPPL_PARAM_CH_GATE", &byte, 1), 0);
    EXPECT_EQ(*static_cast<uint8_t*>(_map_get(&map, "DPPL_PARAM_CH_GATE")), 7);

    for (uint32_t i = 0; i < 5000; i++) {
        std::string key = "key" + std::to_string(i);
        ASSERT_EQ(_map_set(&map, key.c_str(), &i, sizeof i), 0);
    }
    EXPECT_EQ(map.count, 5001u);
    for (uint32_t i = 0; i < 5000; i++) {
        std::string key = "key" + std::to_string(i);
        void* value = _map_get(&map, key.c_str());
        ASSERT_NE(value, nullptr) << key;
        EXPECT_EQ(*static_cast<uint32_t*>(value), i);
    }
    _map_deinit(&map); // leaks would be reported by the sanitizer
    EXPECT_EQ(_map_get(&map, "key1"), nullptr);
    ASSERT_EQ(_map_init(&map, 1), 0); // can be used again
    EXPECT_EQ(_map_set(&map, "k", nullptr, 0), 0);
    EXPECT_NE(_map_get(&map, "k"), nullptr);
    EXPECT_NE(_map_set(&map, "k", nullptr, 4), 0);
    _map_deinit(&map);
    EXPECT_NE(_map_init(&map, 0), 0);
}

TEST(Time, ClocksSleepAndDateNumber) {
    uint64_t start = c_get_time();
    c_sleep(50);
    uint64_t slept = c_get_time() - start;
    EXPECT_GE(slept, 50u);
    EXPECT_LT(slept, 1000u);

    uint64_t number = c_getCurrentTimeRepresentation();
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    EXPECT_LT(number, 100000000000000ull);
    EXPECT_EQ(number / 10000000000ull, static_cast<uint64_t>(local.tm_year + 1900));
    EXPECT_GE(number % 100, 0u);
    EXPECT_LT(number % 100, 61u);
    EXPECT_LE(number / 100 % 100, 59u);
    EXPECT_LE(number / 10000 % 100, 23u);
    EXPECT_LE(number / 100000000 % 100, 12u);
}

TEST(Random, UniformInUnitIntervalAndRepeatable) {
    c_srand(1234);
    std::vector<double> first;
    double sum = 0;
    int low = 0;
    for (int i = 0; i < 100000; i++) {
        double value = c_rand();
        ASSERT_GE(value, 0.0);
        ASSERT_LT(value, 1.0);
        if (i < 10)
            first.push_back(value);
        sum += value;
        if (value < 0.25)
            low++;
    }
    EXPECT_NEAR(sum / 100000, 0.5, 0.01);
    EXPECT_NEAR(low / 100000.0, 0.25, 0.01);
    c_srand(1234);
    for (double value : first)
        EXPECT_EQ(c_rand(), value);
    c_srand(1235);
    EXPECT_NE(c_rand(), first[0]);
}

TEST(Bits, CountTrailingZeros) {
    EXPECT_EQ(c_ctz(0), 32u);
    EXPECT_EQ(c_ctz(1), 0u);
    EXPECT_EQ(c_ctz(16384), 14u);
    EXPECT_EQ(c_ctz(0x80000000u), 31u);
    EXPECT_EQ(c_ctz(12), 2u);
}

} // namespace
