// Readout: block-read protocol, readout buffers, interrupt wait, flush,
// clear, stop, and formats without an encoder.
#include "SimBoardTestSupport.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

using namespace simtest;

namespace {

class SimBoardReadout : public ::testing::Test {
protected:
    void SetUp() override {
        ZarnSim_ResetFaults();
        ASSERT_EQ(0, board.result);
        ASSERT_EQ(0, ZarnSim_SetClockMode(board.link, ZARN_SIM_CLOCK_MANUAL));
        ZarnSim_SetSeed(board.link, 42);
    }
    void TearDown() override { ZarnSim_ResetFaults(); }
    void Write(uint32_t address, uint32_t value) {
        EXPECT_EQ(0, ZARN_DGTZ_WriteRegister(board.handle, address, value));
    }
    uint32_t Read(uint32_t address) {
        uint32_t value = 0;
        EXPECT_EQ(0, ZARN_DGTZ_ReadRegister(board.handle, address, &value));
        return value;
    }
    void Run(uint64_t ns) {
        ASSERT_EQ(0, ZARN_DGTZ_SWStartAcquisition(board.handle));
        ZarnSim_AdvanceClock(board.link, ns);
    }
    uint64_t Generated(uint32_t channels) {
        uint64_t total = 0;
        for (uint32_t c = 0; c < channels; ++c) {
            uint64_t g = 0, p = 0, l = 0;
            ZarnSim_GetChannelCounts(board.link, c, &g, &p, &l);
            total += g - l;
        }
        return total;
    }
    TestEncoderScope encoder{128};
    OpenBoard board{0, 0};
};

TEST_F(SimBoardReadout, TransfersCarryWholeAggregatesUpToTheTransferCount) {
    Write(0xEF1C, 3);
    Run(200'000'000); // 0.2 s at 1000 counts/s on 8 channels: ~100 aggregates of 16 events
    size_t transfers = 0;
    Decoded all;
    for (;;) {
        std::vector<uint32_t> words = ReadTransfer(board.link, 1u << 16);
        if (words.empty())
            break;
        ++transfers;
        Decoded d = DecodeBuffer(words.data(), words.size());
        EXPECT_TRUE(d.wellFormed);
        EXPECT_LE(d.aggregates, 3u);
        all.aggregates += d.aggregates;
        all.events.insert(all.events.end(), d.events.begin(), d.events.end());
        all.counters.insert(all.counters.end(), d.counters.begin(), d.counters.end());
    }
    // ~100 channel aggregates, up to 8 (one per channel) in a board aggregate
    EXPECT_GE(transfers, 4u);
    EXPECT_GE(all.aggregates, 12u);
    for (size_t i = 0; i < all.counters.size(); ++i)
        EXPECT_EQ(i, all.counters[i]) << "aggregate counter";
    for (const TestEvent& e : all.events)
        EXPECT_LT(e.channel, 8u);
    // every aggregate carries 16 events of one channel; the rest waits in open aggregates
    EXPECT_EQ(0u, all.events.size() % 16);
    uint32_t words = 0;
    uint32_t word = 0;
    EXPECT_EQ(ZARN_COMM_NoMoreData, ZarnComm_MBLTRead(board.link, 0, &word, 1, &words));
    EXPECT_EQ(0u, words);
}

TEST_F(SimBoardReadout, SmallReadsEndTheTransferInsteadOfCuttingAnAggregate) {
    Write(0x8120, 0x1);
    Run(100'000'000);
    std::vector<uint32_t> whole = ReadTransfer(board.link, 1u << 16);
    ASSERT_FALSE(whole.empty());
    uint32_t size = whole[0] & 0x0FFFFFFF;
    Run(100'000'000);
    std::vector<uint32_t> buffer(size + size / 2);
    uint32_t words = 0;
    int result = ZarnComm_MBLTRead(board.link, 0, buffer.data(), size + size / 2, &words);
    EXPECT_EQ(ZARN_COMM_NoMoreData, result) << "the next aggregate would not fit";
    EXPECT_EQ(size, words);
    result = ZarnComm_MBLTRead(board.link, 0, buffer.data(), size - 1, &words);
    EXPECT_EQ(ZARN_COMM_NoMoreData, result);
    EXPECT_EQ(0u, words);
    EXPECT_EQ(ZARN_COMM_InvalidParam, ZarnComm_MBLTRead(board.link, 4, buffer.data(), size, &words));
    EXPECT_EQ(ZARN_COMM_InvalidParam, ZarnComm_MBLTRead(board.link, 0, nullptr, size, &words));
}

TEST_F(SimBoardReadout, ReadDataStaysWithinTheBufferAndStopLosesNothing) {
    char* buffer = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(0, ZARN_DGTZ_MallocReadoutBuffer(board.handle, &buffer, &size));
    ASSERT_NE(nullptr, buffer);
    EXPECT_GE(size, 4u * (4 + 8 * (2 + 16 * 5)) * 4) << "room for a full transfer";
    std::memset(buffer, 0x5A, size);
    Run(50'000'000);
    ASSERT_EQ(0, ZARN_DGTZ_SWStopAcquisition(board.handle)); // closes the open aggregates
    size_t events = 0;
    for (int i = 0; i < 1000; ++i) {
        uint32_t bytes = 0;
        ASSERT_EQ(0, ZARN_DGTZ_ReadData(board.handle, 0, buffer, &bytes));
        ASSERT_LE(bytes, size);
        ASSERT_EQ(0u, bytes % 4);
        if (bytes == 0)
            break;
        uint32_t wordsRead = bytes / 4;
        std::vector<uint32_t> words(wordsRead);
        std::memcpy(words.data(), buffer, bytes);
        Decoded d = DecodeBuffer(words.data(), words.size());
        EXPECT_TRUE(d.wellFormed);
        events += d.events.size();
    }
    EXPECT_EQ(Generated(8), events);
    EXPECT_GT(events, 300u);

    uint32_t bytes = 0;
    char other[16];
    EXPECT_EQ(ZARN_DGTZ_InvalidBuffer, ZARN_DGTZ_ReadData(board.handle, 0, other, &bytes));
    EXPECT_EQ(ZARN_DGTZ_InvalidParam, ZARN_DGTZ_ReadData(board.handle, 1, buffer, &bytes));
    EXPECT_EQ(0, ZARN_DGTZ_FreeReadoutBuffer(&buffer));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(0, ZARN_DGTZ_FreeReadoutBuffer(&buffer)) << "freeing nothing is harmless";
    char* stranger = other;
    EXPECT_EQ(ZARN_DGTZ_InvalidBuffer, ZARN_DGTZ_FreeReadoutBuffer(&stranger));
}

TEST_F(SimBoardReadout, BufferOutlivesTheBoardAndFollowsTheRegisters) {
    char* small = nullptr;
    char* large = nullptr;
    uint32_t smallSize = 0, largeSize = 0;
    ASSERT_EQ(0, ZARN_DGTZ_MallocReadoutBuffer(board.handle, &small, &smallSize));
    Write(0x8000, (1u << 16) | 0x100); // waveforms on
    Write(0xEF1C, 8);
    ASSERT_EQ(0, ZARN_DGTZ_MallocReadoutBuffer(board.handle, &large, &largeSize));
    EXPECT_GT(largeSize, 8u * 16 * 1000 * 4) << "8 aggregates of 16 events of 1000 samples per channel";
    EXPECT_LT(smallSize, largeSize);
    ASSERT_EQ(0, ZARN_DGTZ_CloseDigitizer(board.handle));
    board.result = -1;
    EXPECT_EQ(0, ZARN_DGTZ_FreeReadoutBuffer(&small));
    EXPECT_EQ(0, ZARN_DGTZ_FreeReadoutBuffer(&large));
}

TEST_F(SimBoardReadout, FlushClearAndAutomaticFlush) {
    Write(0x8120, 0x1);
    Run(5'000'000); // about 5 events: less than one aggregate
    std::vector<uint32_t> words = ReadTransfer(board.link, 4096);
    EXPECT_TRUE(words.empty()) << "an open aggregate is not read";
    Write(0x8190, 1); // manual flush
    words = ReadTransfer(board.link, 4096);
    Decoded d = DecodeBuffer(words.data(), words.size());
    EXPECT_EQ(Generated(1), d.events.size());

    ZarnSim_AdvanceClock(board.link, 100'000'000);
    Write(0x8190, 1);
    ASSERT_EQ(0, ZARN_DGTZ_ClearData(board.handle));
    EXPECT_TRUE(ReadTransfer(board.link, 1u << 16).empty()) << "clear drops waiting data";

    Write(0x8000, Read(0x8000) | 0x1); // automatic flush: a quiet board hands over what it has
    ZarnSim_AdvanceClock(board.link, 3'000'000);
    words = ReadTransfer(board.link, 4096);
    EXPECT_FALSE(words.empty());
}

TEST_F(SimBoardReadout, SoftwareTriggerMakesOneEventPerRunningChannel) {
    ZarnSim_SetRate(board.link, -1, 0);
    Write(0x8120, 0x5);
    Write(0x8034, 1); // one event per aggregate
    ASSERT_EQ(0, ZARN_DGTZ_SendSWtrigger(board.handle));
    EXPECT_TRUE(ReadTransfer(board.link, 4096).empty()) << "a stopped board ignores triggers";
    Run(1000);
    ASSERT_EQ(0, ZARN_DGTZ_SendSWtrigger(board.handle));
    std::vector<uint32_t> words = ReadTransfer(board.link, 4096);
    Decoded d = DecodeBuffer(words.data(), words.size());
    ASSERT_EQ(2u, d.events.size());
    EXPECT_EQ(0u, d.events[0].channel);
    EXPECT_EQ(2u, d.events[1].channel);
    EXPECT_TRUE(d.events[0].flags & ZARN_SIM_EVENT_SOFTWARE);
    EXPECT_EQ(1u, d.aggregates) << "both channel aggregates in one board aggregate";
}

TEST_F(SimBoardReadout, CutBlockReadAnswersTheInjectedCode) {
    Write(0x8034, 4);
    Run(100'000'000);
    ASSERT_EQ(0, ZarnSim_CutNextBlockRead(board.link, 10, ZARN_COMM_BusError));
    std::vector<uint32_t> buffer(1u << 16);
    uint32_t words = 0;
    EXPECT_EQ(ZARN_COMM_BusError, ZarnComm_MBLTRead(board.link, 0, buffer.data(), 1u << 16, &words));
    EXPECT_EQ(10u, words);
    std::vector<uint32_t> next = ReadTransfer(board.link, 1u << 16);
    EXPECT_TRUE(DecodeBuffer(next.data(), next.size()).wellFormed) << "later reads are whole again";
}

TEST_F(SimBoardReadout, InterruptWaitAnswersDataOrTimeOut) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ZARN_COMM_Timeout, ZarnComm_IRQWait(board.link, 30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    Run(100'000'000);
    EXPECT_EQ(0, ZarnComm_IRQWait(board.link, 1000));
    EXPECT_EQ(ZARN_COMM_Success, ZarnComm_IRQWait(board.link, 0));
}

TEST_F(SimBoardReadout, WallClockDeliversInRealTime) {
    ZarnSim_SetClockMode(board.link, ZARN_SIM_CLOCK_WALL);
    Write(0x8034, 1);
    ZarnSim_SetRate(board.link, -1, 2000);
    ASSERT_EQ(0, ZARN_DGTZ_SWStartAcquisition(board.handle));
    EXPECT_EQ(0, ZarnComm_IRQWait(board.link, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(0, ZARN_DGTZ_SWStopAcquisition(board.handle));
    Decoded d = DrainBoard(board.link);
    // 8 channels x 2000/s x a little over 0.1 s, not what a free-running clock would give
    EXPECT_GT(d.events.size(), 800u);
    EXPECT_LT(d.events.size(), 40000u);
}

extern "C" const ZarnSim_Encoder_t ZarnSim_OrluPHAEncoder;

TEST(SimBoardFormats, FormatWithoutEncoderYieldsNoData) {
    // Take the default board's format encoder away for this test only.
    ASSERT_EQ(0, ZarnSim_RegisterEncoder(128, nullptr));
    struct Restore {
        ~Restore() { ZarnSim_RegisterEncoder(128, &ZarnSim_OrluPHAEncoder); }
    } restore;
    OpenBoard board(0, 0);
    ASSERT_EQ(0, board.result);
    ZarnSim_SetClockMode(board.link, ZARN_SIM_CLOCK_MANUAL);
    ASSERT_EQ(0, ZARN_DGTZ_SWStartAcquisition(board.handle));
    ZarnSim_AdvanceClock(board.link, 100'000'000);
    EXPECT_TRUE(ReadTransfer(board.link, 1u << 16).empty());
    uint64_t generated = 0;
    ZarnSim_GetChannelCounts(board.link, 0, &generated, nullptr, nullptr);
    EXPECT_GT(generated, 50u) << "the source runs; nothing carries its events";
    EXPECT_EQ(0, ZARN_DGTZ_SWStopAcquisition(board.handle));
    EXPECT_TRUE(ReadTransfer(board.link, 1u << 16).empty());
}

TEST(SimBoardFormats, AsFastAsReadFillsEveryTransfer) {
    TestEncoderScope encoder(128);
    OpenBoard board(0, 0);
    ASSERT_EQ(0, board.result);
    ZarnSim_SetClockMode(board.link, ZARN_SIM_CLOCK_AS_FAST_AS_READ);
    ASSERT_EQ(0, ZARN_DGTZ_WriteRegister(board.handle, 0xEF1C, 6));
    ASSERT_EQ(0, ZARN_DGTZ_SWStartAcquisition(board.handle));
    for (int i = 0; i < 20; ++i) {
        std::vector<uint32_t> words = ReadTransfer(board.link, 1u << 16);
        Decoded d = DecodeBuffer(words.data(), words.size());
        EXPECT_TRUE(d.wellFormed);
        EXPECT_EQ(6u, d.aggregates);
    }
}

TEST(SimBoardFormats, WaveformFirmwareMakesOneAggregatePerTrigger) {
    // a per-trigger variant of the test format: every enabled channel records every trigger
    ZarnSim_Encoder_t perTrigger = kTestEncoder;
    perTrigger.eventsPerAggregate = [](const ZarnSim_EncoderContext_t*, uint32_t) -> uint32_t { return 0; };
    ASSERT_EQ(0, ZarnSim_RegisterEncoder(0, &perTrigger));
    OpenBoard board(0, 4);
    ASSERT_EQ(0, board.result);
    ZarnSim_SetClockMode(board.link, ZARN_SIM_CLOCK_MANUAL);
    ZarnSim_SetRate(board.link, -1, 0);
    ZarnSim_SetRate(board.link, 2, 1000);
    ASSERT_EQ(0, ZARN_DGTZ_WriteRegister(board.handle, 0x8120, 0x0E));
    ASSERT_EQ(0, ZARN_DGTZ_SWStartAcquisition(board.handle));
    ZarnSim_AdvanceClock(board.link, 20'000'000);
    ASSERT_EQ(0, ZARN_DGTZ_SWStopAcquisition(board.handle));
    Decoded d = DrainBoard(board.link);
    ASSERT_GT(d.aggregates, 5u);
    EXPECT_EQ(3u * d.aggregates, d.events.size());
    for (size_t i = 0; i < d.events.size(); i += 3) {
        EXPECT_EQ(1u, d.events[i].channel);
        EXPECT_TRUE(d.events[i].flags & ZARN_SIM_EVENT_NO_PULSE);
        EXPECT_FALSE(d.events[i + 1].flags & ZARN_SIM_EVENT_NO_PULSE) << "channel 2 triggered";
        EXPECT_EQ(d.events[i].timeTag, d.events[i + 1].timeTag);
        EXPECT_EQ(1024u, d.events[i].samples.size());
    }
    ZarnSim_RegisterEncoder(0, nullptr);
}

TEST(SimBoardFormats, DeviceChannelsRunAndClearApart) {
    TestEncoderScope encoder(142);
    int zero = 0;
    int32_t link = -1;
    ASSERT_EQ(0, ZarnComm_OpenLink(0, &zero, 0, 0, &link));
    ZarnSim_SetClockMode(link, ZARN_SIM_CLOCK_MANUAL);
    ASSERT_EQ(0, ZarnComm_Write32(link, 0x1034, 4)); // the test format's events per aggregate
    ASSERT_EQ(0, ZarnComm_Write32(link, 0x1134, 4));
    ASSERT_EQ(0, ZarnComm_Write32(link, 0x802C, 1)); // start both channels
    ZarnSim_AdvanceClock(link, 20'000'000);
    ASSERT_EQ(0, ZarnComm_Write32(link, 0x1118, 1)); // clear channel 1
    ASSERT_EQ(0, ZarnComm_Write32(link, 0x112C, 0)); // stop channel 1
    ZarnSim_AdvanceClock(link, 20'000'000);
    ASSERT_EQ(0, ZarnComm_Write32(link, 0x802C, 0));
    Decoded d;
    for (;;) {
        std::vector<uint32_t> words(1u << 16);
        uint32_t n = 0;
        int result = ZarnComm_BLTRead(link, 0, words.data(), 1u << 16, &n);
        ASSERT_TRUE(result == 0 || result == ZARN_COMM_NoMoreData);
        if (n == 0)
            break;
        Decoded part = DecodeBuffer(words.data(), n);
        EXPECT_TRUE(part.wellFormed);
        d.events.insert(d.events.end(), part.events.begin(), part.events.end());
    }
    size_t channel0 = std::count_if(d.events.begin(), d.events.end(), [](auto& e) { return e.channel == 0; });
    EXPECT_NEAR(40.0, static_cast<double>(channel0), 5 * std::sqrt(40.0));
    EXPECT_EQ(d.events.size(), channel0) << "channel 1 was cleared, then stopped";
    ZarnComm_CloseLink(link);
}

} // namespace
