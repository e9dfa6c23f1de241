/* The raw-data header and record readers alone: the input is a raw-data
 * file; whatever opens must describe a board that fits the record's slots,
 * and every record read must fit the buffer it was read into. */
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ZarnROBuffDumperRecords.h"

namespace {

std::string path;
/* Records are read into a buffer of the header's size, but no larger than
 * this: the header may claim anything. */
constexpr uint32_t kMaxBuffer = 1u << 20;
constexpr int kMaxRecords = 256;

void CheckHeader(const c_RawDataHeader_t& header) {
    const c_BoardDescriptor_t& board = header.descriptor;
    if (board.NumChannels > DPPL_MAX_CHANNELS || board.NumGroups > DPPL_MAX_GROUPS ||
        board.HVChannels > DPPL_MAX_HV_CHANNELS || board.LVDSGroups > DPPL_MAX_LVDS_GROUPS ||
        (uint64_t)board.AnalogVTraces + board.DigitalVTraces > DPPL_MAX_VTRACES || board.MonOuts > DPPL_MAX_MONOUTS ||
        board.VGAs > DPPL_MAX_VGAS)
        fuzzsup::Violation("an opened header describes more instances than the record has slots");
}

void ReadRecords(c_ROBuffDumper_t* dumper, const c_RawDataHeader_t& header) {
    uint32_t capacity = header.roSize < kMaxBuffer ? header.roSize : kMaxBuffer;
    std::vector<char> memory(capacity + 1);
    c_ReadoutBuffer_t buffer = {memory.data(), capacity, 0, ROBUF_ALLOC_NONE};
    for (int records = 0; records < kMaxRecords; ++records) {
        int result = c_bdreadrecord(dumper, &buffer, header.descriptor.FamilyCode);
        if (buffer.ROBytes > capacity)
            fuzzsup::Violation("a record larger than its buffer was read");
        if (result == BD_END_OF_FILE)
            return;
        if (result != 0 && result != DPPL_ERR_READ_DATA)
            fuzzsup::Violation("the record reader answered a code it does not document");
        if ((result == 0) != (buffer.ROBytes > 0))
            fuzzsup::Violation("the record reader's result and byte count disagree");
    }
    c_bdrewind(dumper);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    path = fuzzsup::StartRunFileTarget("input.dat");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsup::WriteInputFile(path, data, size);
    c_ROBuffDumper_t dumper;
    c_RawDataHeader_t header;
    memset(&dumper, 0, sizeof dumper);
    memset(&header, 0, sizeof header);
    int result = c_bdopenr(&dumper, &header, path.c_str());
    if (result == 0) {
        if (!c_bdopened(&dumper))
            fuzzsup::Violation("an opened file is not open");
        CheckHeader(header);
        ReadRecords(&dumper, header);
    } else if (result < -5 || result > -1) {
        fuzzsup::Violation("the header reader answered a code it does not document");
    } else if (dumper.file != NULL) {
        fuzzsup::Violation("a refused file was left open");
    }
    c_bdclose(&dumper);
    c_bdfreeheader(&header);
    return 0;
}
