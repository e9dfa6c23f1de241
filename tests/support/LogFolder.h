/* The library's log files sent to a fresh folder under /tmp for as long as
 * a LogFolder lives: ZARN_LOG_DIR names it, and gets back its earlier value
 * (or none) at the end, when the folder goes with what it holds. */
#ifndef TEST_SUPPORT_LOG_FOLDER_H
#define TEST_SUPPORT_LOG_FOLDER_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testsup {

class LogFolder {
public:
    /* The folder is /tmp/<prefix>XXXXXX. */
    explicit LogFolder(const std::string& prefix) {
        std::string pattern = "/tmp/" + prefix + "XXXXXX";
        const char* made = mkdtemp(pattern.data());
        made_ = made != nullptr;
        path_ = made_ ? made : "/tmp";
        const char* previous = getenv("ZARN_LOG_DIR");
        hadPrevious_ = previous != nullptr;
        previous_ = hadPrevious_ ? previous : "";
        setenv("ZARN_LOG_DIR", path_.c_str(), 1);
    }
    ~LogFolder() {
        if (hadPrevious_)
            setenv("ZARN_LOG_DIR", previous_.c_str(), 1);
        else
            unsetenv("ZARN_LOG_DIR");
        std::error_code ignored;
        if (made_)
            std::filesystem::remove_all(path_, ignored);
    }
    LogFolder(const LogFolder&) = delete;
    LogFolder& operator=(const LogFolder&) = delete;

    /* One log file's text; empty when there is none. */
    std::string Read(const std::string& file) const {
        std::ifstream in(path_ + "/" + file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::string path_;
    bool made_;
    std::string previous_;
    bool hadPrevious_;
};

} // namespace testsup

#endif
