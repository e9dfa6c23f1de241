// The packet layer: value encoding, the wire-format example, bounds checks
// of the readers, and whole-packet receives over a loopback connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "ZarnUtility.h"

namespace {

std::vector<uint8_t> bytesOf(const void* buffer, uint32_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    return std::vector<uint8_t>(bytes, bytes + size);
}

TEST(PacketBuild, WireFormatExampleByteForByte) {
    uint32_t size = 0;
    void* packet = c_createheader(0, 14, &size);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(size, 8u);
    uint64_t dataMask = 0x1;
    int32_t path[] = {3, 2, 12, 7};
    packet = serialize_u64(&dataMask, 1, packet, &size);
    ASSERT_NE(packet, nullptr);
    packet = serialize_i32_array(path, 4, packet, &size);
    ASSERT_NE(packet, nullptr);
    const std::vector<uint8_t> expected = {
        0x24, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0e, 0x00, //
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, //
        0x04, 0x00, 0x00, 0x00,                         //
        0x03, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, //
        0x0c, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,
    };
    EXPECT_EQ(size, 36u);
    EXPECT_EQ(bytesOf(packet, size), expected);
    c_free(packet);
}

TEST(PacketBuild, EveryTypeRoundTrips) {
    uint32_t size = 0;
    void* packet = c_createheader(0x55AA, 0x1234, &size);
    int8_t i8[] = {-128, 127};
    uint8_t u8[] = {0, 255};
    int16_t i16[] = {-32768, 1234};
    uint16_t u16[] = {65535, 1};
    int32_t i32[] = {std::numeric_limits<int32_t>::min(), -1};
    uint32_t u32[] = {0xDEADBEEF, 0};
    int64_t i64[] = {std::numeric_limits<int64_t>::min(), 42};
    uint64_t u64[] = {0x0102030405060708ull, ~0ull};
    float f32[] = {-1.5f, std::numeric_limits<float>::denorm_min()};
    double f64[] = {3.141592653589793, -0.0};
    char text[48] = "channel name";
    packet = serialize_i8(i8, 2, packet, &size);
    packet = serialize_u8(u8, 2, packet, &size);
    packet = serialize_i16(i16, 2, packet, &size);
    packet = serialize_u16(u16, 2, packet, &size);
    packet = serialize_i32(i32, 2, packet, &size);
    packet = serialize_u32_array(u32, 2, packet, &size);
    packet = serialize_i64(i64, 2, packet, &size);
    packet = serialize_u64(u64, 2, packet, &size);
    packet = serialize_f32_array(f32, 2, packet, &size);
    packet = serialize_f64(f64, 2, packet, &size);
    packet = serialize_char(text, sizeof text, packet, &size);
    ASSERT_NE(packet, nullptr);
    const uint8_t* bytes = static_cast<const uint8_t*>(packet);
    EXPECT_EQ(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24, static_cast<int>(size));
    EXPECT_EQ(bytes[4], 0xAA);                                  // flags, little-endian
    EXPECT_EQ(bytes[6], 0x34);                                  // command, little-endian
    EXPECT_EQ(bytes[8 + 2 + 2 + 4 + 4 + 8 + 4 + 8 + 16], 0x08); // low byte of u64[0] comes first

    int8_t ri8[2];
    uint8_t ru8[2];
    int16_t ri16[2];
    uint16_t ru16[2];
    int32_t ri32[2];
    uint32_t ru32[2], nu32 = 0, nf32 = 0;
    int64_t ri64[2];
    uint64_t ru64[2];
    float rf32[2];
    double rf64[2];
    char rtext[48];
    const void* end = bytes + size;
    const void* p = bytes + C_PACKET_HEADER_SIZE;
    p = deserialize_i8(ri8, 2, p, end);
    p = deserialize_u8(ru8, 2, p, end);
    p = deserialize_i16(ri16, 2, p, end);
    p = deserialize_u16(ru16, 2, p, end);
    p = deserialize_i32(ri32, 2, p, end);
    p = deserialize_u32_array(ru32, 2, &nu32, p, end);
    p = deserialize_i64(ri64, 2, p, end);
    p = deserialize_u64(ru64, 2, p, end);
    p = deserialize_f32_array(rf32, 2, &nf32, p, end);
    p = deserialize_f64(rf64, 2, p, end);
    p = deserialize_text(rtext, sizeof rtext, p, end);
    EXPECT_EQ(p, end);
    EXPECT_EQ(memcmp(ri8, i8, sizeof i8), 0);
    EXPECT_EQ(memcmp(ru8, u8, sizeof u8), 0);
    EXPECT_EQ(memcmp(ri16, i16, sizeof i16), 0);
    EXPECT_EQ(memcmp(ru16, u16, sizeof u16), 0);
    EXPECT_EQ(memcmp(ri32, i32, sizeof i32), 0);
    EXPECT_EQ(nu32, 2u);
    EXPECT_EQ(memcmp(ru32, u32, sizeof u32), 0);
    EXPECT_EQ(memcmp(ri64, i64, sizeof i64), 0);
    EXPECT_EQ(memcmp(ru64, u64, sizeof u64), 0);
    EXPECT_EQ(nf32, 2u);
    EXPECT_EQ(memcmp(rf32, f32, sizeof f32), 0);
    EXPECT_EQ(rf64[0], f64[0]);
    EXPECT_TRUE(std::signbit(rf64[1]));
    EXPECT_STREQ(rtext, text);
    c_free(packet);
}

TEST(PacketBuild, LargeRepliesGrowAndTheSizeFieldCannotOverflow) {
    uint32_t size = 0;
    void* packet = c_createheader(0, 26, &size);
    std::vector<uint8_t> block(65536);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = static_cast<uint8_t>(i * 7);
    for (int i = 0; i < 200; i++) { // 12.5 MiB
        packet = serialize_u8(block.data(), static_cast<uint32_t>(block.size()), packet, &size);
        ASSERT_NE(packet, nullptr) << "block " << i;
    }
    EXPECT_EQ(size, 8u + 200u * 65536u);
    const uint8_t* last = static_cast<const uint8_t*>(packet) + size - block.size();
    EXPECT_EQ(memcmp(last, block.data(), block.size()), 0);
    c_free(packet);
    // A packet whose size would not fit its u32 size field is not built (the
    // buffer is freed); the check comes before any value is read.
    packet = c_createheader(0, 26, &size);
    uint64_t few[1] = {0};
    EXPECT_EQ(serialize_u64(few, 0x20000000u, packet, &size), nullptr);
}

TEST(PacketBuild, BadArgumentsFreeTheBuffer) {
    uint32_t size = 0;
    void* packet = c_createheader(0, 1, &size);
    EXPECT_EQ(serialize_u32(nullptr, 1, packet, &size), nullptr); // freed: ASan would report a leak otherwise
    EXPECT_EQ(serialize_u32(nullptr, 0, nullptr, &size), nullptr);
    packet = c_createheader(0, 1, &size);
    uint32_t wrongSize = 4; // below the header
    uint32_t value = 1;
    EXPECT_EQ(serialize_u32(&value, 1, packet, &wrongSize), nullptr);
}

TEST(PacketRead, ReadersNeverPassTheEnd) {
    const uint8_t payload[] = {3, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c'};
    const void* end = payload + sizeof payload;
    uint32_t values[4] = {};
    uint32_t count = 99;
    // An array count above the reader's maximum fails, and count is untouched.
    EXPECT_EQ(deserialize_u32_array(values, 2, &count, payload, end), nullptr);
    EXPECT_EQ(count, 99u);
    EXPECT_NE(deserialize_u32_array(values, 3, &count, payload, end), nullptr);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(values[2], 3u);
    // An array whose count claims more values than the payload holds.
    const uint8_t claimed[] = {5, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(deserialize_u32_array(values, 100, &count, claimed, claimed + sizeof claimed), nullptr);
    // Plain reads past the end, by one byte or by a huge count.
    uint64_t big;
    EXPECT_EQ(deserialize_u64(&big, 1, payload + sizeof payload - 7, end), nullptr);
    EXPECT_EQ(deserialize_u32(values, 0x40000001u, payload, end), nullptr);
    EXPECT_EQ(deserialize_u8(reinterpret_cast<uint8_t*>(values), 1, end, payload), nullptr); // reversed range
    // A NULL position (a failed earlier read) propagates.
    EXPECT_EQ(deserialize_u32(values, 1, nullptr, end), nullptr);
    EXPECT_EQ(deserialize_u32(values, 0, end, end), end);
}

TEST(PacketRead, FixedTextIsAlwaysTerminated) {
    const char field[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}; // no terminator
    char text[8];
    const void* after = deserialize_text(text, 8, field, field + 8);
    EXPECT_EQ(after, field + 8);
    EXPECT_STREQ(text, "abcdefg");
    const char shortField[8] = {'x', 'y', 0, 'z', 0, 0, 0, 0};
    EXPECT_EQ(deserialize_text(text, 8, shortField, shortField + 8), shortField + 8);
    EXPECT_STREQ(text, "xy");
    EXPECT_EQ(deserialize_text(text, 8, field, field + 7), nullptr);
    EXPECT_EQ(deserialize_text(text, 0, field, field + 8), nullptr);
}

// A connected pair over loopback: server is the side under test, peer writes
// raw bytes.
class PacketSocket : public ::testing::Test {
protected:
    void SetUp() override {
        uint16_t port = 0;
        ASSERT_EQ(c_socket_server_init(&listener, INADDR_LOOPBACK, &port), 0);
        ASSERT_NE(port, 0);
        ASSERT_EQ(c_socket_client_connect(&peer, "127.0.0.1", port), 0);
        ASSERT_EQ(c_socket_server_accept(listener, &server), 0);
    }
    void TearDown() override {
        c_socket_delete(server);
        c_socket_delete(peer);
        c_socket_delete(listener);
    }
    void sendRaw(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(c_send(peer, bytes.data(), static_cast<uint32_t>(bytes.size())), static_cast<int64_t>(bytes.size()));
    }
    void closePeer() {
        c_socket_delete(peer);
        peer = nullptr;
    }
    // Receives and expects a failure.
    void expectFailure() {
        uint16_t command = 0;
        uint32_t payloadSize = 77;
        void* payload = c_recv_packet(server, &command, &payloadSize);
        EXPECT_EQ(payload, nullptr);
        EXPECT_EQ(command, C_PACKET_RECV_FAILED);
        c_free(payload);
    }

    c_socket_t* listener = nullptr;
    c_socket_t* peer = nullptr;
    c_socket_t* server = nullptr;
};

TEST_F(PacketSocket, BackToBackPacketsAreReadOneAtATime) {
    uint32_t size = 0;
    void* packet = c_createheader(0, 14, &size);
    uint32_t value = 0xA1B2C3D4;
    packet = serialize_u32(&value, 1, packet, &size);
    std::vector<uint8_t> twoPackets = bytesOf(packet, size);
    twoPackets.insert(twoPackets.end(), {8, 0, 0, 0, 0, 0, 25, 0}); // header only: empty payload
    c_free(packet);
    sendRaw(twoPackets);

    uint16_t command = 0;
    uint32_t payloadSize = 0;
    void* payload = c_recv_packet(server, &command, &payloadSize);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(command, 14);
    EXPECT_EQ(payloadSize, 4u);
    uint32_t read = 0;
    EXPECT_EQ(deserialize_u32(&read, 1, payload, static_cast<uint8_t*>(payload) + payloadSize),
              static_cast<uint8_t*>(payload) + 4);
    EXPECT_EQ(read, value);
    c_free(payload);

    payload = c_recv_packet(server, &command, &payloadSize);
    ASSERT_NE(payload, nullptr); // usable even when empty
    EXPECT_EQ(command, 25);
    EXPECT_EQ(payloadSize, 0u);
    c_free(payload);
}

// Every code is a request's, the one a failed receive leaves behind too: a
// failure is told by the NULL payload alone.
TEST_F(PacketSocket, CodeFFFFIsReceivedLikeAnyOther) {
    sendRaw({10, 0, 0, 0, 0, 0, 0xff, 0xff, 0x34, 0x12, 8, 0, 0, 0, 0, 0, 0xff, 0xff});
    for (uint32_t expectedSize : {2u, 0u}) {
        uint16_t command = 0;
        uint32_t payloadSize = 77;
        void* payload = c_recv_packet(server, &command, &payloadSize);
        ASSERT_NE(payload, nullptr);
        EXPECT_EQ(command, 0xFFFF);
        EXPECT_EQ(payloadSize, expectedSize);
        c_free(payload);
    }
}

TEST_F(PacketSocket, SizeBelowHeaderIsRefused) {
    sendRaw({7, 0, 0, 0, 0, 0, 1, 0});
    expectFailure();
}

TEST_F(PacketSocket, SizeAboveLimitIsRefused) {
    const uint32_t size = C_PACKET_MAX_SIZE + 1;
    sendRaw({static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size >> 16),
             static_cast<uint8_t>(size >> 24), 0, 0, 1, 0});
    expectFailure();
}

TEST_F(PacketSocket, PeerClosingMidHeaderOrMidPayloadFails) {
    sendRaw({20, 0, 0}); // a split header is completed by later bytes ...
    sendRaw({0, 0, 0, 3, 0, 1, 2, 3, 4});
    closePeer(); // ... but the payload stops at 4 of 12 bytes
    expectFailure();
}

TEST_F(PacketSocket, PeerClosingBeforeAnyByteFails) {
    closePeer();
    expectFailure();
}

TEST_F(PacketSocket, StalledPeerTimesOut) {
    ASSERT_EQ(c_socket_set_recv_timeout(server, 100), 0);
    sendRaw({16, 0, 0, 0, 0, 0, 3, 0, 1, 2}); // 2 of 8 payload bytes, then silence
    uint64_t start = c_get_time();
    expectFailure();
    uint64_t elapsed = c_get_time() - start;
    EXPECT_GE(elapsed, 90u);
    EXPECT_LT(elapsed, 2000u);
}

// The time-out holds for the whole packet: a peer that sends a byte now and
// then, each well within the time-out, is still cut off after it.
TEST_F(PacketSocket, TricklingPeerIsCutOffAfterOneTimeOutForTheWholePacket) {
    ASSERT_EQ(c_socket_set_recv_timeout(server, 300), 0);
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        const uint8_t bytes[] = {16, 0, 0, 0, 0, 0, 3, 0, 1, 2, 3, 4, 5, 6, 7, 8};
        for (uint8_t byte : bytes) {
            if (stop)
                break;
            c_send(peer, &byte, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    uint64_t start = c_get_time();
    expectFailure();
    uint64_t elapsed = c_get_time() - start;
    stop = true;
    trickle.join();
    EXPECT_GE(elapsed, 290u);
    EXPECT_LT(elapsed, 1000u); // the whole packet would take 1600 ms
}

// The send's time-out holds for the whole packet too: a peer that reads a
// little now and then, so that each send moves some bytes, is cut off after
// one time-out with the count sent so far.
TEST_F(PacketSocket, SendToATricklingReaderEndsAfterOneTimeOutForTheWholePacket) {
    ASSERT_EQ(c_socket_set_send_timeout(server, 500), 0);
    std::atomic<bool> stop{false};
    std::atomic<size_t> read{0};
    std::thread trickle([&] {
        std::vector<uint8_t> buffer(64u << 10);
        while (!stop) {
            ssize_t got = recv(c_socket_fd(peer), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got > 0)
                read += static_cast<size_t>(got);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::vector<uint8_t> data(64u << 20); // at 640 KiB a second: 100 s
    uint64_t start = c_get_time();
    int64_t sent = c_send(server, data.data(), static_cast<uint32_t>(data.size()));
    uint64_t elapsed = c_get_time() - start;
    stop = true;
    trickle.join();
    EXPECT_LT(sent, static_cast<int64_t>(data.size()));
    EXPECT_GE(elapsed, 490u);
    EXPECT_LT(elapsed, 2000u);
    EXPECT_GT(read.load(), 0u); // the reader did move bytes along
}

TEST_F(PacketSocket, SendToAClosedPeerReportsShortCountWithoutSignal) {
    closePeer();
    std::vector<uint8_t> data(1 << 20);
    // The first sends may still fill the kernel's buffer; once the peer's
    // reset arrives a send comes back short, and no SIGPIPE ends the process.
    int64_t sent = 0;
    int attempts = 0;
    do {
        sent = c_send(server, data.data(), static_cast<uint32_t>(data.size()));
    } while (sent == static_cast<int64_t>(data.size()) && ++attempts < 50);
    EXPECT_LT(sent, static_cast<int64_t>(data.size()));
}

struct Blocked {
    c_socket_t* socket;
    int status = 0;
    uint16_t command = 0;
};

void* acceptOnce(void* argument) {
    Blocked* blocked = static_cast<Blocked*>(argument);
    c_socket_t* client = nullptr;
    blocked->status = c_socket_server_accept(blocked->socket, &client);
    c_socket_delete(client);
    return nullptr;
}

void* receiveOnce(void* argument) {
    Blocked* blocked = static_cast<Blocked*>(argument);
    c_free(c_recv_packet(blocked->socket, &blocked->command, nullptr));
    return nullptr;
}

// Shutting a socket down from another thread wakes the thread blocked on it
// (the server's shutdown and its switch of clients rely on it).
TEST_F(PacketSocket, DeletingASocketWakesItsBlockedReader) {
    Blocked reader = {server};
    c_thread_t* thread = nullptr;
    ASSERT_EQ(c_thread_create(&thread, receiveOnce, &reader), 0);
    c_sleep(50);
    c_socket_delete(server);
    server = nullptr;
    ASSERT_EQ(c_thread_timedjoin(thread, nullptr, 2000), 0);
    EXPECT_EQ(reader.command, C_PACKET_RECV_FAILED);

    Blocked acceptor = {listener};
    ASSERT_EQ(c_thread_create(&thread, acceptOnce, &acceptor), 0);
    c_sleep(50);
    c_socket_delete(listener);
    listener = nullptr;
    ASSERT_EQ(c_thread_timedjoin(thread, nullptr, 2000), 0);
    EXPECT_NE(acceptor.status, 0);
}

TEST(Socket, ConnectToNobodyFails) {
    uint16_t port = 0;
    c_socket_t* listener = nullptr;
    ASSERT_EQ(c_socket_server_init(&listener, INADDR_LOOPBACK, &port), 0);
    c_socket_delete(listener); // the port is free again, nobody listens
    c_socket_t* client = nullptr;
    EXPECT_NE(c_socket_client_connect(&client, "127.0.0.1", port), 0);
    EXPECT_EQ(client, nullptr);
}

} // namespace
