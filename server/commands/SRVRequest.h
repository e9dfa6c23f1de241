/*
 * Reading a command's request and building its reply: the one way the
 * command handlers take their fields off the payload and put them into the
 * answer, so that every read is bounded by the payload and every failure
 * maps to the same status.
 */
#ifndef SRV_REQUEST_H
#define SRV_REQUEST_H

#include "SRV_BoardRecord.h"
#include "SRV_CommandCodes.h"
#include "SRV_IndexPath.h"
#include "SRV_Status.h"

/* Reads the fields of a request in order, each bounded by the payload's
 * end. Any field that is not there makes every later read fail too; status()
 * then gives -6. */
class SRVRequest {
public:
    SRVRequest(const void* payload, uint32_t size)
        : position_(payload), end_(payload != nullptr ? static_cast<const uint8_t*>(payload) + size : nullptr) {}

    bool ok() const { return position_ != nullptr; }
    /* 0 while every read succeeded, else -6. */
    SRVStatus_t status() const { return ok() ? SRV_SUCCESS : SRV_ERR_DESERIALIZE; }

    bool u64(uint64_t* value) { return take(deserialize_u64(value, 1, position_, end_)); }
    bool u32(uint32_t* value) { return take(deserialize_u32(value, 1, position_, end_)); }
    bool i32(int32_t* value) { return take(deserialize_i32(value, 1, position_, end_)); }
    bool i8(int8_t* value) { return take(deserialize_i8(value, 1, position_, end_)); }
    bool f64(double* value) { return take(deserialize_f64(value, 1, position_, end_)); }
    /* A fixed text of size bytes; destination is always terminated. */
    bool text(char* destination, uint32_t size) { return take(deserialize_text(destination, size, position_, end_)); }
    /* A counted array of at most maximum bytes. */
    bool i8Array(int8_t* destination, uint32_t maximum, uint32_t* count) {
        return take(deserialize_i8_array(destination, maximum, count, position_, end_));
    }
    bool indexPath(int32_t path[SRV_INDEX_PATH_MAX], uint32_t* length) {
        return take(deserialize_i32_array(path, SRV_INDEX_PATH_MAX, length, position_, end_));
    }
    /* The head of the get and set commands of the board's objects: the data
     * mask and the index path. */
    bool maskAndPath(uint64_t* mask, int32_t path[SRV_INDEX_PATH_MAX], uint32_t* length) {
        return u64(mask) && indexPath(path, length);
    }

private:
    bool take(const void* next) {
        position_ = next;
        return next != nullptr;
    }

    const void* position_;
    const void* end_;
};

/* A reply under construction: the header and status 0, then fields. A field
 * that can't be appended frees it and ok() turns false. */
class SRVReply {
public:
    explicit SRVReply(SRVCommand_t command) {
        buffer_ = c_createheader(0, command, &size_);
        SRVStatus_t ok = SRV_SUCCESS;
        if (buffer_ != nullptr)
            buffer_ = serialize_i16(&ok, 1, buffer_, &size_);
    }
    SRVReply(const SRVReply&) = delete;
    SRVReply& operator=(const SRVReply&) = delete;
    ~SRVReply() { c_free(buffer_); }

    bool ok() const { return buffer_ != nullptr; }
    void u64(const uint64_t* values, uint32_t count) {
        if (buffer_ != nullptr)
            buffer_ = serialize_u64(values, count, buffer_, &size_);
    }
    void u64(uint64_t value) { u64(&value, 1); }
    void u32(const uint32_t* values, uint32_t count) {
        if (buffer_ != nullptr)
            buffer_ = serialize_u32(values, count, buffer_, &size_);
    }
    void u32(uint32_t value) { u32(&value, 1); }
    void i32(int32_t value) {
        if (buffer_ != nullptr)
            buffer_ = serialize_i32(&value, 1, buffer_, &size_);
    }
    void f64(const double* values, uint32_t count) {
        if (buffer_ != nullptr)
            buffer_ = serialize_f64(values, count, buffer_, &size_);
    }
    void f64(double value) { f64(&value, 1); }
    void u8(const uint8_t* values, uint32_t count) {
        if (buffer_ != nullptr)
            buffer_ = serialize_u8(values, count, buffer_, &size_);
    }
    void u8(uint8_t value) { u8(&value, 1); }
    void i16(const int16_t* values, uint32_t count) {
        if (buffer_ != nullptr)
            buffer_ = serialize_i16(values, count, buffer_, &size_);
    }
    void i16(int16_t value) { i16(&value, 1); }
    void u16(const uint16_t* values, uint32_t count) {
        if (buffer_ != nullptr)
            buffer_ = serialize_u16(values, count, buffer_, &size_);
    }
    void u16(uint16_t value) { u16(&value, 1); }
    void text(const char* field, uint32_t size) {
        if (buffer_ != nullptr)
            buffer_ = serialize_char(field, size, buffer_, &size_);
    }
    /* Gives the reply up: a field can't be sent. ok() turns false. */
    void abandon() {
        c_free(buffer_);
        buffer_ = nullptr;
    }
    /* Hands the reply over (NULL when it could not be built). */
    void* release(uint32_t* size) {
        void* buffer = buffer_;
        buffer_ = nullptr;
        *size = size_;
        return buffer;
    }

private:
    void* buffer_ = nullptr;
    uint32_t size_ = 0;
};

/* A reply of the header and the status only; NULL when it can't be built. */
void* SRV_BuildStatusReply(SRVCommand_t command, SRVStatus_t status, uint32_t* replySize);

/* Logs a mask bit a command does not know: "Unsupported <which> 0x<mask>
 * (0x<unknown> unknown)" (error level) in the calling module's log. */
void SRV_LogUnsupportedMask(const c_LogModule_t* module, const SRVBoard_t* board, const char* which, uint64_t mask,
                            uint64_t unknown);

/* The end of a command under the board lock: releases it (a failure to
 * release replaces a success) and hands the reply over when the status is a
 * success, else NULL. Writes the status. */
void* SRV_UnlockAndReply(SRVReply* reply, SRVBoard_t* board, SRVStatus_t result, uint32_t* replySize,
                         SRVStatus_t* status);

#endif /* SRV_REQUEST_H */
