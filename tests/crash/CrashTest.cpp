// The server process killed with SIGKILL in the middle of its writes: saves
// of the configuration database (commands 31 and the start-up's "__default"),
// the energy spectrum files (written when the board thread ends, and created
// at the first start-up) and the list-mode files of a running acquisition.
// Each scenario kills a few times at different moments in one working
// folder; after every kill each SQLite file in it must pass its integrity
// check, and the server must start on the folder and serve.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ServerRequests.h"

using namespace srvtest;
using namespace srvtest::command;
using namespace std::chrono_literals;

namespace {

constexpr size_t kNameField = 48;
constexpr size_t kPathField = 401;
constexpr uint32_t kChannels = 8; // the default board

// The SQLite files of the folder, found by their header, not by their name.
std::vector<fs::path> sqliteFiles(const fs::path& folder) {
    static const std::string header("SQLite format 3", 16); // with its NUL
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && readFile(entry.path()).compare(0, header.size(), header) == 0)
            files.push_back(entry.path());
    return files;
}

// "ok", or what PRAGMA integrity_check reports. The file is opened for
// writing, as the server opens it, so that a hot journal is rolled back.
std::string integrity(const fs::path& path) {
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        result = std::string("can't open: ") + sqlite3_errmsg(db);
    } else {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) != SQLITE_OK) {
            result = std::string("can't check: ") + sqlite3_errmsg(db);
        } else {
            while (sqlite3_step(statement) == SQLITE_ROW)
                result += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            sqlite3_finalize(statement);
        }
    }
    sqlite3_close(db);
    return result;
}

class CrashTest : public ::testing::Test {
protected:
    // The server on the shared working folder. It must start and answer the
    // board information, the list of saved configurations and a channel's
    // energy spectrum (all read from the files a kill may have cut).
    void startServing() {
        port_ = freePort();
        server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-p", std::to_string(port_)},
                                                  std::map<std::string, std::string>{{"ZARNWORKINGDIR", work_.path()}});
        ASSERT_TRUE(server_->waitReady()) << server_->log();
        EXPECT_FALSE(sqliteFiles(work_.path()).empty()); // what the kills will be checked on
        client_ = std::make_unique<Client>(port_);
        ASSERT_TRUE(client_->connected());
        expectStatus(BOARD_INFO, Bytes(8, 0));
        expectStatus(LIST_CONFIGURATIONS, masks(0, 0x4));
        Bytes spectrum;
        putU64(spectrum, 0x40); // its total entries
        putU32(spectrum, 4);    // index path: channel 0, its energy spectrum 0
        for (int32_t element : {0, 2, 0, 9})
            putU32(spectrum, static_cast<uint32_t>(element));
        expectStatus(GET_SPECTRUM, spectrum);
    }

    void expectStatus(uint16_t command, const Bytes& payload) {
        auto reply = client_->request(command, payload);
        ASSERT_TRUE(reply) << "command " << command;
        EXPECT_EQ(reply->status(), 0) << "command " << command;
    }

    // SIGKILL after the delay, then every SQLite file is checked.
    void killAfter(std::chrono::milliseconds delay) {
        std::this_thread::sleep_for(delay);
        server_.reset(); // SIGKILL, then waits for the process
        client_.reset();
        for (const fs::path& file : sqliteFiles(work_.path()))
            EXPECT_EQ(integrity(file), "ok") << file;
    }

    // The folder ends in a state the server serves from.
    void TearDown() override {
        if (!HasFatalFailure())
            startServing();
    }

    TempDir work_;
    uint16_t port_ = 0;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
};

// The first start-up creates the spectrum files and the database; every
// start-up rewrites "__default".
TEST_F(CrashTest, KilledDuringStartUp) {
    for (auto delay : {300ms, 900ms, 1800ms}) {
        port_ = freePort();
        server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-p", std::to_string(port_)},
                                                  std::map<std::string, std::string>{{"ZARNWORKINGDIR", work_.path()}});
        server_->waitReady(delay);
        killAfter(0ms);
        if (HasFailure())
            return;
    }
}

// Saves sent back to back, killed while the server works through them.
TEST_F(CrashTest, KilledDuringConfigurationSaves) {
    int round = 0;
    for (auto delay : {5ms, 30ms, 120ms}) {
        ASSERT_NO_FATAL_FAILURE(startServing());
        for (int i = 0; i < 40; i++) {
            Bytes save = masks(0x1, 0);
            Bytes name = fixedText("crash-" + std::to_string(round) + "-" + std::to_string(i), kNameField);
            save.insert(save.end(), name.begin(), name.end());
            ASSERT_TRUE(client_->send(packet(SAVE_CONFIGURATION, save)));
        }
        killAfter(delay);
        round++;
    }
}

// A running acquisition's quit saves every channel's spectrum as the board
// thread ends: the kill follows the quit closely.
TEST_F(CrashTest, KilledDuringSpectrumWrites) {
    for (auto delay : {0ms, 10ms, 40ms}) {
        ASSERT_NO_FATAL_FAILURE(startServing());
        Bytes start = masks(0, 0);
        putU32(start, 0xFF);
        expectStatus(START, start);
        std::this_thread::sleep_for(300ms); // the spectra fill
        ASSERT_TRUE(client_->send(packet(QUIT, masks(0, 0))));
        killAfter(delay);
    }
}

// Every channel writes its events to a binary list file while the
// acquisition runs.
TEST_F(CrashTest, KilledDuringListModeWrites) {
    for (auto delay : {100ms, 350ms, 700ms}) {
        ASSERT_NO_FATAL_FAILURE(startServing());
        for (uint32_t channel = 0; channel < kChannels; channel++) {
            Bytes set;
            putU64(set, 0xC3F);
            putU32(set, channel);
            putU32(set, 1); // enabled
            putU32(set, 1); // binary file
            Bytes name = fixedText("list_ch" + std::to_string(channel) + ".bin", kPathField);
            set.insert(set.end(), name.begin(), name.end());
            putU32(set, 7);    // time tag, energy and flags
            putU32(set, 0);    // no pseudo events
            putU32(set, 1024); // events buffered
            putU32(set, 1);    // keepFlag400
            putU32(set, 1);    // allEnergies
            expectStatus(SET_LIST, set);
        }
        Bytes start = masks(0, 0);
        putU32(start, 0xFF);
        expectStatus(START, start);
        killAfter(delay);
    }
}

} // namespace
