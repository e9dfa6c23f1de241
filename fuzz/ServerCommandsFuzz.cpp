/* The request handlers of the server: the start-up of the real server
 * (working folder, SQLite, board open, board folder, spectrum files,
 * start-up configuration, list-mode defaults) without its listening socket
 * and accept thread. Each input becomes one request on a fresh loopback
 * connection, served by the command loop's own request step (receive,
 * dispatch, reply), and the reply that arrives must be one packet whose size
 * is its header's, with the request's code, and only the header and the
 * status when the status is a failure.
 *
 * The first byte chooses a command of the command table (quit left out) and
 * the rest is its payload; a first byte of kRawMode or more sends the rest as
 * it stands instead, header included, for the packet receive path. */
#include "MorvaneServer_Startup.cpp"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <vector>

#include "FuzzSupport.h"
#include "SRV_CommandLoop.h"
#include "SRV_CommandTable.h"
#include "SRV_RunFiles.h"

namespace {

const uint8_t kRawMode = 0xF0;
/* Inputs between two trims of the files the board thread writes. */
const uint32_t kTrimFilesEvery = 512;

SRVStartup_t* startup = NULL;
c_socket_t* listener = NULL;
uint16_t listenerPort = 0;
std::vector<SRVCommand_t> commands;

/* Commands whose requests carry a file name or a path. The server, run as
 * anyone, would make any folder a client names: the fuzzer keeps every name
 * inside the working folder by taking the folder separators out. */
bool CarriesPath(uint16_t command) {
    return command == SRV_CMD_SET_RUN_FILE || command == SRV_CMD_LOAD_RUN_FILE || command == SRV_CMD_SET_LIST_PARAMS ||
           command == SRV_CMD_DATABASE_PATH;
}

void KeepInsideWorkingFolder(std::vector<uint8_t>& bytes, size_t from) {
    for (size_t i = from; i < bytes.size(); ++i)
        if (bytes[i] == '/' || bytes[i] == '\\')
            bytes[i] = '_';
}

void Require(bool ok, const char* step) {
    if (!ok) {
        fprintf(stderr, "server commands fuzzer: %s failed\n", step);
        abort();
    }
}

/* The data files of acquisitions the inputs start (run files, list files)
 * would grow for as long as the fuzzer runs: they are emptied now and then. */
void TrimDataFiles() {
    static uint32_t inputs = 0;
    if (++inputs % kTrimFilesEvery != 0)
        return;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(SRV_Globals->workingFolder, error))
        if (entry.is_regular_file(error) && entry.path().extension() == ".dat")
            truncate(entry.path().c_str(), 0);
}

uint32_t ReadU32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

/* The client's side: sends the request, closes its sending half (so that a
 * short packet ends in a failed receive, not a wait) and reads until the
 * server closes. */
void Client(int fd, const std::vector<uint8_t>* request, std::vector<uint8_t>* reply) {
    size_t sent = 0;
    while (sent < request->size()) {
        ssize_t n = send(fd, request->data() + sent, request->size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    uint8_t buffer[65536];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
        reply->insert(reply->end(), buffer, buffer + n);
}

void CheckReply(const std::vector<uint8_t>& reply, uint16_t command) {
    if (reply.size() < C_PACKET_HEADER_SIZE + sizeof(SRVStatus_t))
        fuzzsup::Violation("a reply shorter than a header and a status");
    if (ReadU32(reply, 0) != reply.size())
        fuzzsup::Violation("a reply's size is not its header's (or more than one reply was sent)");
    if ((reply[6] | (reply[7] << 8)) != command)
        fuzzsup::Violation("a reply carries another command code than its request");
    SRVStatus_t status = static_cast<SRVStatus_t>(reply[8] | (reply[9] << 8));
    if (status != SRV_SUCCESS && reply.size() != C_PACKET_HEADER_SIZE + sizeof(SRVStatus_t))
        fuzzsup::Violation("a failed request's reply carries fields");
}

void PutU32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutU64(std::vector<uint8_t>& b, uint64_t v) {
    PutU32(b, static_cast<uint32_t>(v));
    PutU32(b, static_cast<uint32_t>(v >> 32));
}

void PutText(std::vector<uint8_t>& b, const std::string& text, size_t width) {
    std::vector<uint8_t> field(width, 0);
    std::copy(text.begin(), text.begin() + static_cast<long>(std::min(text.size(), width - 1)), field.begin());
    b.insert(b.end(), field.begin(), field.end());
}

/* Whole requests of the commands that write files: saves and loads of the
 * configuration database and its path, list-mode files, run files, and the
 * start and stop that make the board thread write them. */
void WriteFileSeeds(const std::string& folder) {
    auto seed = [&](SRVCommand_t command, const std::string& name, const std::vector<uint8_t>& payload) {
        size_t index = std::find(commands.begin(), commands.end(), command) - commands.begin();
        std::vector<uint8_t> bytes(1, static_cast<uint8_t>(index));
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        fuzzsup::WriteSeed(folder, name, bytes);
    };
    std::vector<uint8_t> b;
    PutU64(b, 0x1);
    PutU64(b, 0);
    PutText(b, "seed", SRV_CONFIG_NAME_SIZE);
    seed(SRV_CMD_SAVE_CONFIGURATION, "save", b);
    seed(SRV_CMD_LOAD_CONFIGURATION, "load", b);
    seed(SRV_CMD_DELETE_CONFIGURATION, "delete", b);
    b.clear();
    PutU64(b, 0x20);
    PutU64(b, 0x20);
    PutText(b, "seed.info", SRV_PATH_SIZE);
    seed(SRV_CMD_DATABASE_PATH, "database-path", b);
    b.clear();
    PutU64(b, 0xC3F);
    PutU32(b, 0); // channel
    PutU32(b, 1); // enabled
    PutU32(b, 1); // binary file
    PutText(b, "seed.bin", SRV_PATH_SIZE);
    for (uint32_t value : {7u, 0u, 64u, 1u, 1u}) // fields, pseudo events, buffer, flag 0x400, all energies
        PutU32(b, value);
    seed(SRV_CMD_SET_LIST_PARAMS, "list-params", b);
    b = {1};
    PutU32(b, 4);
    b.insert(b.end(), {'s', 'e', 'e', 'd'});
    seed(SRV_CMD_SET_RUN_FILE, "run-file", b);
    b.clear();
    PutText(b, "seed", SRV_RUN_FILE_NAME_SIZE);
    seed(SRV_CMD_LOAD_RUN_FILE, "load-run-file", b);
    b.clear();
    PutU64(b, 0);
    PutU64(b, 0);
    seed(SRV_CMD_STOP_ACQUISITION, "stop", b);
    PutU32(b, 0xFF);
    seed(SRV_CMD_START_ACQUISITION, "start", b);
}

/* Seeds: for every command, the heads of both request forms with every mask
 * bit set (command masks; data mask with a channel, the board, a channel, a
 * channel's energy spectrum as the object); whole requests of the commands
 * that write files; and two whole packets. */
void WriteSeeds(const std::string& folder) {
    WriteFileSeeds(folder);
    const uint64_t all = ~0ull;
    std::vector<std::vector<uint8_t>> heads(6);
    PutU64(heads[1], 0);
    PutU64(heads[1], all);
    PutU64(heads[2], all);
    PutU32(heads[2], 0);
    const std::vector<std::vector<int32_t>> paths = {{0, 1}, {0, 2}, {0, 2, 0, 9}};
    for (size_t p = 0; p < paths.size(); ++p) {
        PutU64(heads[3 + p], all);
        PutU32(heads[3 + p], static_cast<uint32_t>(paths[p].size()));
        for (int32_t element : paths[p])
            PutU32(heads[3 + p], static_cast<uint32_t>(element));
    }
    for (size_t c = 0; c < commands.size(); ++c)
        for (size_t h = 0; h < heads.size(); ++h) {
            std::vector<uint8_t> seed(1, static_cast<uint8_t>(c));
            seed.insert(seed.end(), heads[h].begin(), heads[h].end());
            fuzzsup::WriteSeed(folder, "command" + std::to_string(commands[c]) + "-" + std::to_string(h), seed);
        }
    for (uint16_t command : {SRV_CMD_GET_BOARD_INFO, SRV_CMD_GET_SERVER_DEFINITIONS}) {
        std::vector<uint8_t> seed = {kRawMode};
        PutU32(seed, command == SRV_CMD_GET_BOARD_INFO ? 16 : 8);
        seed.insert(seed.end(), {0, 0, static_cast<uint8_t>(command), 0});
        if (command == SRV_CMD_GET_BOARD_INFO)
            PutU64(seed, all);
        fuzzsup::WriteSeed(folder, "packet" + std::to_string(command), seed);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    size_t tableSize = 0;
    const SRVCommandEntry_t* table = SRV_CommandTable(&tableSize);
    for (size_t i = 0; i < tableSize; ++i)
        if (table[i].code != SRV_CMD_QUIT)
            commands.push_back(table[i].code);
    fuzzsup::WriteSeedsIfRequested(WriteSeeds);
    fuzzsup::QuietLogs();
    signal(SIGPIPE, SIG_IGN);
    setenv("ZARNWORKINGDIR", (fuzzsup::ScratchFolder() + "/work").c_str(), 1);
    startup = static_cast<SRVStartup_t*>(c_calloc(1, sizeof(SRVStartup_t)));
    Require(startup != NULL, "allocation");
    // The start-up of SRV_Run, up to the listening socket.
    Require(SRV_InitGlobals() == SRV_SUCCESS, "SRV_InitGlobals");
    Require(ConfigureSqlite() == SRV_SUCCESS, "ConfigureSqlite");
    Require(c_socket_init() == 0, "c_socket_init");
    Require(prepareWorkingFolder() == SRV_SUCCESS, "the working folder");
    Require(SRV_AddBoard(&startup->connParams, NULL) == SRV_SUCCESS, "the board open");
    Require(prepareBoardFolder(startup) == SRV_SUCCESS, "the board folder");
    // A loopback listener of the fuzzer's own: one connection per input.
    Require(c_socket_server_init(&listener, INADDR_LOOPBACK, &listenerPort) == 0, "the loopback listener");
    Require(SRV_InitConnection(&startup->connection, NULL) == 0, "the connection record");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size - 1 > C_PACKET_MAX_SIZE - C_PACKET_HEADER_SIZE)
        return 0;
    fuzzsup::TrimLogs();
    TrimDataFiles();

    std::vector<uint8_t> request;
    uint16_t command;
    if (data[0] >= kRawMode) {
        request.assign(data + 1, data + size);
        command = request.size() >= C_PACKET_HEADER_SIZE ? static_cast<uint16_t>(request[6] | (request[7] << 8))
                                                         : C_PACKET_RECV_FAILED;
        if (command == SRV_CMD_QUIT)
            return 0;
        if (CarriesPath(command))
            KeepInsideWorkingFolder(request, C_PACKET_HEADER_SIZE);
    } else {
        command = commands[data[0] % commands.size()];
        uint32_t packetSize = static_cast<uint32_t>(C_PACKET_HEADER_SIZE + size - 1);
        for (int i = 0; i < 4; ++i)
            request.push_back(static_cast<uint8_t>(packetSize >> (8 * i)));
        request.insert(request.end(), {0, 0, static_cast<uint8_t>(command), static_cast<uint8_t>(command >> 8)});
        request.insert(request.end(), data + 1, data + size);
        if (CarriesPath(command))
            KeepInsideWorkingFolder(request, C_PACKET_HEADER_SIZE);
    }

    c_socket_t* peer = NULL;
    c_socket_t* served = NULL;
    Require(c_socket_client_connect(&peer, "127.0.0.1", listenerPort) == 0, "the loopback connect");
    Require(c_socket_server_accept(listener, &served) == 0, "the loopback accept");
    std::vector<uint8_t> reply;
    std::thread client(Client, c_socket_fd(peer), &request, &reply);

    SRVConnection_t* connection = &startup->connection;
    SRV_SetClient(served, connection);
    c_socket_t* current = SRV_AcquireClient(connection, 0);
    bool quit = SRV_ServeRequest(connection, current, &SRV_Globals->board, startup->databasePath);
    SRV_ReleaseClient(connection, current);
    // The server's side goes (if the receive had not already dropped it),
    // which ends the client's reading.
    SRV_HandleClientDisconnection(current, connection);
    client.join();
    c_socket_delete(peer);

    if (quit)
        fuzzsup::Violation("a request other than quit ended the command loop");
    if (data[0] < kRawMode || !reply.empty())
        CheckReply(reply, command);
    return 0;
}
