/* Test helpers shared by the areas that open the simulated boards through the
 * library: connection parameters of a simulated board and a digitizer record
 * opened on one, closed and freed when it goes. */
#ifndef TEST_SUPPORT_SIM_BOARDS_H
#define TEST_SUPPORT_SIM_BOARDS_H

#include <stdint.h>
#include <string.h>

#include <gtest/gtest.h>

#include "ZarnDPPLayer.h"
#include "ZarnRecordMemory.h"
#include "ZarnSimulator.h"

namespace testsup {

/* Connection parameters of the board at this link type, link number and node
 * (and VME base address, for the optical-link boards). */
inline c_ConnParams_t Connection(int linkType, int number, int node, uint32_t base = 0) {
    c_ConnParams_t params;
    memset(&params, 0, sizeof params);
    params.linkType = linkType;
    params.linkNumber = number;
    params.node = node;
    params.vmeBase = base;
    return params;
}

/* A digitizer record on the heap, opened by c_newDigitizer and closed by
 * c_freeDgtz when it goes. */
class OpenedRecord {
public:
    OpenedRecord() : d_(new c_Digitizer_t) { _resetDgtz(d_); }
    ~OpenedRecord() {
        c_freeDgtz(d_);
        delete d_;
    }
    OpenedRecord(const OpenedRecord&) = delete;
    OpenedRecord& operator=(const OpenedRecord&) = delete;
    int open(const c_ConnParams_t& params) { return c_newDigitizer(d_, &params); }
    c_Digitizer_t* get() const { return d_; }
    c_Digitizer_t* operator->() const { return d_; }
    int32_t link() const { return d_->descriptor.CommHandle; }
    /* A register of the simulated board behind the record. */
    uint32_t peek(uint32_t address) const {
        uint32_t value = 0;
        EXPECT_EQ(0, ZarnSim_PeekRegister(link(), address, &value));
        return value;
    }

private:
    c_Digitizer_t* d_;
};

} // namespace testsup

#endif
