// Helpers of the server tests: a raw TCP client that builds and reads
// packets byte by byte (little-endian, as clients elsewhere do), the command
// codes, garbage packets, free ports, temporary folders, log files, and a
// launcher for the server process.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace srvtest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// ------------------------------------------------------------------ packets

inline void putU16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void putU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; i++)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void putU64(Bytes& b, uint64_t v) {
    for (int i = 0; i < 8; i++)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint16_t getU16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8)); }
inline uint32_t getU32(const Bytes& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | b.at(at + i);
    return v;
}

// A whole packet: header {size, flags 0, command} and the payload.
inline Bytes packet(uint16_t command, const Bytes& payload = {}) {
    Bytes b;
    putU32(b, static_cast<uint32_t>(8 + payload.size()));
    putU16(b, 0);
    putU16(b, command);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// The request of a command-mask command without fields.
inline Bytes masks(uint64_t in, uint64_t out) {
    Bytes b;
    putU64(b, in);
    putU64(b, out);
    return b;
}

// The command codes a client sends.
namespace command {
const uint16_t BOARD_INFO = 5, WRITE_REGISTER = 6, READ_REGISTER = 7, START = 8, STOP = 9, SET_PARAMETER = 13,
               GET_PARAMETER = 14, PARAMETER_INFO = 15, SET_RUN_FILE = 22, LOAD_RUN_FILE = 23, LIST_RUN_FILES = 24,
               QUIT = 25, DEFINITIONS = 26, GET_SPECTRUM = 27, SET_SPECTRUM = 28, CLEAR_SPECTRUM = 29,
               GET_WAVEFORM = 30, SAVE_CONFIGURATION = 31, LOAD_CONFIGURATION = 32, LIST_CONFIGURATIONS = 33,
               DELETE_CONFIGURATION = 34, SET_LIST = 35, GET_LIST = 36, HV_CHANNEL_INFO = 37, HV_RANGE_INFO = 38,
               START_AUTOSET = 39, STOP_AUTOSET = 40, SPECTRA_COUNT = 41, GET_ROI = 42, HV_ON = 43, HV_OFF = 44,
               HV_ONOFF = 45, GET_MCS = 46, MCS_SWEEP = 47, CLEAR_MCS = 48, RESET_GAIN_STAB = 49, GET_DT = 50,
               SET_DT = 51, CLEAR_DT = 52, SAMPLE_ADVANCE = 53, NOTIFY = 54, DATABASE_PATH = 55, DATE_TIME = 56;
}

// Bytes that are no request: the server drops the client that sends them
// (at once, or when the rest of the packet does not come) and serves the next.
struct GarbagePacket {
    const char* name;
    Bytes bytes;
    bool thenClose; // the client hangs up after sending
};

inline std::vector<GarbagePacket> garbagePackets() {
    Bytes tooLarge;
    putU32(tooLarge, 16u * 1024u * 1024u + 1u);
    putU16(tooLarge, 0);
    putU16(tooLarge, command::QUIT);
    Bytes cutNearItsEnd = packet(command::QUIT, masks(0, 0));
    cutNearItsEnd.resize(cutNearItsEnd.size() - 3);
    Bytes cutAfterTheHeader = packet(command::QUIT, masks(0, 0));
    cutAfterTheHeader.resize(12);
    Bytes seeded;
    uint32_t seed = 12345;
    for (int i = 0; i < 64; i++) {
        seed = seed * 1103515245u + 12345u;
        seeded.push_back(static_cast<uint8_t>(seed >> 16));
    }
    return {
        {"size 4, below 8", {4, 0, 0, 0, 0, 0, 25, 0}, false},
        {"size 7, below 8", {7, 0, 0, 0, 0, 0, 25, 0}, false},
        {"size above 16 MiB", tooLarge, false},
        {"cut 3 bytes before its end", cutNearItsEnd, true},
        {"cut 4 bytes into the payload", cutAfterTheHeader, true},
        {"10 random bytes", {0xde, 0xad, 0xbe, 0xef, 0x13, 0x37, 0x42, 0x99, 0x01, 0xff}, true},
        {"64 random bytes", seeded, true},
    };
}

struct Reply {
    uint32_t size = 0;
    uint16_t command = 0;
    Bytes payload; // size - 8 bytes
    int16_t status() const { return static_cast<int16_t>(getU16(payload, 0)); }
};

// ------------------------------------------------------------------ client

class Client {
public:
    Client() = default;
    explicit Client(uint16_t port, std::chrono::milliseconds patience = std::chrono::milliseconds(5000),
                    uint32_t host = INADDR_LOOPBACK) {
        auto until = Clock::now() + patience;
        do {
            fd_ = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(host);
            if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                return;
            close(fd_);
            fd_ = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (Clock::now() < until);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    Client(Client&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    ~Client() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool connected() const { return fd_ >= 0; }

    bool send(const Bytes& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads exactly n bytes, or fewer when the peer closes or the time runs out.
    Bytes read(size_t n, std::chrono::milliseconds timeout) {
        Bytes out;
        auto until = Clock::now() + timeout;
        while (out.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            uint8_t buffer[65536];
            size_t want = std::min(sizeof buffer, n - out.size());
            ssize_t got = recv(fd_, buffer, want, 0);
            if (got <= 0)
                break;
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }

    std::optional<Reply> receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
        Bytes header = read(8, timeout);
        if (header.size() < 8)
            return std::nullopt;
        Reply reply;
        reply.size = getU32(header, 0);
        reply.command = getU16(header, 6);
        if (reply.size < 8)
            return std::nullopt;
        reply.payload = read(reply.size - 8, timeout);
        if (reply.payload.size() != reply.size - 8)
            return std::nullopt;
        return reply;
    }

    std::optional<Reply> request(uint16_t command, const Bytes& payload = {},
                                 std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
        if (!send(packet(command, payload)))
            return std::nullopt;
        return receive(timeout);
    }

    // True when the server closed the connection within the time.
    bool closedByPeer(std::chrono::milliseconds timeout) {
        auto until = Clock::now() + timeout;
        while (Clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                uint8_t byte;
                ssize_t got = recv(fd_, &byte, 1, 0);
                if (got <= 0)
                    return true;
            }
        }
        return false;
    }

private:
    int fd_ = -1;
};

// Whether a listening socket could take the port on every interface now, as
// the server binds it (SO_REUSEADDR: connections of an earlier server that are
// still closing don't hold it).
inline bool portFree(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

// Claims a port for this test process: a lock on a file named by the port in
// the system's temporary folder, held until the process ends, so that two
// test programs running beside each other never hand out the same port.
inline bool claimPort(uint16_t port) {
    std::string name =
        (std::filesystem::temp_directory_path() / ("morvane-test-port-" + std::to_string(port))).string();
    int fd = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return true; // no lock to be had: the bind check alone decides
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    return true; // the descriptor stays open: the claim lasts as long as the process
}

// A loopback port that no socket holds. It is drawn below the kernel's
// ephemeral range (32768 and up here), so that no client socket of a test
// running beside this one can take it between this check and the server's
// bind, and claimed, so that no other test program draws it too.
inline uint16_t freePort() {
    static std::mt19937 draw(static_cast<uint32_t>(getpid()) * 2654435761u ^
                             static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 1000; attempt++) {
        uint16_t port = static_cast<uint16_t>(20000 + draw() % 12000);
        if (portFree(port) && claimPort(port))
            return port;
    }
    return 0;
}

// A listening socket on a free loopback port, for the -N host.
class Listener {
public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd_, 4);
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { close(fd_); }
    uint16_t port() const { return port_; }
    // Accepts one connection and reads everything it sends until it closes.
    std::optional<Bytes> acceptAndReadAll(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return std::nullopt;
        int peer = accept(fd_, nullptr, nullptr);
        if (peer < 0)
            return std::nullopt;
        Bytes all;
        auto until = Clock::now() + timeout;
        while (Clock::now() < until) {
            pollfd q{peer, POLLIN, 0};
            if (poll(&q, 1, 100) <= 0)
                continue;
            uint8_t buffer[256];
            ssize_t got = recv(peer, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            all.insert(all.end(), buffer, buffer + got);
        }
        close(peer);
        return all;
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// ------------------------------------------------------------ files

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "morvane-server-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        path_ = mkdtemp(buffer.data());
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The folder of a test program that runs the server's own code in its
// process: its logs in "logs", its working folder "work". The first call
// creates it and points the server's variables at it, so a program calls
// it while it starts, before any server code logs.
inline const fs::path& inProcessServerFolder() {
    static TempDir folder;
    static const bool environmentSet = [] {
        fs::create_directories(folder.path() / "logs");
        setenv("ZARN_LOG_DIR", (folder.path() / "logs").c_str(), 1);
        setenv("ZARNWORKINGDIR", (folder.path() / "work").c_str(), 1);
        return true;
    }();
    (void)environmentSet;
    return folder.path();
}

// Swaps a folder back and forth for a symbolic link to another folder, on a
// thread of its own, until it is destroyed (the folder is then back).
class FolderSwapper {
public:
    FolderSwapper(const fs::path& folder, const fs::path& target)
        : thread_([this, folder, target] {
              const fs::path aside = folder.string() + ".real";
              while (!stop_) {
                  rename(folder.c_str(), aside.c_str());
                  symlink(target.c_str(), folder.c_str());
                  std::this_thread::yield();
                  unlink(folder.c_str());
                  rename(aside.c_str(), folder.c_str());
                  std::this_thread::yield();
              }
          }) {}
    FolderSwapper(const FolderSwapper&) = delete;
    FolderSwapper& operator=(const FolderSwapper&) = delete;
    ~FolderSwapper() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lines of a text, without their line ends.
inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto until = Clock::now() + timeout;
    while (Clock::now() < until) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

// ----------------------------------------------------------- the process
#ifdef MORVANE_SERVER_BINARY

// The server process, started with its own working and log folders (an
// entry of environment replaces the default one), from launchFolder when one
// is given.
class ServerProcess {
public:
    ServerProcess(std::vector<std::string> arguments, std::map<std::string, std::string> environment = {},
                  const fs::path& launchFolder = {}) {
        logDir_ = temp_.path() / "logs";
        workDir_ = temp_.path() / "work";
        fs::create_directories(logDir_);
        std::map<std::string, std::string> env;
        for (char** e = environ; *e != nullptr; e++) {
            std::string entry = *e;
            size_t equals = entry.find('=');
            if (equals != std::string::npos)
                env[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        env["ZARNWORKINGDIR"] = workDir_.string();
        env["ZARN_LOG_DIR"] = logDir_.string();
        for (auto& [key, value] : environment)
            env[key] = value;

        std::vector<std::string> envTexts;
        for (auto& [key, value] : env)
            envTexts.push_back(key + "=" + value);
        std::vector<char*> envp;
        for (auto& text : envTexts)
            envp.push_back(text.data());
        envp.push_back(nullptr);

        arguments.insert(arguments.begin(), MORVANE_SERVER_BINARY);
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        std::string out = (temp_.path() / "stdout.txt").string();
        std::string err = (temp_.path() / "stderr.txt").string();
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!launchFolder.empty())
            posix_spawn_file_actions_addchdir_np(&actions, launchFolder.c_str());
        if (posix_spawn(&pid_, MORVANE_SERVER_BINARY, &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess() {
        if (pid_ > 0 && !exitCode_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    pid_t pid() const { return pid_; }
    const fs::path& workDir() const { return workDir_; }
    const fs::path& logDir() const { return logDir_; }
    std::string log(const std::string& file = "MorvaneServerLog.txt") const { return readFile(logDir_ / file); }
    std::string standardOutput() const { return readFile(temp_.path() / "stdout.txt"); }
    std::string standardError() const { return readFile(temp_.path() / "stderr.txt"); }
    // Both, for a failure's message.
    std::string output() const { return standardOutput() + standardError(); }

    // The exit code once the process has ended within the time.
    std::optional<int> waitExit(std::chrono::milliseconds timeout) {
        if (exitCode_)
            return exitCode_;
        auto until = Clock::now() + timeout;
        while (pid_ > 0) {
            int status = 0;
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exitCode_;
            }
            if (Clock::now() >= until)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::nullopt;
    }

    // True once the server logged that it serves; false when it ended first.
    bool waitReady(std::chrono::milliseconds timeout = std::chrono::milliseconds(120000)) {
        auto until = Clock::now() + timeout;
        while (Clock::now() < until) {
            if (log().find("Waiting for commands...") != std::string::npos)
                return true;
            if (waitExit(std::chrono::milliseconds(0)))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

private:
    TempDir temp_;
    fs::path logDir_;
    fs::path workDir_;
    pid_t pid_ = -1;
    std::optional<int> exitCode_;
};

#endif // MORVANE_SERVER_BINARY

// The exit code the shell sees for a status.
inline int exitCodeOf(int status) { return status & 0xFF; }

} // namespace srvtest
