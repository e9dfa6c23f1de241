/* Data records of a raw-data file read back: order, end of file, rewinding,
 * and records that are corrupted, cut short or too large. */
#include <gtest/gtest.h>

#include "RawDataSupport.h"
#include "ZarnROBuffDumperRecords.h"

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
        SCOPED_TRACE(::testing::Message() << std::hex << c.first << " family " << std::dec << c.family);
        RecordFile f;
        const uint32_t next = c.family == 11 ? 0xA0000002u : 0x5B900002u;
        f.Open(Header().Record({c.first, 0}).Record({next, 9}));
        EXPECT_EQ(f.Next(c.family), c.expected);
        EXPECT_EQ(f.buffer.ROBytes, c.expected == 0 ? 8u : 0u);
        /* a record that fails the check costs that record alone */
        ASSERT_EQ(f.Next(c.family), 0);
        EXPECT_EQ(f.Word(1), 9u);
        EXPECT_EQ(f.Next(c.family), BD_END_OF_FILE);
    }
}

/* Every damaged record is counted, and the first few are kept by offset,
 * until the end of the file, where the count is logged and starts anew. */
TEST(RecordRead, CountsDamagedRecordsUntilTheEnd) {
    RecordFile f;
    FileBuilder file = Header();
    for (int i = 0; i < DPPL_DAMAGED_SHOWN + 2; i++)
        file.Record({0x12345678u, 0}).Record({0xA0000002u, 1});
    f.Open(file, {0, 0, 0, 0}); /* a record of size 0 ends the data */
    const int64_t first = ftello(f.reader.dumper.file);
    int skipped = 0, read = 0, result;
    while ((result = f.Next()) != BD_END_OF_FILE) {
        if (result == DPPL_ERR_READ_DATA && f.reader.dumper.damagedRecords > (uint64_t)skipped)
            skipped++;
        read += result == 0;
        ASSERT_LT(read + skipped, 100);
        if (skipped == DPPL_DAMAGED_SHOWN + 3) { /* the spoiled ones and the end */
            for (int i = 0; i < DPPL_DAMAGED_SHOWN; i++)
                EXPECT_EQ(f.reader.dumper.damagedAt[i], first + 24 * i) << i;
        }
    }
    EXPECT_EQ(read, DPPL_DAMAGED_SHOWN + 2);
    EXPECT_EQ(skipped, DPPL_DAMAGED_SHOWN + 3);
    EXPECT_EQ(f.reader.dumper.damagedRecords, 0u) << "the end reports the count and starts anew";
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
