/* Raw-data file replay: the input is a run file, opened as a replay record,
 * started, read to its end (or a bound) past the reads that fail on damaged
 * records, stopped and freed, as the server does with a loaded run file. */
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ZarnRecordMemory.h"

namespace {

std::string path;
/* A replay's reads end with its file; the bound only stops a file whose
 * records never end it. */
constexpr int kMaxReads = 64;

void CheckCounts(const c_Digitizer_t* d) {
    for (uint32_t ch = 0; ch < DPPL_MAX_CHANNELS; ++ch)
        if (d->channels[ch].nEvents > d->channels[ch].capacity)
            fuzzsup::Violation("a channel holds more events than its array");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    path = fuzzsup::StartRunFileTarget("run.dat");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsup::WriteInputFile(path, data, size);
    c_Digitizer_t* d = new c_Digitizer_t;
    _resetDgtz(d);
    if (c_newFileDigitizer(d, path.c_str()) == 0) {
        if (c_bstarta(d) == 0) {
            int silent = 0;
            for (int reads = 0; reads < kMaxReads && silent < 2; ++reads) {
                int32_t bytes = 0;
                int result = c_getDPPEvents(d, &bytes);
                CheckCounts(d);
                /* a damaged record fails its read alone: the replay reads on */
                silent = result == 0 && bytes == 0 ? silent + 1 : 0;
            }
        }
        c_bstopa(d);
        CheckCounts(d);
    }
    c_freeDgtz(d);
    delete d;
    return 0;
}
