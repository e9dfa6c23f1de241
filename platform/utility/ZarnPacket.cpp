// Building and reading packets: an 8-byte little-endian header {u32 size of
// the whole packet, u16 flags, u16 command} and values appended in
// little-endian order, whatever the host's byte order.
#include "ZarnUtility.h"

#include <string.h>

#include <type_traits>

static const c_LogModule_t ZARN_LOG = {"ZarnUtilityLog.txt", "ZarnPacket"};

namespace {

const uint32_t MIN_CAPACITY = 64;

template <typename T>
struct Bits {
    using type = std::conditional_t<
        sizeof(T) == 1, uint8_t,
        std::conditional_t<sizeof(T) == 2, uint16_t, std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;
};

template <typename T>
void encode(const T& value, uint8_t* bytes) {
    typename Bits<T>::type bits;
    memcpy(&bits, &value, sizeof bits);
    for (size_t i = 0; i < sizeof bits; i++)
        bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
}

template <typename T>
T decode(const uint8_t* bytes) {
    typename Bits<T>::type bits = 0;
    for (size_t i = 0; i < sizeof bits; i++)
        bits |= static_cast<typename Bits<T>::type>(bytes[i]) << (8 * i);
    T value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

void writeSizeField(void* buffer, uint32_t size) { encode<uint32_t>(size, static_cast<uint8_t*>(buffer)); }

// Makes room for extra bytes after the first *size bytes, growing the block
// geometrically; NULL (buffer freed) when the packet would outgrow its u32
// size field, or memory runs out.
uint8_t* reserve(void* buffer, uint32_t* size, uint64_t extra) {
    if (buffer == NULL)
        return NULL;
    size_t capacity = c_malloc_size(buffer);
    if (size == NULL || *size < C_PACKET_HEADER_SIZE || *size > capacity) {
        c_lprintf(&ZARN_LOG, C_LOG_ERROR, __LINE__, "Invalid packet buffer (size %u, block of %zu bytes).",
                  size != NULL ? *size : 0, capacity);
        c_free(buffer);
        return NULL;
    }
    uint64_t needed = static_cast<uint64_t>(*size) + extra;
    if (needed > UINT32_MAX) {
        c_lprintf(&ZARN_LOG, C_LOG_ERROR, __LINE__, "Packet would grow to %llu bytes, beyond its size field.",
                  static_cast<unsigned long long>(needed));
        c_free(buffer);
        return NULL;
    }
    if (needed <= capacity)
        return static_cast<uint8_t*>(buffer);
    uint64_t grown = capacity < MIN_CAPACITY ? MIN_CAPACITY : static_cast<uint64_t>(capacity) * 2;
    if (grown < needed)
        grown = needed;
    if (grown > UINT32_MAX)
        grown = UINT32_MAX;
    void* moved = c_realloc(buffer, grown);
    if (moved == NULL)
        c_free(buffer);
    return static_cast<uint8_t*>(moved);
}

template <typename T>
void* appendValues(const T* source, uint32_t count, void* buffer, uint32_t* size, bool counted) {
    if (source == NULL && count != 0) {
        c_free(buffer);
        return NULL;
    }
    uint64_t extra = (counted ? sizeof(uint32_t) : 0) + static_cast<uint64_t>(count) * sizeof(T);
    uint8_t* bytes = reserve(buffer, size, extra);
    if (bytes == NULL)
        return NULL;
    uint8_t* cursor = bytes + *size;
    if (counted) {
        encode<uint32_t>(count, cursor);
        cursor += sizeof(uint32_t);
    }
    for (uint32_t i = 0; i < count; i++, cursor += sizeof(T))
        encode<T>(source[i], cursor);
    *size += static_cast<uint32_t>(extra);
    writeSizeField(bytes, *size);
    return bytes;
}

// Number of bytes between position and end, or -1 when they are not a range.
int64_t available(const void* position, const void* end) {
    if (position == NULL || end == NULL || position > end)
        return -1;
    return static_cast<const uint8_t*>(end) - static_cast<const uint8_t*>(position);
}

template <typename T>
const void* readValues(T* destination, uint32_t count, const void* position, const void* end) {
    int64_t left = available(position, end);
    if (left < 0 || static_cast<uint64_t>(left) < static_cast<uint64_t>(count) * sizeof(T))
        return NULL;
    if (destination == NULL && count != 0)
        return NULL;
    const uint8_t* cursor = static_cast<const uint8_t*>(position);
    for (uint32_t i = 0; i < count; i++, cursor += sizeof(T))
        destination[i] = decode<T>(cursor);
    return cursor;
}

template <typename T>
const void* readArray(T* destination, uint32_t maximum, uint32_t* count, const void* position, const void* end) {
    uint32_t n = 0;
    const void* values = readValues<uint32_t>(&n, 1, position, end);
    if (values == NULL || n > maximum)
        return NULL;
    const void* after = readValues<T>(destination, n, values, end);
    if (after != NULL && count != NULL)
        *count = n;
    return after;
}

} // namespace

extern "C" void* c_createheader(uint16_t flags, uint16_t command, uint32_t* size) {
    uint8_t* header = static_cast<uint8_t*>(c_malloc(C_PACKET_HEADER_SIZE));
    if (header == NULL)
        return NULL;
    encode<uint32_t>(C_PACKET_HEADER_SIZE, header);
    encode<uint16_t>(flags, header + 4);
    encode<uint16_t>(command, header + 6);
    if (size != NULL)
        *size = C_PACKET_HEADER_SIZE;
    return header;
}

#define ZARN_DEFINE_SERIALIZE(name, type)                                                                         \
    extern "C" void* serialize_##name(const type* source, uint32_t count, void* buffer, uint32_t* size) {         \
        return appendValues<type>(source, count, buffer, size, false);                                            \
    }                                                                                                             \
    extern "C" void* serialize_##name##_array(const type* source, uint32_t count, void* buffer, uint32_t* size) { \
        return appendValues<type>(source, count, buffer, size, true);                                             \
    }                                                                                                             \
    extern "C" const void* deserialize_##name(type* destination, uint32_t count, const void* position,            \
                                              const void* end) {                                                  \
        return readValues<type>(destination, count, position, end);                                               \
    }                                                                                                             \
    extern "C" const void* deserialize_##name##_array(type* destination, uint32_t maximum, uint32_t* count,       \
                                                      const void* position, const void* end) {                    \
        return readArray<type>(destination, maximum, count, position, end);                                       \
    }

ZARN_DEFINE_SERIALIZE(i8, int8_t)
ZARN_DEFINE_SERIALIZE(u8, uint8_t)
ZARN_DEFINE_SERIALIZE(i16, int16_t)
ZARN_DEFINE_SERIALIZE(u16, uint16_t)
ZARN_DEFINE_SERIALIZE(i32, int32_t)
ZARN_DEFINE_SERIALIZE(u32, uint32_t)
ZARN_DEFINE_SERIALIZE(i64, int64_t)
ZARN_DEFINE_SERIALIZE(u64, uint64_t)
ZARN_DEFINE_SERIALIZE(f32, float)
ZARN_DEFINE_SERIALIZE(f64, double)
ZARN_DEFINE_SERIALIZE(char, char)
#undef ZARN_DEFINE_SERIALIZE

extern "C" const void* deserialize_text(char* destination, uint32_t n, const void* position, const void* end) {
    int64_t left = available(position, end);
    if (destination == NULL || n == 0 || left < 0 || static_cast<uint64_t>(left) < n)
        return NULL;
    const char* field = static_cast<const char*>(position);
    uint32_t length = 0;
    while (length < n - 1 && field[length] != '\0')
        length++;
    memcpy(destination, field, length);
    destination[length] = '\0';
    return field + n;
}
