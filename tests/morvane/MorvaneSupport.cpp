#include "MorvaneSupport.h"

#include <cstdlib>
#include <cstring>

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

LogFolder::LogFolder() : testsup::LogFolder("morvane-logs-") { setenv("ZARN_LOG_LEVEL", "8", 1); }

} // namespace morvanetest
