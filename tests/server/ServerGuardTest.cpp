// The built server over TCP, guarding what its environment and its clients
// can reach: relative folders taken from where it was started and one log
// folder, paths that clients name kept inside the server's folders, and a
// board record that a failed replay left closed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "ServerRequests.h"

using namespace srvtest;
using namespace srvtest::command;
using namespace std::chrono_literals;

namespace {

const int16_t SUCCESS = 0, OPEN_DIGITIZER = -7, INVALID_FILE_NAME = -30, FILE_OPEN = -36;
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

    // The replayed file goes away, and the next run file names garbage.
    fs::rename(server.workDir() / rawFile, run / "aside.dat");
    std::ofstream(run / "bad.dat") << "not a raw-data file";
    std::ofstream(run / "bad.zrn") << boardName << " Run/bad.dat\n";
    ASSERT_EQ(statusOf(client, LOAD_RUN_FILE, textField("bad.zrn", 200)), OPEN_DIGITIZER);
    EXPECT_NE(server.log("SRVAcquisitionControlLog.txt").find("Can't open the previous board again."),
              std::string::npos);

    for (uint16_t command : {5,  6,  7,  8,  9,  13, 14, 15, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37,
                             38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 55, 56}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(statusOf(client, command, Bytes(64, 0)), OPEN_DIGITIZER);
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
