/* Data records of a raw-data file read back: order, end of file, rewinding,
 * and records that are corrupted, cut short or too large. */
#include <gtest/gtest.h>

#include "RawDataSupport.h"

using namespace rawtest;

namespace {

/* A reader over a hand-built file with the given records, and a readout
 * buffer of 64 bytes. */
struct RecordFile {
    ScratchDir dir;
    Reader reader;
    char bytes[64];
    c_ReadoutBuffer_t buffer = {bytes, sizeof bytes, 0, ROBUF_ALLOC_NONE};

    void Open(const FileBuilder& builder, std::vector<uint8_t> tail = {}) {
        std::vector<uint8_t> file = builder.Bytes();
        file.insert(file.end(), tail.begin(), tail.end());
        WriteBytes(dir / "records.dat", file);
        ASSERT_EQ(reader.Open(dir / "records.dat"), 0);
    }
    int Next(uint32_t family = 11) { return c_bdreadrecord(&reader.dumper, &buffer, family); }
    uint32_t Word(size_t i) const {
        uint32_t word;
        memcpy(&word, bytes + 4 * i, 4);
        return word;
    }
};

FileBuilder Header() {
    FileBuilder builder;
    builder.Descriptor(SmallBoard()).U32(BD_WORD_READOUT_SIZE, 0, 64);
    return builder;
}

} // namespace

TEST(RecordRead, ReadsRecordsInOrderThenReportsTheEndAndRewinds) {
    RecordFile f;
    f.Open(Header().Record({0xA0000004u, 1, 2, 3}).Record({0xA0000002u, 7}));
    ASSERT_EQ(f.Next(), 0);
    EXPECT_EQ(f.buffer.ROBytes, 16u);
    EXPECT_EQ(f.Word(1), 1u);
    ASSERT_EQ(f.Next(), 0);
    EXPECT_EQ(f.buffer.ROBytes, 8u);
    EXPECT_EQ(f.Word(1), 7u);
    for (int i = 0; i < 3; i++) { /* the end stays the end, with nothing held */
        EXPECT_EQ(f.Next(), BD_END_OF_FILE);
        EXPECT_EQ(f.buffer.ROBytes, 0u);
    }
    ASSERT_EQ(c_bdrewind(&f.reader.dumper), 0);
    ASSERT_EQ(f.Next(), 0);
    EXPECT_EQ(f.Word(1), 1u);
}

TEST(RecordRead, ChecksTheFirstWordByFamily) {
    struct Case {
        uint32_t first;
        uint32_t family;
        int expected;
    } cases[] = {
        {0xA0000002u, 11, 0},
        {0xE0000002u, 11, 0},
        {0x80000002u, 11, DPPL_ERR_READ_DATA}, /* bit 29 missing */
        {0x5B900002u, 6111, 0},
        {0x5B900002u, 11, DPPL_ERR_READ_DATA},
        {0xA0000002u, 6133, DPPL_ERR_READ_DATA},
    };
    for (const Case& c : cases) {
        RecordFile f;
        f.Open(Header().Record({c.first, 0}));
        EXPECT_EQ(f.Next(c.family), c.expected) << std::hex << c.first << " family " << std::dec << c.family;
        EXPECT_EQ(f.buffer.ROBytes, c.expected == 0 ? 8u : 0u);
    }
}

TEST(RecordRead, RefusesBadRecordsAndEndsTheDataThere) {
    { /* too large for the buffer: nothing after it is trusted */
        RecordFile f;
        std::vector<uint32_t> large(20, 0xA0000000u);
        f.Open(Header().Record(large).Record({0xA0000002u, 5}));
        EXPECT_EQ(f.Next(), DPPL_ERR_READ_DATA);
        EXPECT_EQ(f.Next(), BD_END_OF_FILE);
    }
    { /* a record claiming more than the file holds */
        RecordFile f;
        f.Open(Header(), {40, 0, 0, 0, 0xA0, 0xA0});
        EXPECT_EQ(f.Next(), DPPL_ERR_READ_DATA);
        EXPECT_EQ(f.Next(), BD_END_OF_FILE);
    }
    { /* an empty record has no first word to check */
        RecordFile f;
        f.Open(Header(), {0, 0, 0, 0});
        EXPECT_EQ(f.Next(), DPPL_ERR_READ_DATA);
        EXPECT_EQ(f.Next(), BD_END_OF_FILE);
    }
    { /* a size cut by the end of the file ends the data */
        RecordFile f;
        f.Open(Header().Record({0xA0000002u, 1}), {8, 0});
        EXPECT_EQ(f.Next(), 0);
        EXPECT_EQ(f.Next(), BD_END_OF_FILE);
    }
    { /* no file, no buffer memory */
        RecordFile f;
        f.Open(Header().Record({0xA0000002u, 1}));
        c_ReadoutBuffer_t none = {NULL, 0, 0, ROBUF_ALLOC_NONE};
        EXPECT_EQ(c_bdreadrecord(&f.reader.dumper, &none, 11), DPPL_ERR_READ_DATA);
        c_bdclose(&f.reader.dumper);
        EXPECT_EQ(f.Next(), DPPL_ERR_NULL_ARGUMENT);
        EXPECT_EQ(c_bdrewind(&f.reader.dumper), -1);
    }
}
