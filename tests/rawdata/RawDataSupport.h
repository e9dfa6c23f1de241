/* Shared pieces of the raw-data file tests: a scratch folder, a record with
 * software-only parameters (no board behind it), a builder of raw-data files
 * word by word, and file helpers. */
#ifndef RAW_DATA_SUPPORT_H
#define RAW_DATA_SUPPORT_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ZarnDPPLayer.h"
#include "ZarnRecordMemory.h"

namespace rawtest {

/* A fresh folder, removed with everything in it when the object goes. Log
 * files go there too. */
class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/rawdata-test-XXXXXX";
        path_ = mkdtemp(pattern);
        setenv("ZARN_LOG_DIR", path_.c_str(), 1);
    }
    ~ScratchDir() { std::filesystem::remove_all(path_); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
}

inline uint32_t WordAt(const std::vector<uint8_t>& bytes, size_t index) {
    uint32_t word = 0;
    memcpy(&word, bytes.data() + 4 * index, sizeof word);
    return word;
}

inline bool software(const c_ParamRef_t*) { return true; }

/* First codes and sizes of the categories' collections in the fixture
 * record (the shipped definitions' ranges). */
constexpr int32_t kBoardFirst = 0, kChannelFirst = 200, kLvdsFirst = 500, kVTraceFirst = 550, kHVChannelFirst = 600,
                  kHVRangeFirst = 650, kMonOutFirst = 700, kGroupFirst = 750, kVgaFirst = 800;
constexpr int32_t kCollectionSize = 10;

/* An open record whose parameters are software-only, so that the get path
 * answers their values without a board. */
class FakeRecord {
public:
    explicit FakeRecord(uint8_t channels = 4) : d_(new c_Digitizer_t) {
        _resetDgtz(d_);
        d_->kind = DGTZ_KIND_OPEN;
        c_BoardDescriptor_t& board = d_->descriptor;
        strcpy(board.ModelName, "FAKE");
        board.SerialNumber = 42;
        board.FamilyCode = 11;
        board.DPPCode = 139;
        board.SamplePeriod = 4.0;
        board.TimeTagBits = 31;
        board.NumChannels = channels;
    }
    ~FakeRecord() {
        _freeDgtzBuffers(d_);
        _freeParamCollections(d_);
        delete d_;
    }
    FakeRecord(const FakeRecord&) = delete;
    FakeRecord& operator=(const FakeRecord&) = delete;
    c_Digitizer_t* get() const { return d_; }
    c_Digitizer_t* operator->() const { return d_; }

    void Board(int32_t code, double value) { Add(&d_->boardColl, kBoardFirst, code, value); }
    void Channel(int32_t ch, int32_t code, double value) { Add(&d_->channels[ch].coll, kChannelFirst, code, value); }
    void Group(int32_t g, int32_t code, double value) { Add(&d_->groupColl[g], kGroupFirst, code, value); }
    void VTrace(int32_t t, int32_t code, double value) { Add(&d_->vtrace[t].coll, kVTraceFirst, code, value); }
    void HVChannel(int32_t h, int32_t code, double value) { Add(&d_->hv[h].coll, kHVChannelFirst, code, value); }
    void HVRange(int32_t h, int32_t r, int32_t code, double value) {
        Add(&d_->hv[h].ranges[r].coll, kHVRangeFirst, code, value);
    }
    /* Events (and waveforms of the given length) for one channel. */
    void Events(int32_t ch, uint32_t count, uint32_t samples) {
        c_ChannelRecord_t& channel = d_->channels[ch];
        channel.events = (c_DPPEvent_t*)c_calloc(count, sizeof(c_DPPEvent_t));
        channel.capacity = count;
        if (samples != 0)
            _mallocWaveforms(d_, ch, 0, samples);
    }
    void ReadoutBuffer(uint32_t bytes) {
        d_->roBuffer.ROBuf = (char*)c_calloc(1, bytes);
        d_->roBuffer.ROAllocSize = bytes;
        d_->roBuffer.allocator = ROBUF_ALLOC_LIBRARY;
    }

private:
    void Add(c_ParamCollection_t** collection, int32_t first, int32_t code, double value) {
        if (*collection == NULL)
            *collection = _pcnew(kCollectionSize, first);
        c_Parameter_t* param = c_pnew(d_);
        param->code = code;
        param->value = param->preferred = value;
        param->min = -1e12;
        param->max = 1e12;
        param->swcheck = software;
        if (_pcinsert(*collection, param, code) != 0)
            c_pdelete(param);
    }

    c_Digitizer_t* d_;
};

/* Builds a raw-data file word by word: each word with its payload. */
class FileBuilder {
public:
    FileBuilder& Word(uint32_t meaning, uint32_t index, uint32_t length, std::vector<uint8_t> payload) {
        words_.push_back((meaning << 24) | (index << 18) | length);
        payloads_.insert(payloads_.end(), payload.begin(), payload.end());
        return *this;
    }
    FileBuilder& Word(uint32_t meaning, uint32_t index, uint32_t length) {
        return Word(meaning, index, length, std::vector<uint8_t>(length, 0));
    }
    FileBuilder& U32(uint32_t meaning, uint32_t index, uint32_t value) {
        std::vector<uint8_t> payload(4);
        memcpy(payload.data(), &value, 4);
        return Word(meaning, index, 4, payload);
    }
    FileBuilder& Descriptor(const c_BoardDescriptor_t& board) {
        std::vector<uint8_t> payload(sizeof board);
        memcpy(payload.data(), &board, sizeof board);
        return Word(BD_WORD_DESCRIPTOR, 0, sizeof board, payload);
    }
    FileBuilder& Values(uint32_t meaning, uint32_t index, const std::vector<double>& values) {
        std::vector<uint8_t> payload(values.size() * sizeof(double));
        if (!values.empty())
            memcpy(payload.data(), values.data(), payload.size());
        return Word(meaning, index, (uint32_t)payload.size(), payload);
    }
    FileBuilder& Record(const std::vector<uint32_t>& words) {
        uint32_t size = (uint32_t)(words.size() * 4);
        Append(&records_, &size, 4);
        Append(&records_, words.data(), size);
        return *this;
    }
    /* word 0 defaults to 0x10000000 | N. */
    std::vector<uint8_t> Bytes(uint32_t firstWord = 0) const {
        uint32_t count = (uint32_t)words_.size() + 1;
        uint32_t first = firstWord != 0 ? firstWord : (0x10000000u | count);
        std::vector<uint8_t> bytes;
        Append(&bytes, &first, 4);
        Append(&bytes, words_.data(), words_.size() * 4);
        bytes.insert(bytes.end(), payloads_.begin(), payloads_.end());
        bytes.insert(bytes.end(), records_.begin(), records_.end());
        return bytes;
    }
    void Write(const std::string& path, uint32_t firstWord = 0) const { WriteBytes(path, Bytes(firstWord)); }

private:
    static void Append(std::vector<uint8_t>* out, const void* data, size_t size) {
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        out->insert(out->end(), bytes, bytes + size);
    }
    std::vector<uint32_t> words_;
    std::vector<uint8_t> payloads_;
    std::vector<uint8_t> records_;
};

/* A plausible descriptor for hand-built files. */
inline c_BoardDescriptor_t SmallBoard(uint8_t channels = 2) {
    c_BoardDescriptor_t board;
    memset(&board, 0, sizeof board);
    strcpy(board.ModelName, "HAND");
    board.FamilyCode = 11;
    board.DPPCode = 139;
    board.SamplePeriod = 4.0;
    board.TimeTagBits = 31;
    board.NumChannels = channels;
    return board;
}

/* A zeroed dumper and header, whose file and blocks go with the object. */
struct Reader {
    c_ROBuffDumper_t dumper;
    c_RawDataHeader_t header;
    Reader() {
        memset(&dumper, 0, sizeof dumper);
        memset(&header, 0, sizeof header);
    }
    ~Reader() {
        c_bdclose(&dumper);
        c_bdfreeheader(&header);
    }
    int Open(const std::string& path) { return c_bdopenr(&dumper, &header, path.c_str()); }
};

} // namespace rawtest

#endif
