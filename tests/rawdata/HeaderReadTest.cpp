/* Parsing raw-data headers: what a well-formed header gives, and every way a
 * header that cannot be trusted is refused (with the file closed and nothing
 * left allocated). */
#include <gtest/gtest.h>

#include <math.h>

#include <fstream>
#include <functional>

#include "RawDataSupport.h"
#include "ZarnROBuffDumperRecords.h"

using namespace rawtest;

TEST(HeaderRead, ParsesHandBuiltHeaderAndKeepsBlocksItLacksEmpty) {
    ScratchDir dir;
    FileBuilder builder;
    builder.Descriptor(SmallBoard(2))
        .U32(BD_WORD_READOUT_SIZE, 0, 1024)
        .U32(BD_WORD_CHANNEL_EVENTS, 0, 10)
        .U32(BD_WORD_CHANNEL_EVENTS, 1, 20)
        .U32(BD_WORD_WAVE_SAMPLES, 0, 50)
        .Values(BD_WORD_BOARD_PARAMS, 0, {1.0, 2.0, 3.0})
        .Values(BD_WORD_CHANNEL_PARAMS, 1, {4.0})
        .Values(BD_WORD_VGA_PARAMS, 3, {})
        .Record({0xA0000002u, 0})
        .Record(std::vector<uint32_t>(256, 0xA0000100u)); /* room for what the header asks */
    builder.Write(dir / "hand.dat");

    Reader reader;
    ASSERT_EQ(reader.Open(dir / "hand.dat"), 0);
    EXPECT_EQ(c_bdopened(&reader.dumper), 1);
    EXPECT_EQ(reader.dumper.id, 0u);
    EXPECT_EQ(reader.dumper.headerWordCount, 9u);
    const c_RawDataHeader_t& h = reader.header;
    EXPECT_STREQ(h.descriptor.ModelName, "HAND");
    EXPECT_EQ(h.roSize, 1024u);
    EXPECT_EQ(h.eventsPerChannel[1], 20u);
    EXPECT_EQ(h.waveSamples, 50u);
    EXPECT_EQ(c_malloc_size(h.brdparams), 3 * sizeof(double));
    EXPECT_EQ(h.brdparams[2], 3.0);
    EXPECT_EQ(h.chparams[0], nullptr);
    EXPECT_EQ(h.chparams[1][0], 4.0);
    EXPECT_EQ(h.vgaparams[3], nullptr); /* an empty block holds nothing */
    EXPECT_EQ(h.grparams[0], nullptr);

    char bytes[16];
    c_ReadoutBuffer_t buffer = {bytes, sizeof bytes, 0, ROBUF_ALLOC_NONE};
    EXPECT_EQ(c_bdreadrecord(&reader.dumper, &buffer, 11), 0); /* the data start right after */
}

/* A replay decodes one record at a time: the buffers it takes from the
 * header are bounded by the largest record the file's data bytes could hold
 * (an event takes at least 4 bytes of it, a trace sample at least 1). A file
 * with no record keeps a readout buffer of one word and one event per
 * channel, which its replay needs to read the end and mark it. */
TEST(HeaderRead, ReplayBuffersAreBoundedByTheDataBytes) {
    auto file = [] {
        return FileBuilder()
            .Descriptor(SmallBoard(2))
            .U32(BD_WORD_READOUT_SIZE, 0, 1u << 20)
            .U32(BD_WORD_CHANNEL_EVENTS, 0, 1000)
            .U32(BD_WORD_CHANNEL_EVENTS, 1, 3)
            .U32(BD_WORD_WAVE_SAMPLES, 0, 2000);
    };
    const std::vector<uint32_t> small(16, 0xA0000010u);
    std::vector<uint8_t> cut = file().Record(small).Bytes();
    const uint32_t announced = 2000;
    cut.insert(cut.end(), reinterpret_cast<const uint8_t*>(&announced),
               reinterpret_cast<const uint8_t*>(&announced) + 4);
    cut.resize(cut.size() + 100); /* 100 of its 2000 bytes */
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        uint32_t roSize, events0, events1, samples;
    } cases[] = {
        /* 4 + 64 + 4 + 400 data bytes: a record of at most 468 */
        {"records of 64 and 400 bytes", file().Record(small).Record(std::vector<uint32_t>(100, 0xA0000064u)).Bytes(),
         468, 117, 3, 468},
        {"no record", file().Bytes(), 4, 1, 1, 0},
        /* 4 + 64 + 4 + 100 data bytes */
        {"a record cut by the end of the file", cut, 168, 42, 3, 168},
        {"records larger than the header asks", file().Record(small).Record(std::vector<uint32_t>(300000, 0)).Bytes(),
         1u << 20, 1000, 3, 2000},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        WriteBytes(dir / "bounded.dat", c.bytes);
        Reader reader;
        ASSERT_EQ(reader.Open(dir / "bounded.dat"), 0) << c.what;
        const c_RawDataHeader_t& h = reader.header;
        EXPECT_EQ(h.roSize, c.roSize) << c.what;
        EXPECT_EQ(h.eventsPerChannel[0], c.events0) << c.what;
        EXPECT_EQ(h.eventsPerChannel[1], c.events1) << c.what;
        EXPECT_EQ(h.waveSamples, c.samples) << c.what;
        /* the reader stands at the first record */
        char bytes[64];
        c_ReadoutBuffer_t buffer = {bytes, sizeof bytes, 0, ROBUF_ALLOC_NONE};
        EXPECT_EQ(c_bdreadrecord(&reader.dumper, &buffer, 11), c.samples == 0 ? BD_END_OF_FILE : 0) << c.what;
    }
}

namespace {

/* Bytes this process has read from files so far (rchar of /proc/self/io). */
uint64_t BytesReadByProcess() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return 0;
}

} // namespace

/* Opening a recording reads its header, not its data records, whatever
 * their number or their sizes (records of size 0 included): the open of a
 * long run costs what the open of a short one costs. */
TEST(HeaderRead, OpeningReadsTheHeaderAndNotTheRecords) {
    ScratchDir dir;
    const size_t kRecords = 200000;
    struct Case {
        const char* what;
        std::vector<uint32_t> record;
    } cases[] = {
        {"small records", {16, 0xA0000004u, 0, 0, 0}},
        {"records of size 0", {0}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = FileBuilder().Descriptor(SmallBoard()).U32(BD_WORD_READOUT_SIZE, 0, 64).Bytes();
        const size_t headerBytes = bytes.size();
        for (size_t i = 0; i < kRecords; i++)
            bytes.insert(bytes.end(), reinterpret_cast<const uint8_t*>(c.record.data()),
                         reinterpret_cast<const uint8_t*>(c.record.data() + c.record.size()));
        WriteBytes(dir / "long.dat", bytes);
        const uint64_t before = BytesReadByProcess();
        Reader reader;
        ASSERT_EQ(reader.Open(dir / "long.dat"), 0) << c.what;
        const uint64_t read = BytesReadByProcess() - before;
        EXPECT_LT(read, headerBytes + 64 * 1024) << c.what << ": " << read << " bytes read of " << bytes.size();
        EXPECT_EQ(reader.header.roSize, 64u) << c.what;
    }
}

TEST(HeaderRead, AcceptsAShortDescriptorWithItsTailZeroed) {
    ScratchDir dir;
    c_BoardDescriptor_t board = SmallBoard();
    std::vector<uint8_t> head(200);
    memcpy(head.data(), &board, head.size());
    FileBuilder().Word(BD_WORD_DESCRIPTOR, 0, 200, head).Write(dir / "short.dat");
    Reader reader;
    ASSERT_EQ(reader.Open(dir / "short.dat"), 0);
    EXPECT_STREQ(reader.header.descriptor.ModelName, "HAND");
    EXPECT_EQ(reader.header.descriptor.NumChannels, 0); /* offset 201: past what the file held */
}

TEST(HeaderRead, RefusesHeadersThatCannotBeTrusted) {
    auto board = [](std::function<void(c_BoardDescriptor_t&)> change) {
        c_BoardDescriptor_t b = SmallBoard();
        change(b);
        return FileBuilder().Descriptor(b);
    };
    auto valid = [] { return FileBuilder().Descriptor(SmallBoard()); };
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        int expected;
    } cases[] = {
        {"bits 28-31 of word 0 are 2", valid().Bytes(0x20000002u), -4},
        /* the word list is read before the type bits are judged */
        {"bits 28-31 are 2 and the words are cut", FileBuilder().Bytes(0x20000020u), -5},
        {"bits 28-31 are 2 and more than 256 words", valid().Bytes(0x20000101u), -4},
        {"empty file", {}, -5},
        {"no header words", valid().Bytes(0x10000000u), -5},
        {"more than 256 words", valid().Bytes(0x10000101u), -5},
        {"words cut by the end of the file", valid().Bytes(0x10000020u), -5},
        {"no descriptor", FileBuilder().U32(BD_WORD_READOUT_SIZE, 0, 8).Bytes(), -5},
        {"descriptor longer than 872 bytes", FileBuilder().Word(BD_WORD_DESCRIPTOR, 0, 873).Bytes(), -5},
        {"descriptor cut by the end",
         [] {
             auto b = FileBuilder().Descriptor(SmallBoard()).Bytes();
             b.resize(b.size() - 1);
             return b;
         }(),
         -5},
        {"group 8", valid().Values(BD_WORD_GROUP_PARAMS, 8, {1.0}).Bytes(), -5},
        {"LVDS group 4", valid().Values(BD_WORD_LVDS_PARAMS, 4, {1.0}).Bytes(), -5},
        {"virtual trace 9", valid().Values(BD_WORD_VTRACE_PARAMS, 9, {1.0}).Bytes(), -5},
        {"HV channel 2", valid().Values(BD_WORD_HVCHANNEL_PARAMS, 2, {1.0}).Bytes(), -5},
        {"HV range of channel 2", valid().Values(BD_WORD_HVRANGE_PARAMS, 2, {1.0}).Bytes(), -5},
        {"monitor output 1", valid().Values(BD_WORD_MONOUT_PARAMS, 1, {1.0}).Bytes(), -5},
        {"VGA 4", valid().Values(BD_WORD_VGA_PARAMS, 4, {1.0}).Bytes(), -5},
        {"meaning 0", valid().Word(0, 0, 0).Bytes(), -5},
        {"meaning 14", valid().Word(14, 0, 4).Bytes(), -5},
        {"block longer than the file",
         valid().Word(BD_WORD_CHANNEL_PARAMS, 0, 0xFFF8, {1, 2, 3, 4, 5, 6, 7, 8}).Bytes(), -5},
        {"board block of 16 MB promised", valid().Word(BD_WORD_BOARD_PARAMS, 0, 0xFFFFF8, {}).Bytes(), -5},
        {"block not a whole number of values", valid().Word(BD_WORD_CHANNEL_PARAMS, 0, 12).Bytes(), -5},
        {"repeated block", valid().Values(BD_WORD_BOARD_PARAMS, 0, {1}).Values(BD_WORD_BOARD_PARAMS, 0, {2}).Bytes(),
         -5},
        {"repeated capacity", valid().U32(BD_WORD_CHANNEL_EVENTS, 1, 1).U32(BD_WORD_CHANNEL_EVENTS, 1, 1).Bytes(), -5},
        {"repeated descriptor", valid().Descriptor(SmallBoard()).Bytes(), -5},
        {"capacity of 8 bytes", valid().Word(BD_WORD_CHANNEL_EVENTS, 0, 8).Bytes(), -5},
        {"readout size cut", valid().Word(BD_WORD_READOUT_SIZE, 0, 4, {1, 2}).Bytes(), -5},
        {"65 channels", board([](auto& b) { b.NumChannels = 65; }).Bytes(), -5},
        {"9 groups", board([](auto& b) { b.NumGroups = 9; }).Bytes(), -5},
        {"3 HV channels", board([](auto& b) { b.HVChannels = 3; }).Bytes(), -5},
        {"5 + 5 virtual traces", board([](auto& b) { b.AnalogVTraces = b.DigitalVTraces = 5; }).Bytes(), -5},
        {"virtual-trace counts that wrap", board([](auto& b) {
                                               b.AnalogVTraces = 0xFFFFFFFFu;
                                               b.DigitalVTraces = 2;
                                           }).Bytes(),
         -5},
        {"5 LVDS groups", board([](auto& b) { b.LVDSGroups = 5; }).Bytes(), -5},
        {"2 monitor outputs", board([](auto& b) { b.MonOuts = 2; }).Bytes(), -5},
        {"5 VGAs", board([](auto& b) { b.VGAs = 5; }).Bytes(), -5},
        {"64 time-tag bits", board([](auto& b) { b.TimeTagBits = 64; }).Bytes(), -5},
        {"sample period NaN", board([](auto& b) { b.SamplePeriod = NAN; }).Bytes(), -5},
        {"negative sample period", board([](auto& b) { b.SamplePeriod = -4.0; }).Bytes(), -5},
        {"readout buffer of 4 GB", valid().U32(BD_WORD_READOUT_SIZE, 0, 0xFFFFFFFFu).Bytes(), -5},
        {"a billion events", valid().U32(BD_WORD_CHANNEL_EVENTS, 1, 1000000000u).Bytes(), -5},
        {"long traces on every event",
         valid().U32(BD_WORD_CHANNEL_EVENTS, 0, 100000).U32(BD_WORD_WAVE_SAMPLES, 0, 100000).Bytes(), -5},
        /* ten heap blocks per waveform cost far more than their samples */
        {"short traces on a million events a channel",
         valid()
             .U32(BD_WORD_CHANNEL_EVENTS, 0, 1000000)
             .U32(BD_WORD_CHANNEL_EVENTS, 1, 1000000)
             .U32(BD_WORD_WAVE_SAMPLES, 0, 1)
             .Bytes(),
         -5},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        WriteBytes(dir / "bad.dat", c.bytes);
        Reader reader;
        memset(&reader.header.brdparams, 0xAB, sizeof reader.header.brdparams); /* replaced by the open */
        EXPECT_EQ(reader.Open(dir / "bad.dat"), c.expected) << c.what;
        EXPECT_EQ(reader.dumper.file, nullptr) << c.what;
        EXPECT_EQ(c_bdopened(&reader.dumper), 0) << c.what;
        EXPECT_EQ(reader.header.brdparams, nullptr) << c.what;
    }
}

TEST(HeaderRead, RefusesMissingFilesAndArguments) {
    ScratchDir dir;
    Reader reader;
    EXPECT_EQ(reader.Open(dir / "absent.dat"), -1);
    EXPECT_EQ(c_bdopenr(NULL, &reader.header, "x"), -2);
    EXPECT_EQ(c_bdopenr(&reader.dumper, NULL, "x"), -2);
    EXPECT_EQ(c_bdopenr(&reader.dumper, &reader.header, NULL), -1);
}
