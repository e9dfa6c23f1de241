// The built server process, driven from its command line and over TCP: its
// options and their failures, the announcement to the -N host, the commands
// it serves, garbage from clients, and the quit command with its exit code.
#include <gtest/gtest.h>

#include <memory>

#include "ClientChecks.h"
#include "CommandRows.h"
#include "ServerTestSupport.h"

using namespace srvtest;
using namespace srvtest::command;
using namespace std::chrono_literals;

namespace {

const int16_t SUCCESS = 0;
const int16_t GENERIC = -1;
const int16_t INVALID_COMMAND = -9;
const int16_t UNSUPPORTED = -33;

const std::chrono::milliseconds EXIT_WAIT = 60000ms;

std::string fixtures(const char* folder) { return (fs::path(MORVANE_TEST_FIXTURES) / folder).string(); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ------------------------------------------------------ start-up failures

// Options are read before the board is opened; every failure ends the
// process with its status before SQLite is set up.
TEST(ServerOptions, FailuresEndTheStartUpWithTheirStatus) {
    uint16_t closedPort = freePort();
    std::string closedHost = "127.0.0.1:" + std::to_string(closedPort);
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    } cases[] = {
        {{"-x"}, UNSUPPORTED, "Unknown option '-x'."},
        {{"-\x01"}, UNSUPPORTED, "Unknown option character '\\x1'."},
        {{"-p"}, UNSUPPORTED, "Option -p requires an argument."},
        {{"-N"}, UNSUPPORTED, "Unknown option '-N'."},
        {{"-t", "pci"}, UNSUPPORTED, "Unknown connection type 'pci'."},
        {{"-N", "localhost"}, UNSUPPORTED, "Invalid notification host:port 'localhost'."},
        {{"-h", "stray", "-p", "1"}, UNSUPPORTED, "Unused non-option argument: 'stray'"},
        {{"-N", closedHost}, GENERIC, "Can't connect to host '" + closedHost + "'."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        ServerProcess server(c.arguments, {{"MORVANESERVERDIR", fixtures("levels")}, {"ZARN_LOG_LEVEL", "8"}});
        auto code = server.waitExit(EXIT_WAIT);
        ASSERT_TRUE(code);
        EXPECT_EQ(*code, exitCodeOf(c.status));
        std::string log = server.log();
        EXPECT_TRUE(contains(log, c.message)) << log;
        EXPECT_FALSE(contains(log, "Compiled against sqlite version"));
        EXPECT_TRUE(contains(log, "MorvaneServer 1.1.1-Build 20231113") || fs::exists("/fw/etc/SysInfo"));
    }
}

TEST(ServerOptions, AllNonOptionArgumentsAreReported) {
    ServerProcess server({"-p", "1", "one", "two"}, {{"MORVANESERVERDIR", fixtures("levels")}});
    auto code = server.waitExit(EXIT_WAIT);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, exitCodeOf(UNSUPPORTED));
    EXPECT_TRUE(contains(server.log(), "Unused non-option argument: 'one'"));
    EXPECT_TRUE(contains(server.log(), "Unused non-option argument: 'two'"));
}

TEST(ServerStartUp, CategoryWithoutLevelEndsWithGenericError) {
    ServerProcess server({}, {{"MORVANESERVERDIR", fixtures("no_level")}});
    auto code = server.waitExit(EXIT_WAIT);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, exitCodeOf(GENERIC));
    EXPECT_TRUE(contains(server.log("SRV_CommonLog.txt"), "Can't get index level for category 'SRVChannelParameters'"));
}

// A start-up that fails after -N connected tells the host its status.
TEST(ServerStartUp, FailureAfterTheNotificationConnectionIsAnnounced) {
    Listener host;
    ServerProcess server({"-N", "127.0.0.1:" + std::to_string(host.port()), "stray"},
                         {{"MORVANESERVERDIR", fixtures("levels")}});
    auto received = host.acceptAndReadAll(20000ms);
    ASSERT_TRUE(received);
    ASSERT_EQ(received->size(), 10u);
    EXPECT_EQ(getU32(*received, 0), 10u);
    EXPECT_EQ(getU16(*received, 6), NOTIFY);
    EXPECT_EQ(static_cast<int16_t>(getU16(*received, 8)), UNSUPPORTED);
    EXPECT_EQ(server.waitExit(EXIT_WAIT), exitCodeOf(UNSUPPORTED));
}

// ------------------------------------------------------------ the terminal

void quitAndExpectCleanExit(ServerProcess& server, uint16_t port);

// A command line the server can't take ends with its usage text and -33.
TEST(ServerTerminal, CommandLineFaultsPrintTheUsage) {
    struct Case {
        std::vector<std::string> arguments;
        std::string reason; // on stderr before the usage
    } cases[] = {
        // The parser's own lines name the program as the server's lines do,
        // not by the path that started it.
        {{"-x"}, "MorvaneServer: invalid option -- 'x'"},
        {{"-p"}, "MorvaneServer: option requires an argument -- 'p'"},
        {{"-t", "pci"}, "MorvaneServer: -t takes usb or opt, not 'pci'"},
        {{"-N", "localhost"}, "MorvaneServer: -N takes HOST:PORT, not 'localhost'"},
        {{"-p", "1", "stray"}, "MorvaneServer: unexpected argument 'stray'"},
        // A value that is not a number, or does not fit the field it sets,
        // is named with its option (they used to be cut or read as 0).
        {{"-p", "70000"}, "MorvaneServer: -p takes a number from 0 to 65535, not '70000'"},
        {{"-p", "99999"}, "MorvaneServer: -p takes a number from 0 to 65535, not '99999'"},
        {{"-p", "abc"}, "MorvaneServer: -p takes a number from 0 to 65535, not 'abc'"},
        {{"-p", ""}, "MorvaneServer: -p takes a number from 0 to 65535, not ''"},
        {{"-p", "-1"}, "MorvaneServer: -p takes a number from 0 to 65535, not '-1'"},
        {{"-p", "12ab"}, "MorvaneServer: -p takes a number from 0 to 65535, not '12ab'"},
        {{"-n", "abc"}, "MorvaneServer: -n takes a number from 0 to 32767, not 'abc'"},
        {{"-n", "32768"}, "MorvaneServer: -n takes a number from 0 to 32767, not '32768'"},
        {{"-c", "0x10000"}, "MorvaneServer: -c takes a number from 0 to 32767, not '0x10000'"},
        {{"-c", " 1"}, "MorvaneServer: -c takes a number from 0 to 32767, not ' 1'"},
        {{"-a", "0x100000000"}, "MorvaneServer: -a takes a number from 0 to 4294967295, not '0x100000000'"},
        {{"-a", "0xZZ"}, "MorvaneServer: -a takes a number from 0 to 4294967295, not '0xZZ'"},
        {{"-N", "127.0.0.1:abc"}, "MorvaneServer: -N takes HOST:PORT with a port from 0 to 65535, not '127.0.0.1:abc'"},
        {{"-N", "127.0.0.1:70000"},
         "MorvaneServer: -N takes HOST:PORT with a port from 0 to 65535, not '127.0.0.1:70000'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        ServerProcess server(c.arguments, {{"MORVANESERVERDIR", fixtures("levels")}});
        EXPECT_EQ(server.waitExit(EXIT_WAIT), exitCodeOf(UNSUPPORTED));
        std::string errors = server.standardError();
        EXPECT_EQ(errors.rfind(c.reason + "\nUsage: MorvaneServer", 0), 0u) << errors;
        EXPECT_TRUE(contains(errors, "-h            open the register-level device")) << errors;
        EXPECT_EQ(server.standardOutput(), "");
    }
    // --help asks for the text: on stdout, exit 0, and nothing is logged as
    // an error.
    ServerProcess help({"--help"}, {{"MORVANESERVERDIR", fixtures("levels")}});
    EXPECT_EQ(help.waitExit(EXIT_WAIT), 0);
    EXPECT_TRUE(contains(help.standardOutput(), "Usage: MorvaneServer")) << help.output();
    EXPECT_EQ(help.standardError(), "");
    EXPECT_FALSE(contains(help.log(), "ERROR"));
}

// Every other failed start is one line on stderr: the reason and the log
// file that holds the failing step's own messages; the exit code stays the
// status.
TEST(ServerTerminal, FailedStartsSayWhyOnStderr) {
    Listener taken;
    std::string takenPort = std::to_string(taken.port());
    struct Case {
        std::vector<std::string> arguments;
        std::map<std::string, std::string> environment;
        int status;
        std::string reason;
        std::string logFile;
        std::string logged; // the step's message in that log file
    } cases[] = {
        {{"-p", takenPort},
         {},
         -3,
         "cannot listen on TCP port " + takenPort + ": is another server using it? (-p chooses another)",
         "MorvaneServerLog.txt",
         "Cannot init connection. Error -3."},
        {{},
         {{"MORVANESERVERDIR", "/nonexistent"}},
         GENERIC,
         "cannot read the server definitions /nonexistent/ServerDefinitions.xml (check MORVANESERVERDIR)",
         "SRV_CommonLog.txt",
         "Can't get index level for category"},
        {{"-n", "9"},
         {},
         -7,
         "cannot open the board at -t usb -n 9 -c 0 -a 0x0 (see SimulatedBoards.xml)",
         "SRV_CommonLog.txt",
         "opening digitizer with parameters T=0, L=9, C=0, A=0."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        ServerProcess server(c.arguments, c.environment);
        EXPECT_EQ(server.waitExit(EXIT_WAIT), exitCodeOf(c.status));
        std::vector<std::string> lines = linesOf(server.standardError());
        ASSERT_EQ(lines.size(), 1u) << server.output();
        EXPECT_EQ(lines[0], "MorvaneServer did not start: " + c.reason + " (status " + std::to_string(c.status) +
                                "). Details: " + (server.logDir() / c.logFile).string());
        EXPECT_TRUE(contains(server.log(c.logFile), c.logged)) << server.log(c.logFile);
        EXPECT_EQ(server.standardOutput(), "");
    }
}

TEST(ServerTerminal, ServingStartPrintsOneListeningLine) {
    uint16_t port = freePort();
    ServerProcess server({"-p", std::to_string(port)});
    ASSERT_TRUE(server.waitReady()) << server.output();
    std::string expected = "MorvaneServer listens on TCP port " + std::to_string(port) +
                           " (every interface); board OR5780 serial 1101, 8 channels; working folder " +
                           fs::canonical(server.workDir()).string() + "; log " +
                           (server.logDir() / "MorvaneServerLog.txt").string() + "\n";
    EXPECT_TRUE(waitFor([&] { return server.standardOutput() == expected; }, 5000ms)) << server.output();
    quitAndExpectCleanExit(server, port);
    EXPECT_EQ(server.standardOutput(), expected);
}

// A signal that comes while the server starts ends it once it serves, and
// the terminal says so in that order: first that it listens, then that it
// ends. The signal is sent as soon as the start-up has logged its first line.
TEST(ServerTerminal, ASignalDuringTheStartUpIsToldAfterTheListeningLine) {
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        ServerProcess server({"-p", std::to_string(freePort())});
        auto until = Clock::now() + 60000ms;
        while (!contains(server.log(), "MorvaneServer ") && Clock::now() < until)
            std::this_thread::sleep_for(1ms);
        ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
        EXPECT_EQ(server.waitExit(EXIT_WAIT), 0) << server.output();
        std::vector<std::string> lines = linesOf(server.standardOutput());
        ASSERT_EQ(lines.size(), 2u) << server.output();
        EXPECT_EQ(lines[0].rfind("MorvaneServer listens on TCP port ", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1].rfind("MorvaneServer ends on SIGTERM as on command 25", 0), 0u) << lines[1];
        EXPECT_EQ(server.standardError(), "");
    }
}

// The numbers of the options take decimal, 0x hexadecimal and leading-0
// octal, each up to the largest value its field holds.
TEST(ServerOptions, NumbersInEveryBaseUpToTheirFieldAreTaken) {
    uint16_t port = freePort();
    char hexPort[16];
    std::snprintf(hexPort, sizeof hexPort, "0x%X", port);
    ServerProcess server({"-p", hexPort, "-t", "usb", "-n", "00", "-c", "0", "-a", "0x0"});
    ASSERT_TRUE(server.waitReady()) << server.output();
    EXPECT_TRUE(
        waitFor([&] { return contains(server.standardOutput(), "TCP port " + std::to_string(port) + " "); }, 5000ms))
        << server.output();
    quitAndExpectCleanExit(server, port);
    // The largest values pass the check (no board is there).
    ServerProcess largest({"-p", "65535", "-n", "32767", "-c", "0x7FFF", "-a", "0xFFFFFFFF"});
    EXPECT_EQ(largest.waitExit(EXIT_WAIT), exitCodeOf(-7)) << largest.output();
    EXPECT_TRUE(contains(largest.standardError(), "-n 32767 -c 32767 -a 0xffffffff")) << largest.output();
}

// ---------------------------------------------------------- a running server

// Quits the server and checks that it ends cleanly.
void quitAndExpectCleanExit(ServerProcess& server, uint16_t port) {
    Client client(port);
    ASSERT_TRUE(client.connected());
    auto reply = client.request(QUIT, masks(0, 0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size, 10u);
    EXPECT_EQ(reply->status(), SUCCESS);
    EXPECT_EQ(server.waitExit(EXIT_WAIT), 0);
}

// The default port is one for the whole machine: a server of a test run
// beside this one, or any other program, may hold it. The test waits a while
// for it and, if it stays taken, is skipped with the reason.
TEST(ServerStartUp, WithoutOptionsListensOnTheDefaultPortOnEveryInterface) {
    const uint16_t defaultPort = 56342;
    const auto patience = 30s;
    std::unique_ptr<ServerProcess> started;
    for (auto until = Clock::now() + patience; !started && Clock::now() < until;) {
        if (!portFree(defaultPort)) {
            std::this_thread::sleep_for(200ms);
            continue;
        }
        auto server = std::make_unique<ServerProcess>(std::vector<std::string>{});
        if (server->waitReady())
            started = std::move(server);
        else
            // Taken between the look and the server's bind: wait again. Any
            // other end of the start-up is a failure.
            ASSERT_EQ(server->waitExit(EXIT_WAIT), exitCodeOf(-3)) << server->output() << server->log();
    }
    if (!started)
        GTEST_SKIP() << "TCP port " << defaultPort << ", the server's default, stayed taken by another program for "
                     << patience.count() << " s (a server of another test run?): the default port can't be tested now";
    ServerProcess& server = *started;
    // Bound to every interface: a second loopback address reaches it too.
    Client other(defaultPort, 5000ms, 0x7F000002);
    ASSERT_TRUE(other.connected());
    auto reply = other.request(QUIT, masks(0, 1));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status(), UNSUPPORTED);
    EXPECT_TRUE(fs::is_directory(server.workDir() / "Run"));
    // The board's data folder got a spectrum file per channel, made at
    // start-up because none was there.
    int dataFolders = 0;
    for (const auto& entry : fs::directory_iterator(server.workDir()))
        if (entry.is_directory() && entry.path().filename() != "Run") {
            dataFolders++;
            EXPECT_TRUE(fs::exists(entry.path() / "spectrum_ch00.spe")) << entry.path();
        }
    EXPECT_EQ(dataFolders, 1);
    quitAndExpectCleanExit(server, defaultPort);
    EXPECT_TRUE(contains(server.log("SRVBoardThreadLog.txt"), "Acquisition thread exiting."));
}

TEST(ServerStartUp, AnnouncesTheListeningPortGivenAfterTheNotificationHost) {
    Listener host;
    uint16_t port = freePort();
    ServerProcess server({"-N", "127.0.0.1:" + std::to_string(host.port()), "-p", std::to_string(port)});
    auto received = host.acceptAndReadAll(120000ms);
    ASSERT_TRUE(received) << server.log();
    ASSERT_EQ(received->size(), 12u);
    EXPECT_EQ(getU32(*received, 0), 12u);
    EXPECT_EQ(getU16(*received, 6), NOTIFY);
    EXPECT_EQ(static_cast<int16_t>(getU16(*received, 8)), SUCCESS);
    EXPECT_EQ(getU16(*received, 10), port);
    ASSERT_TRUE(server.waitReady());
    // It listens on the local address of the connection to that host only.
    Client other(port, 300ms, 0x7F000002);
    EXPECT_FALSE(other.connected());
    quitAndExpectCleanExit(server, port);
}

// Without a working folder of its own the server works in the user's data
// folder: APPDATA when it is set, else XDG_DATA_HOME.
TEST(ServerStartUp, WorkingFolderFallsBackToTheUserDataFolder) {
    TempDir home;
    std::string appData = (home.path() / "appdata").string();
    std::string xdg = (home.path() / "xdg").string();
    struct Case {
        std::map<std::string, std::string> environment;
        fs::path expected;
    } cases[] = {
        {{{"ZARNWORKINGDIR", ""}, {"APPDATA", appData}, {"XDG_DATA_HOME", xdg}}, fs::path(appData) / "MorvaneServer"},
        {{{"ZARNWORKINGDIR", ""}, {"APPDATA", ""}, {"XDG_DATA_HOME", xdg}}, fs::path(xdg) / "MorvaneServer"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.expected);
        uint16_t port = freePort();
        ServerProcess server({"-p", std::to_string(port)}, c.environment);
        ASSERT_TRUE(server.waitReady()) << server.log();
        EXPECT_TRUE(fs::is_directory(c.expected / "Run"));
        EXPECT_FALSE(fs::exists(server.workDir()));
        quitAndExpectCleanExit(server, port);
    }
}

// One server for the tests of the commands it serves.
class RunningServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        port_ = freePort();
        server_ = new ServerProcess({"-p", std::to_string(port_)});
        ready_ = server_->waitReady();
    }
    static void TearDownTestSuite() {
        if (ready_)
            quitAndExpectCleanExit(*server_, port_);
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(ready_) << server_->log() << server_->log("SRV_CommonLog.txt"); }

    static bool isServed(Client& client) {
        auto reply = client.request(QUIT, masks(0, 1));
        return reply && reply->size == 10 && reply->command == QUIT && reply->status() == UNSUPPORTED;
    }

    static ServerProcess* server_;
    static uint16_t port_;
    static bool ready_;
};
ServerProcess* RunningServer::server_ = nullptr;
uint16_t RunningServer::port_ = 0;
bool RunningServer::ready_ = false;

TEST_F(RunningServer, UnsupportedCodesAnswerInvalidCommandWithHeaderAndStatus) {
    Client client(port_);
    // 0xFFFF is the code a failed receive leaves behind; as a request it is
    // just another unknown code, and the client stays served.
    for (uint16_t code : codesWithoutCommand()) {
        SCOPED_TRACE(code);
        auto reply = client.request(code, masks(0, 0));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->size, 10u);
        EXPECT_EQ(reply->command, code);
        EXPECT_EQ(reply->status(), INVALID_COMMAND);
    }
    EXPECT_TRUE(isServed(client));
}

TEST_F(RunningServer, SendsTheServerDefinitionsFile) {
    const char* folder = std::getenv("MORVANESERVERDIR");
    if (folder == nullptr || *folder == '\0')
        folder = MORVANE_DEFINITIONS_DIR; // the server's own default
    std::string expected = readFile(fs::path(folder) / "ServerDefinitions.xml");
    ASSERT_FALSE(expected.empty());
    Client client(port_);
    auto reply = client.request(DEFINITIONS);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->command, DEFINITIONS);
    EXPECT_EQ(reply->status(), SUCCESS);
    EXPECT_EQ(std::string(reply->payload.begin() + 2, reply->payload.end()), expected);
}

TEST_F(RunningServer, QuitWithAnOutputMaskBitAnswersUnsupportedAndGoesOn) {
    Client client(port_);
    EXPECT_TRUE(isServed(client));
    EXPECT_FALSE(server_->waitExit(500ms));
    EXPECT_TRUE(isServed(client));
}

TEST_F(RunningServer, SecondClientReplacesTheFirst) { ExpectSecondClientReplacesTheFirst(port_, isServed); }

TEST_F(RunningServer, GarbageDropsThatClientAndTheNextOneIsServed) {
    ExpectGarbageDropsItsClientAndTheNextIsServed(port_, isServed);
    EXPECT_FALSE(server_->waitExit(0ms));
}

} // namespace
