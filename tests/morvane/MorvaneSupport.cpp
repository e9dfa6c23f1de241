#include "MorvaneSupport.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "ZarnSimulator.h"

namespace morvanetest {

Record::Record() : d_(static_cast<c_Digitizer_t*>(std::calloc(1, sizeof(c_Digitizer_t)))) {}

Record::~Record() {
    if (c_isDgtzOpened(d_))
        c_freeDgtz(d_);
    std::free(d_);
    ZarnSim_ResetFaults();
}

LogFolder::LogFolder() {
    char pattern[] = "/tmp/morvane-logs-XXXXXX";
    path_ = mkdtemp(pattern);
    const char* previous = std::getenv("ZARN_LOG_DIR");
    hadPrevious_ = previous != nullptr;
    if (hadPrevious_)
        previous_ = previous;
    setenv("ZARN_LOG_DIR", path_.c_str(), 1);
    setenv("ZARN_LOG_LEVEL", "8", 1);
}

LogFolder::~LogFolder() {
    if (hadPrevious_)
        setenv("ZARN_LOG_DIR", previous_.c_str(), 1);
    else
        unsetenv("ZARN_LOG_DIR");
    std::string command = "rm -rf '" + path_ + "'";
    (void)!std::system(command.c_str());
}

std::string LogFolder::Read(const std::string& file) const {
    std::ifstream in(path_ + "/" + file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace morvanetest
