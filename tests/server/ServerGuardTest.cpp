// The built server over TCP, guarding what its environment and its clients
// can reach: relative folders taken from where it was started and one log
// folder, paths that clients name kept inside the server's folders, and a
// board record that a failed replay left closed.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include "CommandRows.h"
#include "ServerRequests.h"
#include "ZarnRecords.h"

using namespace srvtest;
using namespace srvtest::command;
using srvtest::CommandRow;
using srvtest::commandRows;
using namespace std::chrono_literals;

namespace {

const int16_t SUCCESS = 0, OPEN_DIGITIZER = -7, RUN_FILE_UNREADABLE = -17, INVALID_FILE_NAME = -30, FILE_OPEN = -36;
const size_t PATH_FIELD = 401;

// A fixed text field: the text, then NUL bytes up to its width.
Bytes textField(const std::string& text, size_t width) {
    Bytes b(width, 0);
    std::copy(text.begin(), text.begin() + static_cast<long>(std::min(text.size(), width - 1)), b.begin());
    return b;
}

Bytes append(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Command 35 on channel 0: enabled, text format, the file name.
Bytes listFileRequest(const std::string& name) {
    Bytes b;
    putU64(b, 0x7);
    putU32(b, 0);
    putU32(b, 1);
    putU32(b, 0);
    return append(b, textField(name, PATH_FIELD));
}

// Command 28 on the energy spectrum of channel 0: its file path.
Bytes spectrumFileRequest(const std::string& path) {
    Bytes b;
    putU64(b, 0x100);
    for (uint32_t element : {4u, 0u, 2u, 0u, 9u})
        putU32(b, element);
    return append(b, textField(path, PATH_FIELD));
}

Bytes databasePathRequest(const std::string& path) { return append(masks(0x20, 0), textField(path, PATH_FIELD)); }

Bytes startRequest() {
    Bytes b = masks(0, 0);
    putU32(b, 0xFF);
    return b;
}

int16_t statusOf(Client& client, uint16_t command, const Bytes& payload) {
    auto reply = client.request(command, payload);
    EXPECT_TRUE(reply) << "command " << command;
    return reply ? reply->status() : INT16_MIN;
}

// ------------------------------------------------------- start-up folders

// Relative definition and working folders name the folders under the one the
// server was started from, though the start-up changes into the working
// folder; with no log folder set every log file, the first lines of the main
// log included, goes to the working folder.
TEST(ServerFolders, RelativeFoldersAreTakenFromTheLaunchFolderAndLogsGoToOneFolder) {
    TempDir temp;
    fs::path launch = temp.path() / "launch";
    fs::create_directories(launch);
    fs::create_directory_symlink(MORVANE_DEFINITIONS_DIR, launch / "defs");
    uint16_t port = freePort();
    ServerProcess server(
        {"-p", std::to_string(port)},
        {{"DRAVIKDIR", "defs"}, {"MORVANESERVERDIR", "defs"}, {"ZARNWORKINGDIR", "work"}, {"ZARN_LOG_DIR", ""}},
        launch);
    fs::path work = launch / "work";
    ASSERT_TRUE(waitFor(
        [&] {
            return readFile(work / "MorvaneServerLog.txt").find("Waiting for commands...") != std::string::npos ||
                   server.waitExit(0ms).has_value();
        },
        120000ms));
    ASSERT_FALSE(server.waitExit(0ms)) << server.output() << readFile(launch / "MorvaneServerLog.txt")
                                       << readFile(work / "MorvaneServerLog.txt");

    Client client(port);
    Bytes mask;
    putU64(mask, 0);
    EXPECT_EQ(statusOf(client, BOARD_INFO, mask), SUCCESS);
    EXPECT_EQ(statusOf(client, QUIT, masks(0, 0)), SUCCESS);
    EXPECT_EQ(server.waitExit(60000ms), 0);

    std::string mainLog = readFile(work / "MorvaneServerLog.txt");
    EXPECT_NE(mainLog.substr(0, mainLog.find('\n')).find("MorvaneServer "), std::string::npos) << mainLog;
    EXPECT_TRUE(fs::exists(work / "SRV_CommonLog.txt"));
    for (const auto& entry : fs::directory_iterator(launch))
        EXPECT_EQ(entry.path().filename().string().find("Log.txt"), std::string::npos) << entry.path();
}

// --------------------------------------------------- client-named paths

class ClientPaths : public ::testing::Test {
protected:
    void SetUp() override {
        outside_ = temp_.path() / "outside";
        otherDisk_ = temp_.path() / "disk2";
        fs::create_directories(outside_);
        fs::create_directories(otherDisk_);
        port_ = freePort();
        server_ = std::make_unique<ServerProcess>(
            std::vector<std::string>{"-p", std::to_string(port_)},
            std::map<std::string, std::string>{{"ZARN_DATA_DIRS", otherDisk_.string()}});
        ASSERT_TRUE(server_->waitReady()) << server_->log();
        client_ = std::make_unique<Client>(port_);
        ASSERT_TRUE(client_->connected());
    }
    void TearDown() override {
        if (client_ && client_->connected()) {
            EXPECT_EQ(statusOf(*client_, QUIT, masks(0, 0)), SUCCESS);
            EXPECT_EQ(server_->waitExit(60000ms), 0);
        }
    }
    fs::path work() const { return server_->workDir(); }

    TempDir temp_;
    fs::path outside_;
    fs::path otherDisk_;
    uint16_t port_ = 0;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
};

// A client may name list-mode and spectrum files in the working folder and
// in the folders of ZARN_DATA_DIRS, the configuration database only in the
// working folder; every other path is refused before anything is made.
TEST_F(ClientPaths, PathsOutsideTheServersFoldersAreRefused) {
    fs::create_directory_symlink(outside_, work() / "link");
    struct Case {
        std::string path;
        int16_t listOrSpectrum;
        int16_t database;
    } cases[] = {
        {"lists/relative.txt", SUCCESS, SUCCESS},
        {(work() / "inside" / "absolute.txt").string(), SUCCESS, SUCCESS},
        {"lists/../still-inside.txt", SUCCESS, SUCCESS},
        {(otherDisk_ / "list.txt").string(), SUCCESS, INVALID_FILE_NAME},
        {"../escape.txt", INVALID_FILE_NAME, INVALID_FILE_NAME},
        {"lists/../../escape.txt", INVALID_FILE_NAME, INVALID_FILE_NAME},
        {(outside_ / "new" / "file.txt").string(), INVALID_FILE_NAME, INVALID_FILE_NAME},
        {(otherDisk_ / ".." / "outside" / "file.txt").string(), INVALID_FILE_NAME, INVALID_FILE_NAME},
        {"link/through-a-link.txt", INVALID_FILE_NAME, INVALID_FILE_NAME},
        {"/etc/passwd", INVALID_FILE_NAME, INVALID_FILE_NAME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(statusOf(*client_, SET_LIST, listFileRequest(c.path)), c.listOrSpectrum);
        EXPECT_EQ(statusOf(*client_, SET_SPECTRUM, spectrumFileRequest(c.path)), c.listOrSpectrum);
        EXPECT_EQ(statusOf(*client_, DATABASE_PATH, databasePathRequest(c.path)), c.database);
    }
    EXPECT_NE(server_->log("SRV_ListLog.txt")
                  .find("List file '../escape.txt' leads outside the server's folders: "
                        "refused."),
              std::string::npos);

    // The last accepted names are in use: a run writes its list file there,
    // a save its database, the quit its spectrum file; nothing else appears.
    ASSERT_EQ(statusOf(*client_, SET_LIST, listFileRequest("lists/run.txt")), SUCCESS);
    ASSERT_EQ(statusOf(*client_, SET_SPECTRUM, spectrumFileRequest("spectra/ch0.spe")), SUCCESS);
    ASSERT_EQ(statusOf(*client_, DATABASE_PATH, databasePathRequest("configs.info")), SUCCESS);
    fs::create_directories(work() / "spectra");
    EXPECT_EQ(statusOf(*client_, START, startRequest()), SUCCESS);
    EXPECT_EQ(statusOf(*client_, STOP, startRequest()), SUCCESS);
    EXPECT_EQ(statusOf(*client_, SAVE_CONFIGURATION, masks(0, 0)), SUCCESS);
    EXPECT_EQ(statusOf(*client_, QUIT, masks(0, 0)), SUCCESS);
    EXPECT_EQ(server_->waitExit(60000ms), 0);
    client_.reset();
    EXPECT_TRUE(fs::exists(work() / "lists" / "run.txt"));
    EXPECT_TRUE(fs::exists(work() / "configs.info"));
    EXPECT_TRUE(fs::exists(work() / "spectra" / "ch0.spe"));
    EXPECT_FALSE(fs::exists(work().parent_path() / "escape.txt"));
    EXPECT_TRUE(fs::is_empty(outside_));
    EXPECT_TRUE(fs::is_empty(otherDisk_)); // named, then replaced before any file was made
}

// A list file is opened without following a link in its place, and only a
// regular file is emptied: a link to a file elsewhere and a FIFO fail the
// start with -36 and are left as they were.
TEST_F(ClientPaths, ListFilesFollowNoLinkAndEmptyOnlyRegularFiles) {
    fs::path secret = outside_ / "secret.txt";
    std::ofstream(secret) << "keep me\n";
    fs::create_symlink(secret, work() / "victim.txt");
    ASSERT_EQ(mkfifo((work() / "pipe.txt").c_str(), 0600), 0);
    std::ofstream(work() / "old.txt") << "an earlier run\n";
    for (const char* name : {"victim.txt", "pipe.txt"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(statusOf(*client_, SET_LIST, listFileRequest(name)), SUCCESS);
        EXPECT_EQ(statusOf(*client_, START, startRequest()), FILE_OPEN);
        EXPECT_EQ(statusOf(*client_, STOP, startRequest()), SUCCESS);
    }
    EXPECT_EQ(readFile(secret), "keep me\n");
    EXPECT_TRUE(fs::is_fifo(work() / "pipe.txt"));

    ASSERT_EQ(statusOf(*client_, SET_LIST, listFileRequest("old.txt")), SUCCESS);
    EXPECT_EQ(statusOf(*client_, START, startRequest()), SUCCESS);
    EXPECT_EQ(statusOf(*client_, STOP, startRequest()), SUCCESS);
    EXPECT_EQ(readFile(work() / "old.txt").find("an earlier run"), std::string::npos);
}

// --------------------------------- files changed between naming and opening

// How a file that a client named is turned against the server after the
// server accepted the name: a folder of its path replaced by a link to a
// folder outside, the name made a hard link to a file outside, or a
// symbolic link to it.
enum class Trap { SwappedFolder, HardLink, LastLink };

// A kind of file a client names: where it lies, how it is named and opened,
// and what the open answers after each trap.
struct NamedFile {
    const char* kind;
    const char* what; // as the server's log names it
    const char* log;
    const char* folder; // in the working folder
    const char* name;
    bool database;
    uint16_t nameCommand; // 0: the name goes with the open
    Bytes (*nameRequest)(const std::string& path);
    uint16_t openCommand; // QUIT: the file is written as the server ends
    Bytes (*openRequest)(const std::string& name);
    const char* serverContent; // a database's table, the start of a text; NULL: only read
    int16_t swapped, hardLink, lastLink;
    bool replacesLink; // a link in the file's place gives way to the file
};

Bytes stopRequest(const std::string&) { return startRequest(); }
Bytes quitRequest(const std::string&) { return masks(0, 0); }
Bytes saveRequest(const std::string&) { return masks(0, 0); }
Bytes loadRunRequest(const std::string& name) { return textField(name, 200); }

const NamedFile NAMED_FILES[] = {
    {"ListFile", "List file", "SRV_ListLog.txt", "lists", "ch0.txt", false, SET_LIST, listFileRequest, START,
     stopRequest, "\n", INVALID_FILE_NAME, SUCCESS, FILE_OPEN, false}, // no field selected: an empty header line
    // Saved as the server ends, which answers the quit first.
    {"SpectrumFile", "Spectrum file", "SRV_SpectraLog.txt", "spectra", "ch0.spe", true, SET_SPECTRUM,
     spectrumFileRequest, QUIT, quitRequest, "EnergySpectrum", SUCCESS, SUCCESS, SUCCESS, false},
    {"ConfigurationDatabase", "Database file", "SRV_ConfigurationManagementLog.txt", "configs", "board.info", true,
     DATABASE_PATH, databasePathRequest, SAVE_CONFIGURATION, saveRequest, "Saves", INVALID_FILE_NAME, SUCCESS,
     FILE_OPEN, false},
    // Written anew at the start, an earlier file of its name deleted first.
    {"RunFileWritten", "Run file", "SRVAcquisitionControlLog.txt", "Run", "trap.zrn", false, SET_RUN_FILE, runFileName,
     START, stopRequest, "OR5780_1101 Run/", INVALID_FILE_NAME, SUCCESS, SUCCESS, true},
    // Only read: through a hard link it is read as it is, and names no
    // recording that opens.
    {"RunFileLoaded", "Run file", "SRVAcquisitionControlLog.txt", "Run", "trap.zrn", false, 0, nullptr, LOAD_RUN_FILE,
     loadRunRequest, nullptr, INVALID_FILE_NAME, OPEN_DIGITIZER, RUN_FILE_UNREADABLE, false},
};

// The tables of an SQLite file, by name, in order.
std::vector<std::string> tablesOf(const fs::path& file) {
    std::vector<std::string> tables;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name", -1, &statement,
                           nullptr);
        while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW)
            tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return tables;
}

// A database of someone else's, outside the server's folders.
void makeForeignDatabase(const fs::path& file) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE Keep(x); INSERT INTO Keep VALUES ('keep me');", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

void PrintTo(const NamedFile& file, std::ostream* out) { *out << file.kind; }
void PrintTo(Trap trap, std::ostream* out) { *out << static_cast<int>(trap); }

class ChangedAfterNaming : public ClientPaths, public ::testing::WithParamInterface<std::tuple<NamedFile, Trap>> {};

// The server checks a path where it opens the file, from its folder down,
// following no link: whatever was changed since the name was accepted, the
// file outside keeps every byte, and the name inside is refused or given a
// file of its own.
TEST_P(ChangedAfterNaming, TheFileOutsideIsLeftAsItWas) {
    const auto& [file, trap] = GetParam();
    int16_t expected = trap == Trap::SwappedFolder ? file.swapped
                       : trap == Trap::HardLink    ? file.hardLink
                                                   : file.lastLink;
    const bool database = file.database;
    const std::string path = std::string(file.folder) + "/" + file.name;
    const fs::path inside = work() / file.folder;
    const fs::path victim = outside_ / file.name;
    if (database)
        makeForeignDatabase(victim);
    else
        std::ofstream(victim) << "keep me\n";
    const std::string before = readFile(victim);
    fs::create_directories(inside);
    if (trap == Trap::HardLink)
        fs::create_hard_link(victim, inside / file.name);
    if (trap == Trap::LastLink)
        fs::create_symlink(victim, inside / file.name);

    // Named while the path is sound: accepted.
    const std::string named = file.nameCommand == SET_RUN_FILE ? std::string(file.name) : path;
    if (file.nameCommand != 0)
        ASSERT_EQ(statusOf(*client_, file.nameCommand, file.nameRequest(named)), SUCCESS);
    if (trap == Trap::SwappedFolder) {
        fs::rename(inside, work() / (std::string(file.folder) + ".aside"));
        fs::create_directory_symlink(outside_, inside);
    }

    EXPECT_EQ(statusOf(*client_, file.openCommand, file.openRequest(file.name)), expected);
    if (file.openCommand == QUIT) {
        EXPECT_TRUE(server_->waitExit(60000ms)); // the spectra are saved as the server ends
        client_.reset();
    } else if (file.openCommand == START) {
        EXPECT_EQ(statusOf(*client_, STOP, startRequest()), SUCCESS);
    }

    EXPECT_TRUE(readFile(victim) == before) << "the file outside was changed";
    std::string log = server_->log(file.log);
    if (trap == Trap::SwappedFolder) {
        EXPECT_NE(log.find(std::string(file.what) + " '" + path + "' leads outside the server's folders: refused."),
                  std::string::npos)
            << log;
        fs::remove(inside);
        fs::rename(work() / (std::string(file.folder) + ".aside"), inside);
    }
    struct stat info;
    if (trap == Trap::HardLink) {
        // A file of its own (for a database a copy that the server wrote in);
        // a file only read is left as it is.
        ASSERT_EQ(lstat((inside / file.name).c_str(), &info), 0);
        EXPECT_EQ(info.st_nlink, file.serverContent != nullptr ? 1u : 2u);
        if (database) {
            std::vector<std::string> tables = tablesOf(inside / file.name);
            EXPECT_NE(std::find(tables.begin(), tables.end(), "Keep"), tables.end());
            EXPECT_NE(std::find(tables.begin(), tables.end(), file.serverContent), tables.end());
        } else if (file.serverContent != nullptr) {
            EXPECT_EQ(readFile(inside / file.name).rfind(file.serverContent, 0), 0u) << readFile(inside / file.name);
        }
    }
    if (trap == Trap::LastLink)
        EXPECT_EQ(fs::is_symlink(inside / file.name), !file.replacesLink);
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<NamedFile, Trap>>& info) {
    const char* traps[] = {"SwappedFolder", "HardLink", "LastLink"};
    return std::string(std::get<0>(info.param).kind) + traps[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(EveryFileAClientNames, ChangedAfterNaming,
                         ::testing::Combine(::testing::ValuesIn(NAMED_FILES),
                                            ::testing::Values(Trap::SwappedFolder, Trap::HardLink, Trap::LastLink)),
                         caseName);

// ------------------------------------------------ a board left closed

// A replay that can't be opened, when the previous board can't be opened
// again either, leaves no board: every command that needs one answers -7
// (and the log says why) instead of using the closed record's destroyed
// locks; the run-file commands and quit still work, and a replay that opens
// brings the server back.
TEST(ServerWithoutBoard, CommandsAnswerNoBoardUntilARunFileLoads) {
    uint16_t port = freePort();
    ServerProcess server({"-p", std::to_string(port)});
    ASSERT_TRUE(server.waitReady()) << server.log();
    Client client(port);
    fs::path run = server.workDir() / "Run";

    // A short recording, replayed.
    ASSERT_EQ(statusOf(client, SET_RUN_FILE, runFileName("good.zrn")), SUCCESS);
    ASSERT_EQ(statusOf(client, START, startRequest()), SUCCESS);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(statusOf(client, STOP, startRequest()), SUCCESS);
    std::istringstream line(readFile(run / "good.zrn"));
    std::string boardName, rawFile;
    line >> boardName >> rawFile;
    ASSERT_TRUE(fs::exists(server.workDir() / rawFile)) << rawFile;
    ASSERT_EQ(statusOf(client, LOAD_RUN_FILE, textField("good.zrn", 200)), SUCCESS);

    // The replayed file goes away, and the next run file names a recording
    // whose header reads well but whose board (a second-generation family)
    // the replay can't open: the board is closed by then.
    std::string recording = readFile(server.workDir() / rawFile);
    size_t descriptor = recording.find(std::string("OR5780") + '\0');
    ASSERT_NE(descriptor, std::string::npos);
    const uint32_t secondGeneration = 6111;
    recording.replace(descriptor + offsetof(c_BoardDescriptor_t, FamilyCode), sizeof secondGeneration,
                      reinterpret_cast<const char*>(&secondGeneration), sizeof secondGeneration);
    fs::rename(server.workDir() / rawFile, run / "aside.dat");
    std::ofstream(run / "bad.dat", std::ios::binary) << recording;
    std::ofstream(run / "bad.zrn") << boardName << " Run/bad.dat\n";
    ASSERT_EQ(statusOf(client, LOAD_RUN_FILE, textField("bad.zrn", 200)), OPEN_DIGITIZER);
    EXPECT_NE(server.log("SRVAcquisitionControlLog.txt").find("Can't open the previous board again."),
              std::string::npos);

    for (const CommandRow& command : commandRows()) {
        if (!command.needsBoard)
            continue;
        SCOPED_TRACE(command.code);
        EXPECT_EQ(statusOf(client, command.code, Bytes(64, 0)), OPEN_DIGITIZER);
    }
    EXPECT_NE(server.log("SRV_CommonLog.txt")
                  .find("No board is open (the last board open failed): command 30 "
                        "refused."),
              std::string::npos);
    EXPECT_EQ(statusOf(client, SET_RUN_FILE, Bytes{0}), SUCCESS);

    fs::rename(run / "aside.dat", server.workDir() / rawFile);
    ASSERT_EQ(statusOf(client, LOAD_RUN_FILE, textField("good.zrn", 200)), SUCCESS);
    Bytes mask;
    putU64(mask, 0);
    EXPECT_EQ(statusOf(client, BOARD_INFO, mask), SUCCESS);
    EXPECT_EQ(statusOf(client, START, startRequest()), SUCCESS);
    EXPECT_EQ(statusOf(client, STOP, startRequest()), SUCCESS);
    EXPECT_EQ(statusOf(client, QUIT, masks(0, 0)), SUCCESS);
    EXPECT_EQ(server.waitExit(60000ms), 0);
}

} // namespace
