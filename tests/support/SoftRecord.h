/* An open digitizer record with no board behind it, for the decoder tests:
 * its parameters are software-only (their values live in the record) and the
 * readout buffer is filled by hand. The descriptor is the caller's, or a
 * format's through describe. */
#ifndef TEST_SUPPORT_SOFT_RECORD_H
#define TEST_SUPPORT_SOFT_RECORD_H

#include <stdint.h>

#include <vector>

#include "SoftFormat.h"
#include "ZarnDPPLayer.h"

namespace testsup {

class SoftRecord {
public:
    SoftRecord();
    ~SoftRecord();
    SoftRecord(const SoftRecord&) = delete;
    SoftRecord& operator=(const SoftRecord&) = delete;

    c_Digitizer_t* get() const { return d_; }
    c_Digitizer_t* operator->() const { return d_; }

    c_Parameter_t* board(int32_t code, double value);
    c_Parameter_t* channel(uint32_t ch, int32_t code, double value);
    /* The words become the readout buffer's contents (bytes: ROBytes, else all). */
    void load(const std::vector<uint32_t>& words, int64_t bytes = -1);
    /* One read's walk over the loaded buffer. */
    int walk();

protected:
    /* The descriptor of a board of this format and model name, with every
     * channel enabled. */
    void describe(const SoftFormat& format, const char* model);
    /* A readoutBytes buffer and events for every channel (withWaveform of them
     * carry samples-long traces); the allocator's status. */
    int allocateFixed(uint64_t readoutBytes, uint32_t events, uint32_t withWaveform, uint32_t samples);
    c_Digitizer_t* d_;

private:
    c_Parameter_t* add(c_ParamCollection_t** collection, int32_t first, int32_t code, double value, uint8_t index);
};

} // namespace testsup

#endif
