/* Writing raw-data files: names, argument bounds, the header's word list and
 * payloads, appending, and the numbering of successive files. */
#include <gtest/gtest.h>

#include <errno.h>
#include <math.h>
#include <signal.h>
#include <sys/resource.h>

#include "RawDataSupport.h"
#include "ZarnROBuffDumperRecords.h"

using namespace rawtest;

namespace {

struct Writer {
    c_ROBuffDumper_t dumper;
    Writer() { memset(&dumper, 0, sizeof dumper); }
    ~Writer() { c_bdclose(&dumper); }
};

std::vector<uint32_t> Meanings(const std::vector<uint8_t>& bytes, uint32_t count) {
    std::vector<uint32_t> meanings;
    for (uint32_t w = 1; w < count; w++)
        meanings.push_back(WordAt(bytes, w) >> 24);
    return meanings;
}

} // namespace

TEST(DumperWrite, NamesTheFileFromBaseAndIdAndCountsTheHeaderWords) {
    ScratchDir dir;
    FakeRecord record(16);
    record->descriptor.AnalogVTraces = 2;
    record->descriptor.DigitalVTraces = 2;
    Writer writer;
    ASSERT_EQ(c_bdopenw(record.get(), &writer.dumper, (dir / "run").c_str(), BD_MODE_CREATE, 20240102030405ull), 0);
    EXPECT_EQ(c_bdopened(&writer.dumper), 1);
    EXPECT_EQ(std::string(writer.dumper.fileName), dir / "run_20240102030405.dat");
    EXPECT_EQ(writer.dumper.id, 20240102030405ull);
    ASSERT_EQ(c_bdclose(&writer.dumper), 0);
    EXPECT_EQ(c_bdopened(&writer.dumper), 0);

    /* 1 + descriptor + readout size + 16 capacities + trace length + board
     * block + 16 channel blocks + 4 virtual-trace blocks. */
    std::vector<uint8_t> bytes = ReadBytes(dir / "run_20240102030405.dat");
    ASSERT_GE(bytes.size(), 41u * 4);
    EXPECT_EQ(WordAt(bytes, 0), 0x10000000u | 41u);
    std::vector<uint32_t> expected = {1, 2};
    expected.insert(expected.end(), 16, 3);
    expected.insert(expected.end(), {4, 5});
    expected.insert(expected.end(), 16, 6);
    expected.insert(expected.end(), 4, 8);
    EXPECT_EQ(Meanings(bytes, 41), expected);
    EXPECT_EQ(WordAt(bytes, 1), (1u << 24) | 872u);
    EXPECT_EQ(WordAt(bytes, 3 + 15), (3u << 24) | (15u << 18) | 4u); /* channel 15's capacity */
}

TEST(DumperWrite, RefusesBadArgumentsAtTheirBounds) {
    ScratchDir dir;
    FakeRecord record;
    std::string base = dir / "";
    std::string base200 = base + std::string(200 - base.size(), 'b');
    std::string base201 = base200 + "b";
    struct Case {
        const char* what;
        const char* base;
        uint32_t mode;
        uint64_t id;
        int expected;
    } cases[] = {
        {"base of 200 characters", base200.c_str(), BD_MODE_CREATE, 1, 0},
        {"base of 201 characters", base201.c_str(), BD_MODE_CREATE, 1, -7},
        {"largest id", base200.c_str(), BD_MODE_CREATE, 99999999999999ull, 0},
        {"id of 10^14", base200.c_str(), BD_MODE_CREATE, 100000000000000ull, -6},
        {"mode 0", base200.c_str(), 0, 1, -3},
        {"mode 3", base200.c_str(), 3, 1, -3},
        {"no base", NULL, BD_MODE_CREATE, 1, -2},
    };
    for (const Case& c : cases) {
        Writer writer;
        EXPECT_EQ(c_bdopenw(record.get(), &writer.dumper, c.base, c.mode, c.id), c.expected) << c.what;
        EXPECT_EQ(c_bdopened(&writer.dumper), c.expected == 0 ? 1 : 0) << c.what;
    }
    EXPECT_TRUE(std::filesystem::exists(base200 + "_99999999999999.dat"));
    EXPECT_EQ(c_bdopenw(record.get(), NULL, base200.c_str(), BD_MODE_CREATE, 1), -2);

    Writer writer;
    EXPECT_EQ(c_bdsetbf(&writer.dumper, base201.c_str()), -7);
    EXPECT_EQ(c_bdsetbf(&writer.dumper, base200.c_str()), 0);
    EXPECT_EQ(std::string(writer.dumper.baseName), base200);
    EXPECT_EQ(c_bdsetbf(NULL, "x"), -2);
    EXPECT_EQ(c_bdclose(NULL), -2);
    EXPECT_EQ(c_bdopened(NULL), 0);

    /* Counts the record's slots cannot hold give no header. */
    record->descriptor.NumChannels = 65;
    EXPECT_EQ(c_bdopenw(record.get(), &writer.dumper, (dir / "wide").c_str(), BD_MODE_CREATE, 1), -7);
}

TEST(DumperWrite, HeaderCarriesTheRecordAndEveryInstancesValues) {
    ScratchDir dir;
    FakeRecord record(2);
    c_BoardDescriptor_t& board = record->descriptor;
    board.NumGroups = 2;
    board.AnalogVTraces = 1;
    board.HVChannels = 1;
    record.Board(kBoardFirst + 0, 11.5);
    record.Board(kBoardFirst + 3, -7.25);
    record.Channel(0, kChannelFirst + 0, 1.0);
    record.Channel(0, kChannelFirst + 5, 55.0);
    record.Channel(1, kChannelFirst + 1, 2.0);
    record.Group(0, kGroupFirst + 2, 3.0); /* group 1 has no collection */
    record.VTrace(0, kVTraceFirst + 1, 4.0);
    record.HVChannel(0, kHVChannelFirst + 0, 900.0);
    record->hv[0].rangeCount = 2;
    record->hv[0].activeRange = 1;
    record.HVRange(0, 0, kHVRangeFirst + 0, 100.0);
    record.HVRange(0, 1, kHVRangeFirst + 0, 200.0); /* the active range */
    record.Events(0, 5, 100);
    record.Events(1, 3, 0);
    record.ReadoutBuffer(4096);

    Writer writer;
    ASSERT_EQ(c_bdopenw(record.get(), &writer.dumper, (dir / "values").c_str(), BD_MODE_CREATE, 7), 0);
    /* One full readout buffer: the reader bounds the sizes by the largest record. */
    std::vector<uint32_t> full(1024, 0);
    full[0] = 0xA0000400u;
    ASSERT_EQ(c_bdwriterecord(&writer.dumper, full.data(), 4096), 0);
    ASSERT_EQ(c_bdclose(&writer.dumper), 0);

    Reader reader;
    ASSERT_EQ(reader.Open(dir / "values_7.dat"), 0);
    const c_RawDataHeader_t& h = reader.header;
    EXPECT_EQ(memcmp(&h.descriptor, &record->descriptor, sizeof h.descriptor), 0);
    EXPECT_EQ(h.roSize, 4096u);
    EXPECT_EQ(h.eventsPerChannel[0], 5u);
    EXPECT_EQ(h.eventsPerChannel[1], 3u);
    EXPECT_EQ(h.waveSamples, 100u);
    EXPECT_EQ(reader.dumper.headerWordCount, writer.dumper.headerWordCount);

    const size_t blockBytes = kCollectionSize * sizeof(double);
    ASSERT_NE(h.brdparams, nullptr);
    EXPECT_EQ(c_malloc_size(h.brdparams), blockBytes);
    EXPECT_EQ(h.brdparams[0], 11.5);
    EXPECT_EQ(h.brdparams[3], -7.25);
    EXPECT_EQ(h.brdparams[1], -1.0); /* no parameter of that code */
    EXPECT_EQ(h.chparams[0][0], 1.0);
    EXPECT_EQ(h.chparams[0][5], 55.0);
    EXPECT_EQ(h.chparams[1][1], 2.0);
    EXPECT_EQ(h.chparams[1][0], -1.0);
    EXPECT_EQ(h.grparams[0][2], 3.0);
    /* An instance without parameters still gets a whole block, so the file
     * stays readable past it. */
    ASSERT_NE(h.grparams[1], nullptr);
    EXPECT_EQ(c_malloc_size(h.grparams[1]), blockBytes);
    for (int32_t i = 0; i < kCollectionSize; i++)
        EXPECT_EQ(h.grparams[1][i], -1.0);
    EXPECT_EQ(h.vtparams[0][1], 4.0);
    EXPECT_EQ(h.hvchparams[0][0], 900.0);
    EXPECT_EQ(h.hvrangeparams[0][0], 200.0);
    EXPECT_EQ(h.lgparams[0], nullptr); /* no LVDS groups */

    /* Data start right after the header. */
    std::vector<char> bytes(4096);
    c_ReadoutBuffer_t buffer = {bytes.data(), 4096, 0, ROBUF_ALLOC_NONE};
    EXPECT_EQ(c_bdreadrecord(&reader.dumper, &buffer, 11), 0);
    EXPECT_EQ(memcmp(bytes.data(), full.data(), 4096), 0);
    EXPECT_EQ(c_bdreadrecord(&reader.dumper, &buffer, 11), BD_END_OF_FILE);
}

TEST(DumperWrite, AppendingKeepsOneHeader) {
    ScratchDir dir;
    FakeRecord record(1);
    const uint32_t recordWords[] = {0xA0000004u, 1, 2, 3};
    std::string base = dir / "append";
    std::string path = base + "_5.dat";
    size_t headerBytes = 0;
    for (int pass = 0; pass < 2; pass++) {
        Writer writer;
        ASSERT_EQ(c_bdopenw(record.get(), &writer.dumper, base.c_str(), BD_MODE_APPEND, 5), 0);
        if (pass == 0)
            headerBytes = (size_t)ftell(writer.dumper.file); /* a new file gets its header */
        ASSERT_EQ(c_bdwriterecord(&writer.dumper, recordWords, sizeof recordWords), 0);
        ASSERT_EQ(c_bdclose(&writer.dumper), 0);
    }
    EXPECT_EQ(std::filesystem::file_size(path), headerBytes + 2 * (4 + sizeof recordWords));

    Reader reader;
    ASSERT_EQ(reader.Open(path), 0);
    char bytes[64];
    c_ReadoutBuffer_t buffer = {bytes, sizeof bytes, 0, ROBUF_ALLOC_NONE};
    EXPECT_EQ(c_bdreadrecord(&reader.dumper, &buffer, 11), 0);
    EXPECT_EQ(c_bdreadrecord(&reader.dumper, &buffer, 11), 0);
    EXPECT_EQ(buffer.ROBytes, sizeof recordWords);
    EXPECT_EQ(c_bdreadrecord(&reader.dumper, &buffer, 11), BD_END_OF_FILE);

    /* Mode 1 truncates. */
    Writer writer;
    ASSERT_EQ(c_bdopenw(record.get(), &writer.dumper, base.c_str(), BD_MODE_CREATE, 5), 0);
    ASSERT_EQ(c_bdclose(&writer.dumper), 0);
    EXPECT_EQ(std::filesystem::file_size(path), headerBytes);
}

TEST(DumperWrite, NextFileNeverReusesTheNameOfThePreviousOne) {
    ScratchDir dir;
    FakeRecord record(1);
    Writer writer;
    EXPECT_EQ(c_bdnext(record.get(), &writer.dumper, BD_MODE_CREATE), -2); /* no base name yet */
    EXPECT_EQ(c_bdnext(record.get(), NULL, BD_MODE_CREATE), -2);
    ASSERT_EQ(c_bdsetbf(&writer.dumper, (dir / "next").c_str()), 0);

    uint64_t before = c_getCurrentTimeRepresentation();
    const uint32_t recordWords[] = {0xA0000004u, 0, 0, 0};
    ASSERT_EQ(c_bdnext(record.get(), &writer.dumper, BD_MODE_CREATE), 0);
    std::string first = writer.dumper.fileName;
    uint64_t firstId = writer.dumper.id;
    EXPECT_GE(firstId, before);
    EXPECT_EQ(first, (dir / "next_") + std::to_string(firstId) + ".dat");
    ASSERT_EQ(c_bdwriterecord(&writer.dumper, recordWords, sizeof recordWords), 0);

    /* Within the same second: a new name, and the first file keeps its data. */
    ASSERT_EQ(c_bdnext(record.get(), &writer.dumper, BD_MODE_CREATE), 0);
    uintmax_t firstSize = std::filesystem::file_size(first);
    EXPECT_GT(writer.dumper.id, firstId);
    EXPECT_NE(std::string(writer.dumper.fileName), first);
    ASSERT_EQ(c_bdclose(&writer.dumper), 0);
    EXPECT_EQ(std::filesystem::file_size(first), firstSize);
    EXPECT_EQ(firstSize, std::filesystem::file_size(writer.dumper.fileName) + 4 + sizeof recordWords);
}

TEST(DumperWrite, RecordingFollowsTheRecordsSwitchAndWriterState) {
    ScratchDir dir;
    FakeRecord record(1);
    record.ReadoutBuffer(64);
    const uint32_t words[] = {0xA0000004u, 9, 9, 9};
    memcpy(record->roBuffer.ROBuf, words, sizeof words);
    record->roBuffer.ROBytes = sizeof words;

    EXPECT_EQ(c_bddumpbuffer(record.get()), 0); /* writer closed: nothing due */
    ASSERT_EQ(c_bdopenw(record.get(), &record->writer, (dir / "dump").c_str(), BD_MODE_CREATE, 1), 0);
    uintmax_t header = (uintmax_t)ftell(record->writer.file);
    record->dumpEnabled = 0;
    EXPECT_EQ(c_bddumpbuffer(record.get()), 0);
    record->dumpEnabled = 1;
    EXPECT_EQ(c_bddumpbuffer(record.get()), 0);
    record->roBuffer.ROBytes = 0; /* a read that brought nothing */
    EXPECT_EQ(c_bddumpbuffer(record.get()), 0);
    ASSERT_EQ(c_bdclose(&record->writer), 0);
    EXPECT_EQ(std::filesystem::file_size(dir / "dump_1.dat"), header + 4 + sizeof words);
}

/* A disk that fills while recording, as a file-size limit makes it (SIGXFSZ
 * ignored: a write past the limit fails with EFBIG, as one to a full disk
 * fails with ENOSPC). The limited writes run in a child process; what they
 * returned comes back in its exit code, one bit per check. */
TEST(DumperWrite, AFullDiskFailsTheHeaderOrCutsTheRecordingOnceAndTheCloseReportsIt) {
    ScratchDir dir;
    FakeRecord record(2);
    std::string base = dir / "full";
    Writer probe;
    ASSERT_EQ(c_bdopenw(record.get(), &probe.dumper, base.c_str(), BD_MODE_CREATE, 9), 0);
    ASSERT_EQ(c_bdclose(&probe.dumper), 0);
    const rlim_t header = (rlim_t)std::filesystem::file_size(base + "_9.dat");
    std::vector<uint32_t> words(16, 0);
    words[0] = 0xA0000010u;
    const size_t recordBytes = 4 + words.size() * 4;
    const rlim_t limit = header + 10 * recordBytes + 20; /* ten whole records and part of one */
    const int kRecords = 500;                            /* far more than the stream's buffer holds */

    auto limitedRun = [&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit size = {header - 1, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &size);
        int failed = 0;
        Writer writer;
        /* 1: the header does not fit: the open fails, with the reason kept */
        if (c_bdopenw(record.get(), &writer.dumper, base.c_str(), BD_MODE_CREATE, 1) != -5 ||
            writer.dumper.writeErrno != EFBIG)
            failed |= 1;
        size.rlim_cur = header;
        setrlimit(RLIMIT_FSIZE, &size);
        /* 2: the header fits and one record waits in the stream's buffer: the
         * close's flush fails and the close says so */
        if (c_bdopenw(record.get(), &writer.dumper, base.c_str(), BD_MODE_CREATE, 2) != 0 ||
            writer.dumper.writeError != 0 || c_bdwriterecord(&writer.dumper, words.data(), 64) != 0 ||
            c_bdclose(&writer.dumper) != -5 || writer.dumper.writeErrno != EFBIG)
            failed |= 2;
        size.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &size);
        /* 3: records until the disk is full: the first failed write and every
         * one after it answer -5; the close reports the cut file */
        if (c_bdopenw(record.get(), &writer.dumper, base.c_str(), BD_MODE_CREATE, 3) != 0)
            failed |= 4;
        int firstFailure = -1;
        for (int i = 0; i < kRecords; i++) {
            int result = c_bdwriterecord(&writer.dumper, words.data(), 64);
            if (result != 0 && firstFailure < 0)
                firstFailure = i;
            if ((result != 0) != (firstFailure >= 0 && i >= firstFailure) || (result != 0 && result != -5))
                failed |= 8;
        }
        if (firstFailure < 0 || c_bdclose(&writer.dumper) != -5 || writer.dumper.writeErrno != EFBIG)
            failed |= 16;
        /* 4: the next file starts clean */
        size.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &size);
        if (c_bdopenw(record.get(), &writer.dumper, base.c_str(), BD_MODE_CREATE, 4) != 0 ||
            writer.dumper.writeError != 0 || c_bdwriterecord(&writer.dumper, words.data(), 64) != 0 ||
            c_bdclose(&writer.dumper) != 0)
            failed |= 32;
        _exit(failed);
    };
    EXPECT_EXIT(limitedRun(), ::testing::ExitedWithCode(0), "");

    /* One line for the failed recording, with the reason; none per write. */
    std::string log;
    {
        std::ifstream in(dir / "ZarnROBuffDumperLog.txt");
        log.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
            n++;
        return n;
    };
    EXPECT_EQ(count("Can't write buffer"), 1u) << log;
    EXPECT_EQ(count("Can't write the header of " + base + "_1.dat (" + strerror(EFBIG) + ")"), 1u) << log;
    EXPECT_EQ(count("Can't write the last bytes of " + base + "_2.dat (" + strerror(EFBIG) + ")"), 1u) << log;
    EXPECT_EQ(count(base + "_3.dat: " + strerror(EFBIG)), 1u) << log;

    /* The cut file holds whole records up to the limit and one cut record at
     * most: its replay reads every whole one. */
    EXPECT_EQ(std::filesystem::file_size(base + "_3.dat"), limit);
    Reader reader;
    ASSERT_EQ(reader.Open(base + "_3.dat"), 0);
    char bytes[64];
    c_ReadoutBuffer_t buffer = {bytes, sizeof bytes, 0, ROBUF_ALLOC_NONE};
    int whole = 0;
    while (c_bdreadrecord(&reader.dumper, &buffer, 11) == 0)
        whole++;
    EXPECT_EQ(whole, 10);
    EXPECT_EQ(std::filesystem::file_size(base + "_4.dat"), header + recordBytes);
}
