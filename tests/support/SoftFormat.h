/* Descriptor values of one firmware's data format, shared by a record with
 * no board behind it (SoftRecord) and the encoder that writes the format's
 * data (UnitEncoder); a format names the fields it does not leave at their
 * usual values. */
#ifndef TEST_SUPPORT_SOFT_FORMAT_H
#define TEST_SUPPORT_SOFT_FORMAT_H

#include <stdint.h>

namespace testsup {

struct SoftFormat {
    int32_t dppCode;
    uint32_t family;
    int32_t minor = 0;
    double periodNs;
    uint32_t timeTagBits = 32;
    uint32_t energyBits = 15;
    uint32_t adcBits = 14;
    uint8_t channels;
    uint8_t groups = 0; /* channel groups; 0 for a board of single channels */
};

} // namespace testsup

#endif
