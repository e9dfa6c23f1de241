// The server on every standard-waveform board it can open, over TCP: it
// starts, reports the board, answers the spectrum commands a waveform-only
// board can't serve with their status, and while it acquires command 30 gives
// samples the board recorded in the run's raw-data file. The run file then
// replays through the server and gives recorded waveforms again.
#include <set>

#include "../endtoend/EndToEndSupport.h"
#include "../server/ServerRequests.h"
#include "../server_commands/CommandTestSupport.h"

using namespace cmdtest;
using namespace srvtest;
using namespace std::chrono_literals;

namespace {

const int16_t kOk = 0, kUnsupported = -33;

using ScopeBoard = BoardCase;

// The standard-waveform boards that the server's link options reach.
std::vector<BoardCase> waveformBoards() {
    std::vector<BoardCase> boards;
    for (const BoardCase& board : kBoards)
        if (board.waveformsOnly)
            boards.push_back(board);
    return boards;
}

using Waveform = std::vector<int16_t>;

// ------------------------------------------------ the raw-data file, read apart

uint32_t wordAt(const std::string& bytes, size_t at) {
    uint32_t w = 0;
    std::memcpy(&w, bytes.data() + at, sizeof w);
    return w;
}

// Channel 0's samples of one event payload, by the family's sample layout.
Waveform channelSamples(const std::string& bytes, size_t at, uint32_t words, uint32_t family) {
    Waveform out;
    for (uint32_t i = 0; i < words; i++) {
        uint32_t w = wordAt(bytes, at + 4 * i);
        if (family == 5) { // up to three 10-bit samples, their count in bits 30-31
            for (uint32_t k = 0; k < (w >> 30); k++)
                out.push_back(static_cast<int16_t>((w >> (10 * k)) & 0x3FF));
        } else { // two 14-bit samples
            out.push_back(static_cast<int16_t>(w & 0x3FFF));
            out.push_back(static_cast<int16_t>((w >> 16) & 0x3FFF));
        }
    }
    return out;
}

// Every waveform of channel 0 in a raw-data file: the header is skipped by its
// word list, then each data record is walked event by event.
std::vector<Waveform> recordedChannel0(const fs::path& file, uint32_t family) {
    std::string bytes = readFile(file);
    std::vector<Waveform> out;
    if (bytes.size() < 4)
        return out;
    uint32_t count = wordAt(bytes, 0) & 0x0FFFFFFF;
    size_t at = 4 * static_cast<size_t>(count);
    for (uint32_t w = 1; w < count; w++) {
        uint32_t word = wordAt(bytes, 4 * w);
        uint32_t meaning = word >> 24;
        bool wide = meaning == 1 || meaning == 2 || meaning == 4 || meaning == 5;
        at += word & (wide ? 0xFFFFFF : 0xFFFF);
    }
    while (at + 4 <= bytes.size()) {
        size_t end = at + 4 + wordAt(bytes, at);
        at += 4;
        while (at + 16 <= end && end <= bytes.size()) {
            uint32_t size = wordAt(bytes, at) & 0x0FFFFFFF;
            uint32_t mask = (wordAt(bytes, at + 4) & 0xFF) | ((wordAt(bytes, at + 8) >> 24) << 8);
            if (size < 4)
                break;
            uint32_t perChannel = mask != 0 ? (size - 4) / static_cast<uint32_t>(__builtin_popcount(mask)) : 0;
            if (mask & 1)
                out.push_back(channelSamples(bytes, at + 16, perChannel, family));
            at += 4 * static_cast<size_t>(size);
        }
        at = end;
    }
    return out;
}

// The raw-data file a run file names: "<model>_<serial> <file>" (relative to
// the working folder).
fs::path rawDataFileOf(const fs::path& workDir, const std::string& runFile) {
    std::istringstream line(readFile(workDir / "Run" / runFile));
    std::string board, file;
    line >> board >> file;
    std::replace(file.begin(), file.end(), '\\', '/');
    return workDir / file;
}

// ------------------------------------------------------------------ requests

Request waveformRequest(int32_t channel) {
    Request r;
    r.u64(0x1).i32(channel);
    return r;
}

Request allChannels() {
    Request r = maskRequest(0, 0);
    r.u32(0xFF);
    return r;
}

Bytes runFileToLoad(const std::string& name) {
    Bytes b(name.begin(), name.end());
    b.resize(200, 0);
    return b;
}

class ScopeServer : public ::testing::TestWithParam<ScopeBoard> {
protected:
    void SetUp() override {
        const ScopeBoard& board = GetParam();
        ASSERT_TRUE(simulatorServes(board));
        port_ = freePort();
        std::vector<std::string> arguments = {"-p", std::to_string(port_)};
        arguments.insert(arguments.end(), board.options.begin(), board.options.end());
        server_ = std::make_unique<ServerProcess>(arguments);
        ASSERT_TRUE(server_->waitReady()) << server_->log() << server_->log("SRV_CommonLog.txt");
        client_ = std::make_unique<Client>(port_);
        ASSERT_TRUE(client_->connected());
    }

    // A stop waits for the board thread's cycle and the last read; on a busy
    // machine under the sanitizers that can take several seconds.
    Bytes request(uint16_t command, const Bytes& payload) {
        std::optional<Reply> reply;
        if (client_->send(packet(command, payload)))
            reply = client_->receive(30000ms);
        if (!reply || reply->command != command || reply->payload.size() < 2) {
            ADD_FAILURE() << "no reply to command " << command;
            return Bytes{0xFF, 0x7F};
        }
        return reply->payload;
    }
    int16_t status(uint16_t command, const Bytes& payload) { return Reader(request(command, payload)).status(); }

    // Channel 0's stored waveform while it acquires, once it holds samples
    // (an acquisition start clears it); empty when none came in time.
    Waveform waveform() {
        Waveform w;
        waitFor(
            [&] {
                Bytes reply = request(GET_WAVEFORM, waveformRequest(0));
                Reader r(reply);
                w.clear();
                if (r.status() != kOk)
                    return false;
                while (r.left() >= 2)
                    w.push_back(static_cast<int16_t>(r.u16()));
                return std::any_of(w.begin(), w.end(), [](int16_t s) { return s != 0; });
            },
            10000ms);
        return w;
    }

    uint16_t port_ = 0;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
};

TEST_P(ScopeServer, ServesWaveformsRecordsAndReplaysTheRun) {
    const ScopeBoard& board = GetParam();

    // Model name, channels, channel firmware (DPP code 0), serial number.
    Reader info(request(cmdtest::BOARD_INFO, Request().u64(0x1 | 0x4 | 0x40 | 0x400)));
    ASSERT_EQ(info.status(), kOk);
    EXPECT_EQ(info.text(12), board.model);
    EXPECT_EQ(info.u32(), board.channels);
    EXPECT_EQ(info.u16(), 0);
    EXPECT_EQ(info.u32(), board.serial);
    EXPECT_EQ(info.left(), 0u);

    // No histogram on this firmware: the spectrum commands say so.
    Request spectrum;
    spectrum.u64(0x1).path({0, kChannel, 0, kSpectrum});
    Bytes reply = request(GET_SPECTRUM, spectrum);
    EXPECT_EQ(Reader(reply).status(), kUnsupported);
    EXPECT_EQ(reply.size(), 2u);
    Request reset = maskRequest(0, 0);
    reset.path({0, kChannel, 0, kSpectrum});
    EXPECT_EQ(status(RESET_GAIN_STAB, reset), kUnsupported);

    // A recorded run: the waveforms the client gets are the board's.
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("scope.zrn")), kOk);
    ASSERT_EQ(status(START, allChannels()), kOk);
    std::vector<Waveform> served;
    for (int i = 0; i < 3; i++) {
        Waveform w = waveform();
        ASSERT_FALSE(w.empty()) << server_->log("SRVBoardThreadLog.txt");
        served.push_back(w);
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(status(STOP, allChannels()), kOk);
    EXPECT_EQ(status(GET_WAVEFORM, waveformRequest(0)), -40) << "a stopped channel serves no waveform";

    std::vector<Waveform> recorded = recordedChannel0(rawDataFileOf(server_->workDir(), "scope.zrn"), board.family);
    ASSERT_GE(recorded.size(), served.size());
    std::set<Waveform> recordedSet(recorded.begin(), recorded.end());
    for (size_t i = 0; i < served.size(); i++)
        EXPECT_TRUE(recordedSet.count(served[i]))
            << "served waveform " << i << " (" << served[i].size() << " samples) is not one the board recorded";

    // The run replays through the server: its waveforms are recorded ones.
    ASSERT_EQ(status(LOAD_RUN_FILE, runFileToLoad("scope.zrn")), kOk) << server_->log("SRV_CommonLog.txt");
    ASSERT_EQ(status(START, allChannels()), kOk);
    Waveform replayed = waveform();
    ASSERT_FALSE(replayed.empty()) << server_->log("SRVBoardThreadLog.txt");
    EXPECT_TRUE(recordedSet.count(replayed)) << "the replay served a waveform the run did not record";
    ASSERT_EQ(status(STOP, allChannels()), kOk);

    ASSERT_EQ(status(QUIT, maskRequest(0, 0)), kOk);
    EXPECT_EQ(server_->waitExit(20000ms), 0) << server_->output();
}

INSTANTIATE_TEST_SUITE_P(Shipped, ScopeServer, ::testing::ValuesIn(waveformBoards()), caseName);

} // namespace
