/* Seeded, time-bounded fuzzing of the raw-data readers: random files and
 * mutations of well-formed ones go through the header reader and then the
 * record reader. Nothing may crash, read out of bounds or leak (the
 * sanitizers watch), and whatever opens must hold counts the record can use. */
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "RawDataSupport.h"
#include "ZarnROBuffDumperRecords.h"
#include "ZarnSimulator.h"

using namespace rawtest;

namespace {

/* Fixed seed and budget; RAWDATA_FUZZ_SEED and RAWDATA_FUZZ_MS override them
 * for a longer exploration by hand. */
constexpr int kMaxIterations = 1000000;
/* Rounds run whatever the time budget: on a busy machine a budget alone
 * would leave too few rounds to exercise both outcomes. */
constexpr int kMinIterations = 400;
bool KeepGoing(int i, std::chrono::steady_clock::time_point start, std::chrono::milliseconds budget) {
    return i < kMinIterations || (i < kMaxIterations && std::chrono::steady_clock::now() - start < budget);
}
uint32_t FuzzSeed() {
    const char* text = getenv("RAWDATA_FUZZ_SEED");
    return text != NULL ? (uint32_t)strtoul(text, NULL, 0) : 0x5EED1109u;
}
std::chrono::milliseconds TimeBudget() {
    const char* text = getenv("RAWDATA_FUZZ_MS");
    return std::chrono::milliseconds(text != NULL ? strtoul(text, NULL, 0) : 1000);
}

/* A well-formed file written by the library itself from a record with
 * values in several categories, followed by a few data records. */
std::vector<uint8_t> RecordedSeed(const ScratchDir& dir) {
    FakeRecord record(4);
    record->descriptor.NumGroups = 1;
    record->descriptor.AnalogVTraces = 1;
    record->descriptor.HVChannels = 1;
    record.Board(kBoardFirst + 1, 3.0);
    for (int ch = 0; ch < 4; ch++)
        record.Channel(ch, kChannelFirst + ch, ch);
    record.Group(0, kGroupFirst, 1.0);
    record.HVChannel(0, kHVChannelFirst, 2.0);
    record.Events(0, 4, 16);
    record.ReadoutBuffer(256);
    c_ROBuffDumper_t writer;
    memset(&writer, 0, sizeof writer);
    EXPECT_EQ(c_bdopenw(record.get(), &writer, (dir / "seed").c_str(), BD_MODE_CREATE, 1), 0);
    const uint32_t data[][4] = {{0xA0000004u, 1, 2, 3}, {0xA0000003u, 0xFF, 0, 0}, {0xE0000004u, 9, 8, 7}};
    for (const auto& words : data)
        c_bdwriterecord(&writer, words, sizeof words);
    c_bdclose(&writer);
    return ReadBytes(dir / "seed_1.dat");
}

std::vector<uint8_t> HandSeed() {
    return FileBuilder()
        .Descriptor(SmallBoard(2))
        .U32(BD_WORD_READOUT_SIZE, 0, 128)
        .U32(BD_WORD_CHANNEL_EVENTS, 1, 8)
        .Values(BD_WORD_BOARD_PARAMS, 0, {1, 2})
        .Values(BD_WORD_HVRANGE_PARAMS, 1, {3})
        .Record({0x5B900002u, 1})
        .Record({0xA0000002u, 2})
        .Bytes();
}

/* Values that sit on the readers' limits. */
uint32_t InterestingWord(std::mt19937& rng) {
    static const uint32_t words[] = {0,           1,           4,           0xFFFFFFFFu, 0x7FFFFFFFu, 0x10000000u,
                                     0x10000001u, 0x10000100u, 0x10000101u, 0x20000002u, 0x01000368u, 0x05FFFFF8u,
                                     0x09200008u, 0x0B080008u, 0x0E000004u, 0x03FC0004u, 0x5B900002u, 0xA0000002u};
    return words[rng() % (sizeof words / sizeof words[0])];
}

std::vector<uint8_t> Mutate(const std::vector<uint8_t>& seed, std::mt19937& rng) {
    std::vector<uint8_t> bytes = seed;
    switch (rng() % 5) {
    case 0: /* flip a few bytes anywhere */
        for (uint32_t n = 1 + rng() % 8; n > 0 && !bytes.empty(); n--)
            bytes[rng() % bytes.size()] ^= (uint8_t)(1 + rng() % 255);
        break;
    case 1: { /* a limit value over an aligned word, mostly in the header */
        size_t words = bytes.size() / 4;
        size_t span = std::min<size_t>(words, rng() % 2 ? 64 : words);
        if (span > 0) {
            uint32_t word = InterestingWord(rng);
            memcpy(&bytes[4 * (rng() % span)], &word, 4);
        }
        break;
    }
    case 2: /* cut anywhere */ bytes.resize(bytes.empty() ? 0 : rng() % bytes.size()); break;
    case 3: { /* random bytes behind a plausible first word */
        bytes.assign(rng() % 2048, 0);
        for (uint8_t& b : bytes)
            b = (uint8_t)rng();
        if (bytes.size() >= 4) {
            uint32_t first = 0x10000000u | (rng() % 300);
            memcpy(bytes.data(), &first, 4);
        }
        break;
    }
    default: /* bytes spliced in or removed */
        if (!bytes.empty()) {
            size_t at = rng() % bytes.size();
            if (rng() % 2)
                bytes.erase(bytes.begin() + (long)at,
                            bytes.begin() + (long)std::min(bytes.size(), at + 1 + rng() % 16));
            else
                bytes.insert(bytes.begin() + (long)at, 1 + rng() % 16, (uint8_t)rng());
        }
        break;
    }
    return bytes;
}

/* Reads every record of an opened file into a buffer of the header's size
 * (bounded), as a replay would. */
void ReadRecords(Reader& reader, std::mt19937& rng) {
    uint32_t capacity = std::min<uint32_t>(reader.header.roSize, 1u << 16);
    std::vector<char> memory(capacity + 1);
    c_ReadoutBuffer_t buffer = {memory.data(), capacity, 0, ROBUF_ALLOC_NONE};
    uint32_t family = rng() % 4 == 0 ? 6111 : reader.header.descriptor.FamilyCode;
    for (int reads = 0; reads < 64; reads++) {
        int result = c_bdreadrecord(&reader.dumper, &buffer, family);
        ASSERT_LE(buffer.ROBytes, capacity);
        if (result == BD_END_OF_FILE)
            return;
        ASSERT_TRUE(result == 0 || result == DPPL_ERR_READ_DATA) << result;
        ASSERT_EQ(result == 0, buffer.ROBytes > 0);
    }
}

} // namespace

TEST(RawDataFuzz, RandomAndCorruptedFilesNeverBreakTheReaders) {
    ScratchDir dir;
    const std::vector<uint8_t> seeds[] = {RecordedSeed(dir), HandSeed()};
    std::mt19937 rng(FuzzSeed());
    std::string path = dir / "fuzz.dat";
    int opened = 0, refused = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; KeepGoing(i, start, TimeBudget()); i++) {
        WriteBytes(path, Mutate(seeds[i % 2], rng));
        Reader reader;
        int result = reader.Open(path);
        if (result != 0) {
            ASSERT_TRUE(result >= -5 && result <= -1) << result;
            ASSERT_EQ(reader.dumper.file, nullptr);
            refused++;
            continue;
        }
        opened++;
        const c_BoardDescriptor_t& board = reader.header.descriptor;
        ASSERT_LE(board.NumChannels, DPPL_MAX_CHANNELS);
        ASSERT_LE(board.NumGroups, DPPL_MAX_GROUPS);
        ASSERT_LE(board.HVChannels, (uint32_t)DPPL_MAX_HV_CHANNELS);
        ASSERT_LE((uint64_t)board.AnalogVTraces + board.DigitalVTraces, (uint64_t)DPPL_MAX_VTRACES);
        ReadRecords(reader, rng);
        if (HasFatalFailure())
            return;
    }
    RecordProperty("opened", opened);
    RecordProperty("refused", refused);
    /* Both outcomes were exercised. */
    EXPECT_GT(opened, 100);
    EXPECT_GT(refused, 100);
}

namespace {

/* A short run of a simulated board, recorded by the library. */
std::vector<uint8_t> RecordedRun(const ScratchDir& dir, const c_ConnParams_t& params, size_t* headerBytes) {
    c_Digitizer_t* live = new c_Digitizer_t;
    _resetDgtz(live);
    std::vector<uint8_t> bytes;
    if (c_newDigitizer(live, &params) == 0) {
        ZarnSim_SetClockMode(live->descriptor.CommHandle, ZARN_SIM_CLOCK_AS_FAST_AS_READ);
        /* Reads of 4 board aggregates keep the seed, and so each fuzzing
         * round, small whatever the board's default. */
        EXPECT_EQ(c_pset(live, c_pfind(live, DPPL_PARAM_NABLT), 4), 0);
        EXPECT_EQ(c_bdopenw(live, &live->writer, (dir / "run").c_str(), BD_MODE_CREATE, 1), 0);
        *headerBytes = (size_t)ftell(live->writer.file);
        std::string path = live->writer.fileName;
        live->dumpEnabled = 1;
        EXPECT_EQ(c_bstarta(live), 0);
        for (int i = 0; i < 8; i++)
            EXPECT_EQ(c_getDPPEvents(live, NULL), 0);
        live->dumpEnabled = 0;
        c_bdclose(&live->writer);
        bytes = ReadBytes(path);
    }
    c_freeDgtz(live);
    delete live;
    return bytes;
}

/* Corrupts the data records only, so that the file still opens. */
std::vector<uint8_t> MutateRecords(const std::vector<uint8_t>& file, size_t headerBytes, std::mt19937& rng) {
    std::vector<uint8_t> bytes = file;
    size_t span = bytes.size() - headerBytes;
    switch (rng() % 3) {
    case 0:
        for (uint32_t n = 1 + rng() % 8; n > 0; n--)
            bytes[headerBytes + rng() % span] ^= (uint8_t)(1 + rng() % 255);
        break;
    case 1: {
        uint32_t word = rng() % 2 ? InterestingWord(rng) : (uint32_t)rng();
        size_t at = headerBytes + 4 * (rng() % (span / 4));
        memcpy(&bytes[at], &word, 4);
        break;
    }
    default: bytes.resize(headerBytes + rng() % span); break;
    }
    return bytes;
}

} // namespace

/* Corrupted buffers go through the whole readout of a replay record:
 * record reader, walker and decoders. Every read ends in a status. The
 * replay record is opened once on the intact file; each corrupted copy (same
 * header, so the same data start) then takes the place of its file. */
TEST(RawDataFuzz, CorruptedRecordsNeverBreakTheReplayReadout) {
    ScratchDir dir;
    const c_ConnParams_t boards[] = {{0, 0, 0, 0, ""}, {1, 0, 0, 0, ""}}; /* orlu-pha, pemb-psd-11 */
    std::mt19937 rng(FuzzSeed() + 1);
    int failedReads = 0, files = 0;
    for (const c_ConnParams_t& board : boards) {
        size_t headerBytes = 0;
        std::vector<uint8_t> run = RecordedRun(dir, board, &headerBytes);
        ASSERT_GT(run.size(), headerBytes + 64);
        std::string intact = dir / "intact.dat", corrupted = dir / "corrupted.dat";
        WriteBytes(intact, run);
        c_Digitizer_t* replay = new c_Digitizer_t;
        _resetDgtz(replay);
        ASSERT_EQ(c_newFileDigitizer(replay, intact.c_str()), 0);
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; KeepGoing(i, start, TimeBudget() / 2); i++, files++) {
            WriteBytes(corrupted, MutateRecords(run, headerBytes, rng));
            replay->reader.file = freopen(corrupted.c_str(), "rb", replay->reader.file);
            ASSERT_NE(replay->reader.file, nullptr);
            ASSERT_EQ(c_bstopa(replay), 0); /* back to the data start */
            ASSERT_EQ(c_bstarta(replay), 0);
            for (int reads = 0; reads < 64; reads++) {
                int32_t bytes = -1;
                int result = c_getDPPEvents(replay, &bytes);
                ASSERT_LE(result, 0);
                ASSERT_GE(bytes, 0);
                ASSERT_LE((uint32_t)bytes, replay->roBuffer.ROAllocSize);
                for (uint32_t ch = 0; ch < replay->descriptor.NumChannels; ch++)
                    ASSERT_LE(replay->channels[ch].nEvents, replay->channels[ch].capacity);
                failedReads += result != 0;
                if (result == 0 && bytes == 0)
                    break; /* the end */
            }
        }
        c_freeDgtz(replay);
        delete replay;
    }
    RecordProperty("files", files);
    RecordProperty("failedReads", failedReads);
    EXPECT_GT(failedReads, 100); /* the corruption was seen */
}
