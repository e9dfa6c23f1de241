// The spectrum commands over TCP against the server process on the simulated
// board: the spectrum files survive a quit and a new start, command 29 clears
// a spectrum, and malformed or unknown requests are answered with their
// status only.
#include <sqlite3.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "../server/ServerTestSupport.h"

using namespace srvtest;
using namespace std::chrono_literals;

namespace {

using namespace srvtest::command;
const int16_t SUCCESS = 0;
const int16_t DESERIALIZE = -6;
const int16_t INVALID_PARAMETER = -10;
const int16_t UNSUPPORTED = -33;
const int16_t INVALID_FILE_NAME = -30;

const uint32_t CHANNELS = 8; // the default simulated board
const uint32_t BINS = 16384; // its default bin count
const char* DATA_FOLDER = "OR5780_1101";

void putI32Array(Bytes& b, const std::vector<int32_t>& values) {
    putU32(b, static_cast<uint32_t>(values.size()));
    for (int32_t v : values)
        putU32(b, static_cast<uint32_t>(v));
}

void putText(Bytes& b, const std::string& text, size_t size) {
    for (size_t i = 0; i < size; i++)
        b.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
}

uint64_t getU64(const Bytes& b, size_t at) {
    return static_cast<uint64_t>(getU32(b, at)) | (static_cast<uint64_t>(getU32(b, at + 4)) << 32);
}

std::string getText(const Bytes& b, size_t at, size_t size) {
    std::string text(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + size));
    return text.substr(0, text.find('\0'));
}

std::vector<int32_t> spectrumPath(int32_t channel) { return {channel, 2, 0, 9}; }

Bytes dataRequest(uint64_t mask, const std::vector<int32_t>& path) {
    Bytes b;
    putU64(b, mask);
    putI32Array(b, path);
    return b;
}

Bytes maskRequest(uint64_t in, uint64_t out, const std::vector<int32_t>& path) {
    Bytes b = masks(in, out);
    putI32Array(b, path);
    return b;
}

// What command 27 returns for the counts, the counters and the texts.
struct Spectrum {
    std::vector<uint32_t> counts;
    uint64_t realTime = 0, liveTime = 0, deadTime = 0, entries = 0;
    uint32_t overflows = 0, underflows = 0, roiCount = 0, period = 0;
    std::string filePath, label;
};

std::optional<Spectrum> getSpectrum(Client& client, int32_t channel) {
    auto reply = client.request(GET_SPECTRUM, dataRequest(0x3FFF & ~0x400ull, spectrumPath(channel)));
    if (!reply || reply->status() != SUCCESS)
        return std::nullopt;
    const Bytes& p = reply->payload;
    Spectrum s;
    size_t at = 2;
    for (uint32_t i = 0; i < BINS; i++, at += 4)
        s.counts.push_back(getU32(p, at));
    s.realTime = getU64(p, at);
    s.liveTime = getU64(p, at + 8);
    s.deadTime = getU64(p, at + 16);
    s.overflows = getU32(p, at + 24);
    s.underflows = getU32(p, at + 28);
    s.entries = getU64(p, at + 32);
    s.roiCount = getU32(p, at + 40);
    s.filePath = getText(p, at + 44, 401);
    s.period = getU32(p, at + 445);
    s.label = getText(p, at + 449, 100);
    at += 449 + 100 + 20 + 20;
    if (p.size() != at)
        return std::nullopt;
    return s;
}

void quit(ServerProcess& server, uint16_t port) {
    Client client(port);
    auto reply = client.request(QUIT, masks(0, 0));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->status(), SUCCESS);
    ASSERT_EQ(server.waitExit(20000ms), 0);
}

// A row of a spectrum file rewritten by hand: bin (channel + 1) * 10 holds
// 1000 + channel, and the counters follow the channel number.
void storeKnownSpectrum(const fs::path& file, uint32_t channel) {
    std::vector<uint32_t> counts(32768, 0);
    counts[(channel + 1) * 10] = 1000 + channel;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.string().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "UPDATE EnergySpectrum SET data = ?1, nentries = ?2, realtime_ns = ?3, "
                                 "deadtime_ns = ?4, overflows = ?5, underflows = ?6, roinentries = ?7, roil = 5, "
                                 "roih = 500 WHERE channel = ?8",
                                 -1, &statement, nullptr),
              SQLITE_OK);
    sqlite3_bind_blob(statement, 1, counts.data(), static_cast<int>(counts.size() * 4), SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement, 2, 1000 + channel);
    sqlite3_bind_int64(statement, 3, 5000000000ll + channel);
    sqlite3_bind_int64(statement, 4, 7000 + channel);
    sqlite3_bind_int(statement, 5, 30 + static_cast<int>(channel));
    sqlite3_bind_int(statement, 6, 40 + static_cast<int>(channel));
    sqlite3_bind_int64(statement, 7, 1000 + channel);
    sqlite3_bind_int(statement, 8, static_cast<int>(channel));
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
    EXPECT_EQ(sqlite3_changes(db), 1);
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

class SpectrumServer : public ::testing::Test {
protected:
    // A server on the shared working folder, so that a new start finds the
    // files of the previous one.
    std::unique_ptr<ServerProcess> start() {
        port_ = freePort();
        auto server = std::make_unique<ServerProcess>(
            std::vector<std::string>{"-p", std::to_string(port_)},
            std::map<std::string, std::string>{{"ZARNWORKINGDIR", work_.path().string()}});
        EXPECT_TRUE(server->waitReady()) << server->log() << server->log("SRV_SpectraLog.txt");
        return server;
    }
    fs::path spectrumFile(uint32_t channel) const {
        char name[32];
        std::snprintf(name, sizeof name, "spectrum_ch%02u.spe", channel);
        return work_.path() / DATA_FOLDER / name;
    }

    TempDir work_;
    uint16_t port_ = 0;
};

TEST_F(SpectrumServer, SpectraComeBackFromTheirFilesAfterAQuitAndClearingSticks) {
    auto first = start();
    {
        Client client(port_);
        auto s = getSpectrum(client, 0);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->entries, 0u);
        // Relative to the working folder, as every path of the server.
        EXPECT_EQ(s->filePath, std::string(DATA_FOLDER) + "/spectrum_ch00.spe");
        EXPECT_EQ(s->label, "Not set");
        EXPECT_EQ(s->period, 5000u);
        EXPECT_EQ(s->roiCount, 1u);
    }
    quit(*first, port_);
    for (uint32_t ch = 0; ch < CHANNELS; ch++) {
        ASSERT_TRUE(fs::exists(spectrumFile(ch))) << ch;
        storeKnownSpectrum(spectrumFile(ch), ch);
    }

    auto second = start();
    {
        Client client(port_);
        for (uint32_t ch = 0; ch < CHANNELS; ch++) {
            SCOPED_TRACE(ch);
            auto s = getSpectrum(client, static_cast<int32_t>(ch));
            ASSERT_TRUE(s);
            EXPECT_EQ(s->counts[(ch + 1) * 10], 1000 + ch);
            uint64_t sum = 0;
            for (uint32_t c : s->counts)
                sum += c;
            EXPECT_EQ(sum, 1000 + ch);
            EXPECT_EQ(s->entries, 1000 + ch);
            EXPECT_EQ(s->realTime, 5000000000ull + ch);
            EXPECT_EQ(s->deadTime, 7000 + ch);
            EXPECT_EQ(s->overflows, 30 + ch);
            EXPECT_EQ(s->underflows, 40 + ch);
            auto roi = client.request(GET_ROI, dataRequest(1, {static_cast<int32_t>(ch), 2, 0, 9, 0, 11}));
            ASSERT_TRUE(roi);
            ASSERT_EQ(roi->status(), SUCCESS);
            EXPECT_EQ(getU64(roi->payload, 2), 1000 + ch);
        }
        // Properties change without touching the counts.
        Bytes set = dataRequest(0x200 | 0x800, spectrumPath(3));
        putU32(set, 2500);
        putText(set, "Co-60 source", 100);
        auto reply = client.request(SET_SPECTRUM, set);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->size, 10u);
        EXPECT_EQ(reply->status(), SUCCESS);
        auto s = getSpectrum(client, 3);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->period, 2500u);
        EXPECT_EQ(s->label, "Co-60 source");
        EXPECT_EQ(s->entries, 1003u);

        reply = client.request(CLEAR_SPECTRUM, maskRequest(0, 0, spectrumPath(0)));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status(), SUCCESS);
        s = getSpectrum(client, 0);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->entries + s->realTime + s->deadTime + s->overflows + s->underflows, 0u);
        EXPECT_EQ(s->counts[10], 0u);
    }
    quit(*second, port_);

    auto third = start();
    {
        Client client(port_);
        auto cleared = getSpectrum(client, 0);
        ASSERT_TRUE(cleared);
        EXPECT_EQ(cleared->entries, 0u);
        EXPECT_EQ(cleared->counts[10], 0u);
        auto kept = getSpectrum(client, 3);
        ASSERT_TRUE(kept);
        EXPECT_EQ(kept->counts[40], 1003u);
        EXPECT_EQ(kept->label, "Not set");
    }
    quit(*third, port_);
}

uint64_t entriesOf(Client& client, int32_t channel) {
    auto reply = client.request(GET_SPECTRUM, dataRequest(0x40, spectrumPath(channel)));
    return reply && reply->status() == SUCCESS ? getU64(reply->payload, 2) : UINT64_MAX;
}

// An acquisition of the simulated board fills the spectra; a total-counts
// limit on channel 0 stops the whole board (it is not the register-level
// device) at exactly that count, and the spectra survive a new start.
TEST_F(SpectrumServer, ATotalCountsLimitEndsTheRunAtItsCount) {
    const uint32_t LIMIT = 300;
    auto server = start();
    {
        Client client(port_);
        Bytes set = dataRequest(0x1, {0, 2, 1067, 7}); // PARAM_CH_STOP_MODE_TOTAL_COUNTS
        double limit = LIMIT;
        uint64_t bits = 0;
        std::memcpy(&bits, &limit, sizeof bits);
        putU64(set, bits);
        auto reply = client.request(SET_PARAMETER, set);
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->status(), SUCCESS);

        Bytes startAll = masks(0, 0);
        putU32(startAll, 0xFF);
        reply = client.request(START, startAll);
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->status(), SUCCESS) << server->log("SRVAcquisitionControlLog.txt");

        EXPECT_TRUE(waitFor([&] { return entriesOf(client, 0) >= LIMIT; }, 20000ms))
            << server->log("SRVBoardThreadLog.txt");
        std::this_thread::sleep_for(500ms); // the board has stopped: nothing more comes
        EXPECT_EQ(entriesOf(client, 0), LIMIT);
        uint64_t other = entriesOf(client, 1);
        EXPECT_GT(other, 0u);
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(entriesOf(client, 1), other);

        auto s = getSpectrum(client, 0);
        ASSERT_TRUE(s);
        uint64_t sum = 0;
        for (uint32_t c : s->counts)
            sum += c;
        EXPECT_EQ(sum, LIMIT);
        EXPECT_GT(s->realTime, 0u);
        EXPECT_EQ(s->liveTime + s->deadTime, s->realTime);
        auto times = client.request(GET_SPECTRUM, dataRequest(0x3000, spectrumPath(0)));
        ASSERT_TRUE(times);
        ASSERT_EQ(times->status(), SUCCESS);
        std::string started = getText(times->payload, 2, 20);
        std::string stopped = getText(times->payload, 22, 20);
        EXPECT_EQ(started.size(), 19u);
        EXPECT_EQ(started[10], 'T');
        EXPECT_EQ(stopped.size(), 19u);
        EXPECT_LE(started, stopped);
    }
    std::string log = server->log("SRVBoardThreadLog.txt");
    EXPECT_NE(log.find("Stop criteria for mode '2' met! Stop value = '300'"), std::string::npos);
    quit(*server, port_);

    auto again = start();
    Client client(port_);
    EXPECT_EQ(entriesOf(client, 0), LIMIT);
    quit(*again, port_);
}

TEST_F(SpectrumServer, BadRequestsGetTheirStatusAndNothingElse) {
    auto server = start();
    Client client(port_);
    Bytes shortSet = dataRequest(0x200, spectrumPath(0)); // the period is missing
    Bytes noPath;
    putU64(noPath, 0x40);
    Bytes longPath = dataRequest(0x40, {0, 2, 0, 9, 0, 2, 0, 9, 0, 2, 0, 9, 0, 2});
    struct Case {
        const char* what;
        uint16_t command;
        Bytes request;
        int16_t status;
    } cases[] = {
        {"get, unknown data bit", GET_SPECTRUM, dataRequest(0x4000, spectrumPath(0)), UNSUPPORTED},
        {"get, channel out of range", GET_SPECTRUM, dataRequest(0x40, spectrumPath(CHANNELS)), INVALID_PARAMETER},
        {"get, negative channel", GET_SPECTRUM, dataRequest(0x40, spectrumPath(-1)), INVALID_PARAMETER},
        {"get, lone index", GET_SPECTRUM, dataRequest(0x40, {0}), INVALID_PARAMETER},
        {"get, MCS type", GET_SPECTRUM, dataRequest(0x40, {0, 2, 0, 10}), INVALID_PARAMETER},
        {"get, spectrum 1", GET_SPECTRUM, dataRequest(0x40, {0, 2, 1, 9}), INVALID_PARAMETER},
        {"get, path too long", GET_SPECTRUM, longPath, DESERIALIZE},
        {"get, no path", GET_SPECTRUM, noPath, DESERIALIZE},
        {"set, counts bit", SET_SPECTRUM, dataRequest(0x1, spectrumPath(0)), UNSUPPORTED},
        {"set, field missing", SET_SPECTRUM, shortSet, DESERIALIZE},
        {"clear, input mask", CLEAR_SPECTRUM, maskRequest(0x1, 0, spectrumPath(0)), UNSUPPORTED},
        {"clear, output mask", CLEAR_SPECTRUM, maskRequest(0, 0x1, spectrumPath(0)), UNSUPPORTED},
        {"clear, bad channel", CLEAR_SPECTRUM, maskRequest(0, 0, spectrumPath(99)), INVALID_PARAMETER},
        {"ROI 1", GET_ROI, dataRequest(1, {0, 2, 0, 9, 1, 11}), INVALID_PARAMETER},
        {"ROI, unknown bit", GET_ROI, dataRequest(3, {0, 2, 0, 9, 0, 11}), UNSUPPORTED},
        {"ROI, empty payload", GET_ROI, Bytes{}, DESERIALIZE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto reply = client.request(c.command, c.request);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->command, c.command);
        EXPECT_EQ(reply->size, 10u);
        EXPECT_EQ(reply->status(), c.status);
    }
    std::string log = server->log("SRV_SpectraLog.txt");
    EXPECT_NE(log.find("Invalid channel index '-1'."), std::string::npos);
    EXPECT_NE(log.find("Invalid ROI index '1'."), std::string::npos);
    EXPECT_NE(log.find("Unsupported dataMask 0x4000 (0x4000 unknown)"), std::string::npos);
    EXPECT_NE(log.find("Unsupported cmdMaskOut 0x1 (0x1 unknown)"), std::string::npos);

    // The bins returned follow the bin count.
    auto reply = client.request(GET_SPECTRUM, dataRequest(0x1, spectrumPath(1)));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload.size(), 2u + 4u * BINS);
    quit(*server, port_);
}

// ------------------------------------------------ files that go wrong

struct SpectrumBoard {
    const char* name;
    std::vector<std::string> options;
    const char* dataFolder;
    uint32_t channels;
};

// The default board, and the register-level device (another family, another
// folder, two channels).
const SpectrumBoard kSpectrumBoards[] = {
    {"orlu_pha", {}, "OR5780_1101", 8},
    {"morvane", {"-h"}, "QN8560N_7101", 2},
};

std::string boardName(const testing::TestParamInfo<SpectrumBoard>& info) { return info.param.name; }

void execSql(const fs::path& file, const std::string& sql, const Bytes& blob = {}) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.string().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    if (!blob.empty())
        sqlite3_bind_blob(statement, 1, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE) << sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

// A spectrum file with the row of one channel.
void writeSpectrumFile(const fs::path& file, uint32_t channel) {
    execSql(file, "CREATE TABLE EnergySpectrum(channel INT PRIMARY KEY NOT NULL, timestamp DATETIME DEFAULT "
                  "CURRENT_TIMESTAMP, nbins INT, lld INT, uld INT, roil INT, roih INT, roinentries BIGINT, nentries "
                  "BIGINT, realtime_ns BIGINT, deadtime_ns BIGINT, overflows INT, underflows INT, data BLOB)");
    Bytes counts(131072, 0);
    counts[40] = 7;
    execSql(file,
            "INSERT INTO EnergySpectrum VALUES (" + std::to_string(channel) +
                ", CURRENT_TIMESTAMP, 1024, 0, 1000, 0, 1000, 7, 7, 100, 0, 0, 0, ?1)",
            counts);
}

// The entries that a channel's spectrum file holds (-1 when unreadable).
int64_t storedEntries(const fs::path& file, uint32_t channel) {
    sqlite3* db = nullptr;
    int64_t entries = -1;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open_v2(file.string().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT nentries FROM EnergySpectrum WHERE channel = ?1", -1, &statement, nullptr) ==
            SQLITE_OK &&
        sqlite3_bind_int(statement, 1, static_cast<int>(channel)) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW)
        entries = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return entries;
}

// An empty file path would leave the spectrum nowhere to be saved: command
// 28 refuses it as it refuses a path outside the server's folders, and the
// quit saves the counts into the file the spectrum had.
TEST_F(SpectrumServer, AnEmptyFilePathIsRefusedAndTheQuitStillSavesTheSpectrum) {
    auto server = start();
    uint64_t entries = 0;
    {
        Client client(port_);
        Bytes channel0 = masks(0, 0);
        putU32(channel0, 0x1);
        ASSERT_EQ(client.request(START, channel0)->status(), SUCCESS);
        EXPECT_TRUE(waitFor([&] { return entriesOf(client, 0) >= 100; }, 20000ms))
            << server->log("SRVBoardThreadLog.txt");
        ASSERT_EQ(client.request(STOP, channel0)->status(), SUCCESS);
        entries = entriesOf(client, 0);
        ASSERT_GT(entries, 0u);

        Bytes empty = dataRequest(0x100 | 0x800, spectrumPath(0));
        putText(empty, "", 401);
        putText(empty, "kept", 100);
        auto reply = client.request(SET_SPECTRUM, empty);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->size, 10u);
        EXPECT_EQ(reply->status(), INVALID_FILE_NAME);
        auto s = getSpectrum(client, 0);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->filePath, std::string(DATA_FOLDER) + "/spectrum_ch00.spe");
        EXPECT_EQ(s->label, "Not set"); // a refused request sets none of its fields
    }
    EXPECT_NE(server->log("SRV_SpectraLog.txt").find("Spectrum file '' names no file: refused."), std::string::npos);
    quit(*server, port_);
    EXPECT_EQ(storedEntries(spectrumFile(0), 0), static_cast<int64_t>(entries));
}

class SpectrumFiles : public ::testing::TestWithParam<SpectrumBoard> {
protected:
    std::unique_ptr<ServerProcess> launch(const fs::path& work) {
        port_ = freePort();
        std::vector<std::string> options = GetParam().options;
        options.insert(options.end(), {"-p", std::to_string(port_)});
        return std::make_unique<ServerProcess>(options,
                                               std::map<std::string, std::string>{{"ZARNWORKINGDIR", work.string()}});
    }
    uint16_t port_ = 0;
};

// A spectrum file that can't be loaded ends the start-up (exit code -43):
// the one line on the terminal names the file and what is wrong with it, and
// points at the log that says so too; the file is left byte for byte. An
// empty file is no damage: it holds nothing, and the start-up writes it anew.
TEST_P(SpectrumFiles, ADamagedFileEndsTheStartUpNamedAndUntouched) {
    const std::string relative = std::string(GetParam().dataFolder) + "/spectrum_ch01.spe";
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> damage;
        std::string reason; // empty: no damage, the server starts
    } cases[] = {
        {"not a database", [](const fs::path& f) { std::ofstream(f, std::ios::binary) << std::string(4096, 'x'); },
         "is not a database"},
        {"truncated",
         [](const fs::path& f) {
             writeSpectrumFile(f, 1);
             fs::resize_file(f, fs::file_size(f) / 2);
         },
         "is damaged: database disk image is malformed"},
        {"no spectrum table", [](const fs::path& f) { execSql(f, "CREATE TABLE Other(a INT)"); },
         "cannot be read: no such table: EnergySpectrum"},
        {"another channel's file", [](const fs::path& f) { writeSpectrumFile(f, 0); },
         "holds no spectrum of channel 1"},
        {"zero-length", [](const fs::path& f) { std::ofstream(f, std::ios::binary); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir work;
        fs::create_directories(work.path() / GetParam().dataFolder);
        const fs::path file = work.path() / relative;
        c.damage(file);
        const std::string before = readFile(file);
        auto server = launch(work.path());
        if (c.reason.empty()) {
            ASSERT_TRUE(server->waitReady()) << server->output();
            Client client(port_);
            ASSERT_EQ(client.request(QUIT, masks(0, 0))->status(), SUCCESS);
            EXPECT_EQ(server->waitExit(20000ms), 0);
            EXPECT_EQ(storedEntries(file, 1), 0);
            continue;
        }
        EXPECT_EQ(server->waitExit(60000ms), exitCodeOf(-43));
        std::vector<std::string> lines = linesOf(server->standardError());
        ASSERT_EQ(lines.size(), 1u) << server->output();
        EXPECT_EQ(lines[0], "MorvaneServer did not start: spectrum file " + relative + " " + c.reason +
                                " (status -43). Details: " + (server->logDir() / "SRV_SpectraLog.txt").string());
        EXPECT_NE(server->log("SRV_SpectraLog.txt")
                      .find("Spectrum file " + relative + " " + c.reason + ": the start-up ends."),
                  std::string::npos)
            << server->log("SRV_SpectraLog.txt");
        EXPECT_TRUE(readFile(file) == before) << "the file was changed";
    }
}

// A spectrum file that can't be written at the quit is named on stderr, one
// line each, and the exit code is the failure's status; the other channels'
// files receive their spectra.
TEST_P(SpectrumFiles, ASpectrumThatCantBeSavedAtTheQuitIsNamedAndIsTheExitCode) {
    const SpectrumBoard& board = GetParam();
    // Inherited by the server: a write beyond a file-size limit fails with
    // EFBIG instead of ending the process.
    signal(SIGXFSZ, SIG_IGN);
    struct Case {
        const char* what;
        bool sizeLimit; // else channel 1's file is named where no file can be made
    } cases[] = {{"unwritable location", false}, {"file-size limit", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir work;
        auto server = launch(work.path());
        ASSERT_TRUE(server->waitReady()) << server->output();
        Client client(port_);
        ASSERT_EQ(client
                      .request(START,
                               [&] {
                                   Bytes b = masks(0, 0);
                                   putU32(b, (1u << board.channels) - 1u);
                                   return b;
                               }())
                      ->status(),
                  SUCCESS);
        std::vector<uint64_t> entries(board.channels, 0);
        auto entriesOf = [&](uint32_t ch) {
            auto reply = client.request(GET_SPECTRUM, dataRequest(0x40, spectrumPath(static_cast<int32_t>(ch))));
            return reply && reply->status() == SUCCESS ? getU64(reply->payload, 2) : 0;
        };
        EXPECT_TRUE(waitFor([&] { return entriesOf(0) > 0 && entriesOf(1) > 0; }, 30000ms));
        Bytes stopAll = masks(0, 0);
        putU32(stopAll, (1u << board.channels) - 1u);
        ASSERT_EQ(client.request(STOP, stopAll)->status(), SUCCESS);
        for (uint32_t ch = 0; ch < board.channels; ch++)
            entries[ch] = entriesOf(ch);

        std::vector<std::string> expected;
        int16_t status = 0;
        const std::string details = ". Details: " + (server->logDir() / "SRV_SpectraLog.txt").string();
        if (c.sizeLimit) {
            // Below the size of a spectrum's journal: no file can be written.
            rlimit limit{64 * 1024, RLIM_INFINITY};
            ASSERT_EQ(prlimit(server->pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
            status = -43;
            for (uint32_t ch = 0; ch < board.channels; ch++) {
                char name[64];
                std::snprintf(name, sizeof name, "%s/spectrum_ch%02u.spe", board.dataFolder, ch);
                expected.push_back(std::string("MorvaneServer did not save a spectrum: spectrum file ") + name +
                                   " cannot be written: disk I/O error (status -43)" + details);
            }
        } else {
            std::ofstream(work.path() / "blocker") << "a file, not a folder";
            Bytes set = dataRequest(0x100, spectrumPath(1));
            putText(set, "blocker/spectrum.spe", 401);
            ASSERT_EQ(client.request(SET_SPECTRUM, set)->status(), SUCCESS);
            status = -36;
            expected.push_back("MorvaneServer did not save a spectrum: spectrum file blocker/spectrum.spe cannot be "
                               "created: Not a directory (status -36)" +
                               details);
        }
        auto reply = client.request(QUIT, masks(0, 0));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status(), SUCCESS);
        EXPECT_EQ(server->waitExit(30000ms), exitCodeOf(status));
        EXPECT_EQ(linesOf(server->standardError()), expected);
        for (uint32_t ch = 0; ch < board.channels; ch++) {
            char name[64];
            std::snprintf(name, sizeof name, "spectrum_ch%02u.spe", ch);
            int64_t stored = storedEntries(work.path() / board.dataFolder / name, ch);
            // A file the quit could not write keeps what it held before.
            bool lost = c.sizeLimit || ch == 1;
            EXPECT_EQ(stored, lost ? 0 : static_cast<int64_t>(entries[ch])) << ch;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, SpectrumFiles, ::testing::ValuesIn(kSpectrumBoards), boardName);

} // namespace
