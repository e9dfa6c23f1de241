// Requests and replies of the parameter, register, board-information and
// system commands, byte by byte as a client writes and reads them.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "../server/ServerTestSupport.h"

namespace cmdtest {

using srvtest::Bytes;

// Command codes: srvtest::command, seen here and by every user of this header.
using namespace srvtest::command;

// Object types of an index path.
enum : int32_t {
    kBoard = 1,
    kChannel = 2,
    kHVChannel = 3,
    kHVRange = 4,
    kLVDS = 5,
    kVTrace = 6,
    kCode = 7,
    kSpectrum = 9,
    kMCS = 10,
    kROI = 11,
    kMonOut = 15,
    kDT = 16
};

constexpr size_t kText = 48;

// Builds a payload value by value (little-endian).
class Request {
public:
    Request& u32(uint32_t v) {
        srvtest::putU32(bytes_, v);
        return *this;
    }
    Request& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    Request& u64(uint64_t v) {
        srvtest::putU64(bytes_, v);
        return *this;
    }
    Request& f64(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        return u64(bits);
    }
    // A fixed text of n bytes: the text, then NULs (or cut to n bytes).
    Request& text(const std::string& t, size_t n = kText) {
        for (size_t i = 0; i < n; i++)
            bytes_.push_back(i < t.size() ? static_cast<uint8_t>(t[i]) : 0);
        return *this;
    }
    // An index path in the int32 array form.
    Request& path(std::initializer_list<int32_t> elements) {
        u32(static_cast<uint32_t>(elements.size()));
        for (int32_t e : elements)
            i32(e);
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }
    operator const Bytes&() const { return bytes_; }

private:
    Bytes bytes_;
};

// Reads the fields of a reply payload (a copy) after its status; throws when a
// field lies past the end, so a short reply fails the test that reads it.
class Reader {
public:
    explicit Reader(Bytes payload) : payload_(std::move(payload)), at_(2) {}
    int16_t status() const { return static_cast<int16_t>(srvtest::getU16(payload_, 0)); }
    uint16_t u16() { return static_cast<uint16_t>(take(2)); }
    uint32_t u32() { return static_cast<uint32_t>(take(4)); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    double f64() {
        uint64_t bits = take(8);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    // A fixed text of n bytes, up to its first NUL.
    std::string text(size_t n = kText) {
        need(n);
        std::string t(reinterpret_cast<const char*>(payload_.data() + at_), n);
        at_ += n;
        return t.substr(0, t.find('\0'));
    }
    Bytes raw(size_t n) {
        need(n);
        Bytes b(payload_.begin() + static_cast<long>(at_), payload_.begin() + static_cast<long>(at_ + n));
        at_ += n;
        return b;
    }
    size_t left() const { return payload_.size() - at_; }

private:
    void need(size_t n) const {
        if (at_ + n > payload_.size())
            throw std::out_of_range("reply shorter than its fields");
    }
    uint64_t take(size_t n) {
        need(n);
        uint64_t v = 0;
        for (size_t i = 0; i < n; i++)
            v |= static_cast<uint64_t>(payload_[at_ + i]) << (8 * i);
        at_ += n;
        return v;
    }
    Bytes payload_;
    size_t at_;
};

// Requests of the data-mask form on a parameter address.
inline Request parameterRequest(uint64_t dataMask, std::initializer_list<int32_t> path) {
    Request r;
    r.u64(dataMask).path(path);
    return r;
}

// Requests of the command-mask form.
inline Request maskRequest(uint64_t in, uint64_t out) {
    Request r;
    r.u64(in).u64(out);
    return r;
}

#ifdef MORVANE_SERVER_BINARY

// Sends a request and returns the reply's payload (status and fields); fails
// the test when no whole reply of that command arrives.
inline Bytes requestOver(srvtest::Client& client, uint16_t command, const Bytes& payload) {
    std::optional<srvtest::Reply> reply = client.request(command, payload);
    if (!reply) {
        ADD_FAILURE() << "no reply to command " << command;
        return Bytes{0xFF, 0x7F};
    }
    EXPECT_EQ(reply->command, command);
    EXPECT_GE(reply->payload.size(), 2u);
    return reply->payload;
}

// One server process for a whole suite, on the simulated board, with one
// client connection; `environment` may point it at other definitions, and
// `arguments` (after the port) at another board.
class ServerSuite : public ::testing::Test {
protected:
    static void startServer(std::map<std::string, std::string> environment = {},
                            std::vector<std::string> arguments = {}) {
        port_ = srvtest::freePort();
        arguments.insert(arguments.begin(), {"-p", std::to_string(port_)});
        server_ = new srvtest::ServerProcess(arguments, environment);
        ASSERT_TRUE(server_->waitReady()) << server_->log();
        client_ = new srvtest::Client(port_);
        ASSERT_TRUE(client_->connected());
    }
    static void TearDownTestSuite() {
        delete client_;
        client_ = nullptr;
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        if (server_ == nullptr || client_ == nullptr || !client_->connected())
            GTEST_SKIP() << "the server did not start";
    }

    // Sends a request and returns the reply's payload (status and fields);
    // fails the test when no whole reply of that command arrives.
    static Bytes request(uint16_t command, const Bytes& payload) { return requestOver(*client_, command, payload); }
    static int16_t status(const Bytes& payload) { return Reader(payload).status(); }
    static std::string log(const std::string& file) { return server_->log(file); }

    static inline uint16_t port_ = 0;
    static inline srvtest::ServerProcess* server_ = nullptr;
    static inline srvtest::Client* client_ = nullptr;
};

#endif // MORVANE_SERVER_BINARY

} // namespace cmdtest
