/*
 * Loads libDravik.so at run time, after the test has set the environment
 * that its load reads (DRAVIKDIR, ZARN_LOG_DIR, ZARN_LOG_LEVEL). The library
 * prepares its state once per process, when it is loaded, so each environment
 * gets a test program of its own that links nothing of the library.
 */
#ifndef DRAVIK_LOADER_H
#define DRAVIK_LOADER_H

#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ZarnTypes.h"

namespace dravik_test {

struct CodeVariable {
    const char* codeName;
    int32_t* variable;
};

class DravikLoader {
public:
    /* A fresh temporary folder ("" when none could be made). */
    static std::string makeTempFolder() {
        char pattern[] = "/tmp/dravik_load_XXXXXX";
        const char* folder = mkdtemp(pattern);
        return folder != nullptr ? folder : "";
    }

    /* Opens the library; the environment must be set before. */
    bool open() {
        handle = dlopen(DRAVIK_LIBRARY_PATH, RTLD_NOW | RTLD_GLOBAL);
        if (handle == nullptr)
            ADD_FAILURE() << "dlopen " << DRAVIK_LIBRARY_PATH << ": " << dlerror();
        return handle != nullptr;
    }

    template <typename Function>
    Function function(const char* name) const {
        void* address = dlsym(handle, name);
        EXPECT_NE(address, nullptr) << name;
        return reinterpret_cast<Function>(address);
    }

    int32_t* variable(const char* name) const { return static_cast<int32_t*>(dlsym(handle, name)); }

    /* Every exported code variable, by its code name. */
    std::vector<CodeVariable> codeVariables() const {
        static const char* const names[] = {
#define DPPL_PARAM_CODE(name) "DPPL_PARAM_" #name,
#include "ZarnParamCodes.def"
#undef DPPL_PARAM_CODE
        };
        std::vector<CodeVariable> result;
        for (const char* name : names)
            result.push_back({name, variable(name)});
        return result;
    }

    void* handle = nullptr;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/* Number of lines of text that contain needle. */
inline int countLinesWith(const std::string& text, const std::string& needle) {
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line.find(needle) != std::string::npos;
    return count;
}

} // namespace dravik_test

#endif
