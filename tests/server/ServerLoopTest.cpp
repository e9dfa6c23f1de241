// The command loop and the connection manager, in-process on a real
// listening socket: one client at a time, replies with their status, garbage
// and silent clients dropped, the quit command, the definitions document.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>

#include "ClientChecks.h"
#include "MorvaneServer.h"
#include "SRV_CommandCodes.h"
#include "SRV_CommandLoop.h"
#include "SRV_ConnectionManager.h"
#include "SRV_Globals.h"
#include "SRV_SqliteSetup.h"
#include "ServerTestSupport.h"

using namespace srvtest;
using namespace std::chrono_literals;

// Every log file of this program goes to one temporary folder.
const fs::path& testLogFolder() {
    static TempDir folder;
    return folder.path();
}
static const bool logFolderSet = [] {
    setenv("ZARN_LOG_DIR", testLogFolder().c_str(), 1);
    return true;
}();

namespace {

class CommandLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        board_ = static_cast<SRVBoard_t*>(c_calloc(1, sizeof(SRVBoard_t)));
        ASSERT_NE(board_, nullptr);
        ASSERT_EQ(c_ticket_init(&board_->boardLock), 0);
        c_socket_t* listening = nullptr;
        port_ = 0;
        ASSERT_EQ(c_socket_server_init(&listening, INADDR_LOOPBACK, &port_), 0);
        ASSERT_EQ(SRV_InitConnection(&connection_, listening), 0);
        ASSERT_EQ(SRV_StartConnectionManager(&connection_), 0);
        loop_ = std::thread([this] {
            SRV_RunCommandLoop(&connection_, board_, databasePath_);
            loopEnded_ = true;
        });
    }

    void TearDown() override {
        if (!loopEnded_) {
            Client client(port_);
            client.request(SRV_CMD_QUIT, masks(0, 0));
        }
        loop_.join();
        SRV_CloseConnection(&connection_);
        c_ticket_delete(&board_->boardLock);
        c_free(board_);
    }

    // A request that the loop answers with -33 without ending: it proves the
    // loop serves this client.
    static bool isServed(Client& client) {
        auto reply = client.request(SRV_CMD_QUIT, masks(0, 1));
        return reply && reply->command == SRV_CMD_QUIT && reply->status() == SRV_ERR_UNSUPPORTED;
    }

    SRVBoard_t* board_ = nullptr;
    SRVConnection_t connection_{};
    uint16_t port_ = 0;
    char databasePath_[SRV_PATH_SIZE] = "";
    std::thread loop_;
    std::atomic<bool> loopEnded_{false};
};

TEST_F(CommandLoopTest, UnsupportedCodesAnswerHeaderAndInvalidCommand) {
    Client client(port_);
    // 0xFFFF, the code a failed receive leaves behind, is one more unknown
    // request: answered, and the same client goes on being served.
    for (uint16_t code : {0, 4, 10, 11, 12, 16, 21, 54, 57, 0x1234, 0xFFFF, 0xFFFE}) {
        SCOPED_TRACE(code);
        auto reply = client.request(code, Bytes{1, 2, 3});
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->size, 10u);
        EXPECT_EQ(reply->command, code);
        EXPECT_EQ(reply->status(), SRV_ERR_INVALID_COMMAND);
    }
    EXPECT_TRUE(isServed(client));
    std::string log = readFile(testLogFolder() / "MorvaneServerLog.txt");
    EXPECT_NE(log.find("Unsupported command 54."), std::string::npos);
    EXPECT_NE(log.find("From main command loop: Invalid Command."), std::string::npos);
}

TEST_F(CommandLoopTest, QuitRefusesMaskBitsAndShortRequests) {
    Client client(port_);
    struct Case {
        Bytes payload;
        int16_t status;
    } cases[] = {
        {masks(0, 1), SRV_ERR_UNSUPPORTED},
        {masks(0x8000000000000000ull, 0), SRV_ERR_UNSUPPORTED},
        {Bytes(15, 0), SRV_ERR_DESERIALIZE},
        {Bytes{}, SRV_ERR_DESERIALIZE},
    };
    for (const Case& c : cases) {
        auto reply = client.request(SRV_CMD_QUIT, c.payload);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->size, 10u);
        EXPECT_EQ(reply->status(), c.status);
    }
    EXPECT_FALSE(loopEnded_);

    auto reply = client.request(SRV_CMD_QUIT, masks(0, 0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size, 10u);
    EXPECT_EQ(reply->status(), SRV_SUCCESS);
    EXPECT_TRUE(waitFor([this] { return loopEnded_.load(); }, 2000ms));
}

TEST_F(CommandLoopTest, GarbageDropsTheClientAndTheNextOneIsServed) {
    ExpectGarbageDropsItsClientAndTheNextIsServed(port_, isServed);
}

TEST_F(CommandLoopTest, SilentClientWithPartOfAPacketIsDroppedAfterTheTimeOut) {
    Client silent(port_);
    Bytes part = packet(SRV_CMD_QUIT, masks(0, 0));
    part.resize(5);
    ASSERT_TRUE(silent.send(part));
    auto start = Clock::now();
    EXPECT_TRUE(silent.closedByPeer(std::chrono::milliseconds(SRV_CLIENT_RECV_TIMEOUT_MS + 5000)));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(SRV_CLIENT_RECV_TIMEOUT_MS - 1000));
    Client next(port_);
    EXPECT_TRUE(isServed(next));
}

// The loop waits for the rest of the silent client's packet; a new client
// ends that wait instead of waiting for the time-out.
TEST_F(CommandLoopTest, NewClientEndsTheWaitForASilentOne) {
    Client silent(port_);
    Bytes part = packet(SRV_CMD_QUIT, masks(0, 0));
    part.resize(5);
    ASSERT_TRUE(silent.send(part));
    std::this_thread::sleep_for(300ms);
    auto start = Clock::now();
    Client next(port_);
    EXPECT_TRUE(isServed(next));
    EXPECT_LT(Clock::now() - start, 3000ms);
    EXPECT_TRUE(silent.closedByPeer(3000ms));
}

TEST_F(CommandLoopTest, SecondClientReplacesTheFirst) { ExpectSecondClientReplacesTheFirst(port_, isServed); }

// The loop serves the first client's request while the second connects: the
// first client still gets its reply, then loses its connection.
TEST_F(CommandLoopTest, ClientReplacedDuringItsRequestStillGetsItsReply) {
    Client first(port_);
    ASSERT_TRUE(isServed(first));
    board_->open = 1; // the quit handler of an open board waits for its lock
    ASSERT_EQ(c_ticket_lock(&board_->boardLock), 0);
    ASSERT_TRUE(first.send(packet(SRV_CMD_QUIT, masks(0, 1))));
    std::this_thread::sleep_for(300ms);
    Client second(port_);
    EXPECT_FALSE(first.receive(300ms)); // still in the handler
    ASSERT_EQ(c_ticket_unlock(&board_->boardLock), 0);

    auto reply = first.receive(3000ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status(), SRV_ERR_UNSUPPORTED);
    EXPECT_TRUE(first.closedByPeer(3000ms));
    EXPECT_TRUE(isServed(second));
}

// Command 26 sends the definitions document byte for byte.
class DefinitionsCommandTest : public CommandLoopTest {
protected:
    void SetUp() override {
        CommandLoopTest::SetUp();
        SRV_Globals = static_cast<SRVGlobals_t*>(c_calloc(1, sizeof(SRVGlobals_t)));
        ASSERT_NE(SRV_Globals, nullptr);
    }
    void TearDown() override {
        CommandLoopTest::TearDown();
        c_xml_freedoc(SRV_Globals->serverDefinitions);
        c_free(SRV_Globals);
        SRV_Globals = nullptr;
    }
    // A well-formed document of exactly size bytes.
    static std::string documentOfSize(size_t size) {
        std::string head = "<ServerDefinitions><!--";
        std::string tail = "--></ServerDefinitions>\n";
        return head + std::string(size - head.size() - tail.size(), 'x') + tail;
    }
    TempDir temp_;
};

TEST_F(DefinitionsCommandTest, SendsTheWholeFileAcrossBlockBoundaries) {
    for (size_t size : {size_t{100}, size_t{65536}, size_t{65536 * 2 + 7}}) {
        SCOPED_TRACE(size);
        fs::path path = temp_.path() / ("defs" + std::to_string(size) + ".xml");
        std::string text = documentOfSize(size);
        std::ofstream(path, std::ios::binary) << text;
        c_xml_freedoc(SRV_Globals->serverDefinitions);
        SRV_Globals->serverDefinitions = c_xml_newfile(path.c_str());
        ASSERT_NE(SRV_Globals->serverDefinitions, nullptr);

        Client client(port_);
        auto reply = client.request(SRV_CMD_GET_SERVER_DEFINITIONS);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->command, SRV_CMD_GET_SERVER_DEFINITIONS);
        EXPECT_EQ(reply->status(), SRV_SUCCESS);
        ASSERT_EQ(reply->size, 8 + 2 + size);
        EXPECT_EQ(std::string(reply->payload.begin() + 2, reply->payload.end()), text);
    }
}

// A client that sends requests but reads no replies fills the socket
// buffers; the send to it gives up, and the client that replaced it is served.
TEST_F(DefinitionsCommandTest, ClientThatStopsReadingDoesNotHoldTheLoop) {
    fs::path path = temp_.path() / "large.xml";
    std::ofstream(path, std::ios::binary) << documentOfSize(4u << 20);
    SRV_Globals->serverDefinitions = c_xml_newfile(path.c_str());
    ASSERT_NE(SRV_Globals->serverDefinitions, nullptr);

    // A small receive buffer, so that the replies soon fill it.
    struct Socket {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ~Socket() { close(fd); }
    } guard;
    int stuck = guard.fd;
    ASSERT_GE(stuck, 0);
    int small = 4096;
    setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(stuck, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    Bytes request = packet(SRV_CMD_GET_SERVER_DEFINITIONS, {});
    for (int i = 0; i < 8; i++)
        ASSERT_EQ(::send(stuck, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::this_thread::sleep_for(500ms);
    auto start = Clock::now();
    Client next(port_);
    ASSERT_TRUE(next.send(packet(SRV_CMD_QUIT, masks(0, 1))));
    auto reply = next.receive(std::chrono::milliseconds(2 * SRV_CLIENT_SEND_TIMEOUT_MS + 5000));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status(), SRV_ERR_UNSUPPORTED);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2 * SRV_CLIENT_SEND_TIMEOUT_MS + 5000));
    EXPECT_NE(readFile(testLogFolder() / "MorvaneServerLog.txt").find("c_send() failed."), std::string::npos);
}

TEST_F(DefinitionsCommandTest, UnreadableFileAnswersGenericError) {
    fs::path path = temp_.path() / "gone.xml";
    std::ofstream(path) << "<ServerDefinitions/>\n";
    SRV_Globals->serverDefinitions = c_xml_newfile(path.c_str());
    ASSERT_NE(SRV_Globals->serverDefinitions, nullptr);
    fs::remove(path);

    Client client(port_);
    auto reply = client.request(SRV_CMD_GET_SERVER_DEFINITIONS);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size, 10u);
    EXPECT_EQ(reply->status(), SRV_ERR_GENERIC);
    EXPECT_NE(readFile(testLogFolder() / "SRV_ConfigurationManagementLog.txt").find("Can't read definitions file"),
              std::string::npos);
}

// SQLite allocates through the utility layer and logs its errors into the
// server's log.
TEST(SqliteSetUp, UsesTheUtilityAllocatorAndTheServerLog) {
    ASSERT_EQ(ConfigureSqlite(), SRV_SUCCESS);
    void* block = sqlite3_malloc(100);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(c_malloc_size(block), 100u);
    sqlite3_free(block);

    sqlite3* db = nullptr;
    std::string path = (testLogFolder() / "missing" / "folder" / "x.db").string();
    EXPECT_NE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_NE(readFile(testLogFolder() / "SRV_CommonLog.txt").find("sqlite3 error 14 (unable to open database file)"),
              std::string::npos);
    sqlite3_shutdown();
}

} // namespace
