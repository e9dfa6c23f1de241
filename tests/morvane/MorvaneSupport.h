/* Shared pieces of the device tests: an owned digitizer record and a fresh
 * log folder. */
#ifndef MORVANE_SUPPORT_H
#define MORVANE_SUPPORT_H

#include <string>

#include "../support/LogFolder.h"
#include "CBoard_Morvane.h"
#include "ZarnDPPLayer.h"

namespace morvanetest {

/* A zeroed digitizer record on the heap, closed and freed when it goes. */
class Record {
public:
    Record();
    ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    int Open() { return c_newDigitizer(d_, nullptr); }
    c_Digitizer_t* get() const { return d_; }
    c_Digitizer_t* operator->() const { return d_; }
    int32_t Link() const { return d_->descriptor.CommHandle; }

private:
    c_Digitizer_t* d_;
};

/* Sends the log files to a fresh folder for as long as it lives, every
 * message at log level 8. */
class LogFolder : public testsup::LogFolder {
public:
    LogFolder();
};

} // namespace morvanetest

#endif
