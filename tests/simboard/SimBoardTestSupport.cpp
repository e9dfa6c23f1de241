#include "SimBoardTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <unistd.h>

namespace simtest {
namespace {

uint32_t EventsPerAggregate(const ZarnSim_EncoderContext_t* ctx, uint32_t unit) {
    uint32_t n = ctx->readRegister(ctx->board, 0x1034u | (unit << 8)) & 0x3FF;
    return n ? n : 1;
}

uint32_t UnitWords(const ZarnSim_EncoderContext_t*, uint32_t, const ZarnSim_Event_t* events, uint32_t count) {
    uint32_t words = 2;
    for (uint32_t i = 0; i < count; ++i)
        words += 5 + events[i].samples;
    return words;
}

uint32_t Encode(ZarnSim_EncoderContext_t*, uint32_t, const ZarnSim_Event_t* events, uint32_t count, uint32_t* out,
                uint32_t maxWords) {
    uint32_t n = 2;
    for (uint32_t i = 0; i < count; ++i) {
        const ZarnSim_Event_t& e = events[i];
        if (n + 5 + e.samples > maxWords)
            return 0;
        out[n++] = (e.channel << 24) | e.flags;
        out[n++] = static_cast<uint32_t>(e.timeTag);
        out[n++] = static_cast<uint32_t>(e.timeTag >> 32);
        out[n++] = e.energy;
        out[n++] = e.samples;
        for (uint32_t s = 0; s < e.samples; ++s)
            out[n++] = static_cast<uint16_t>(e.waveform[s]);
    }
    out[0] = 0x80000000u | n;
    out[1] = count;
    return n;
}

} // namespace

const ZarnSim_Encoder_t kTestEncoder = {1, &EventsPerAggregate, &UnitWords, &Encode, nullptr};

Decoded DecodeBuffer(const uint32_t* words, size_t count) {
    Decoded d;
    size_t pos = 0;
    while (pos < count) {
        uint32_t size = words[pos] & 0x0FFFFFFFu;
        if ((words[pos] >> 28) != 0xA || size < 4 || pos + size > count) {
            d.wellFormed = false;
            return d;
        }
        uint32_t mask = (words[pos + 1] & 0xFF) | (((words[pos + 2] >> 24) & 0xFF) << 8);
        d.counters.push_back(words[pos + 2] & 0x7FFFFF);
        size_t p = pos + 4;
        for (uint32_t unit = 0; unit < 16; ++unit) {
            if (!(mask & (1u << unit)))
                continue;
            if (p + 2 > pos + size || !(words[p] & 0x80000000u)) {
                d.wellFormed = false;
                return d;
            }
            size_t unitEnd = p + (words[p] & 0x7FFFFFFFu);
            uint32_t n = words[p + 1];
            size_t q = p + 2;
            for (uint32_t i = 0; i < n; ++i) {
                if (q + 5 > unitEnd) {
                    d.wellFormed = false;
                    return d;
                }
                TestEvent e;
                e.channel = words[q] >> 24;
                e.flags = words[q] & 0xFFFFFF;
                e.timeTag = words[q + 1] | (static_cast<uint64_t>(words[q + 2]) << 32);
                e.energy = words[q + 3];
                uint32_t samples = words[q + 4];
                q += 5;
                if (q + samples > unitEnd) {
                    d.wellFormed = false;
                    return d;
                }
                for (uint32_t s = 0; s < samples; ++s)
                    e.samples.push_back(static_cast<int16_t>(words[q + s]));
                q += samples;
                if (e.channel != unit)
                    d.wellFormed = false;
                d.events.push_back(std::move(e));
            }
            if (q != unitEnd)
                d.wellFormed = false;
            p = unitEnd;
        }
        if (p != pos + size)
            d.wellFormed = false;
        d.aggregates++;
        pos += size;
    }
    return d;
}

TestEncoderScope::TestEncoderScope(uint32_t dppCode) : code(dppCode) {
    EXPECT_EQ(0, ZarnSim_RegisterEncoder(dppCode, &kTestEncoder));
}

TestEncoderScope::~TestEncoderScope() { ZarnSim_RegisterEncoder(code, nullptr); }

EnvScope::EnvScope(const char* n, const std::string& value) : name(n) {
    const char* current = std::getenv(n);
    had = current != nullptr;
    if (had)
        old = current;
    setenv(n, value.c_str(), 1);
}

EnvScope::~EnvScope() {
    if (had)
        setenv(name.c_str(), old.c_str(), 1);
    else
        unsetenv(name.c_str());
}

namespace {
// Kept to the end of the process: the exit handler below reads it.
std::vector<std::string>& Folders() {
    static auto* folders = new std::vector<std::string>;
    return *folders;
}
void RemoveFolders() {
    for (const std::string& f : Folders())
        std::filesystem::remove_all(f);
}
} // namespace

std::string WriteProfiles(const std::string& name, const std::string& content) {
    static std::once_flag cleanup;
    std::call_once(cleanup, [] { std::atexit(&RemoveFolders); });
    char folder[] = "/tmp/simboard-XXXXXX";
    if (!mkdtemp(folder))
        return std::string();
    Folders().push_back(folder);
    std::string path = std::string(folder) + "/" + name;
    std::ofstream(path) << content;
    return path;
}

OpenBoard::OpenBoard(int linkType, int linkNumber, int node, uint32_t base) {
    result = ZARN_DGTZ_OpenDigitizer2(linkType, &linkNumber, node, base, &handle);
    if (result == 0) {
        EXPECT_EQ(0, ZarnSim_LinkOfDigitizer(handle, &link));
    }
}

OpenBoard::~OpenBoard() {
    if (result == 0)
        ZARN_DGTZ_CloseDigitizer(handle);
}

std::vector<uint32_t> ReadTransfer(int32_t link, uint32_t bufferWords) {
    std::vector<uint32_t> buffer(bufferWords);
    uint32_t total = 0;
    for (;;) {
        uint32_t words = 0;
        int result = ZarnComm_MBLTRead(link, 0, buffer.data() + total, bufferWords - total, &words);
        EXPECT_LE(words, bufferWords - total);
        total += words;
        if (result == ZARN_COMM_NoMoreData)
            break;
        EXPECT_EQ(ZARN_COMM_Success, result);
        if (result != ZARN_COMM_Success)
            break;
        EXPECT_GT(words, 0u) << "a block read answered 0 without words";
        if (words == 0 || total == bufferWords) {
            ADD_FAILURE() << "the transfer filled the buffer without ending";
            break;
        }
    }
    buffer.resize(total);
    return buffer;
}

Decoded DrainBoard(int32_t link, uint32_t bufferWords) {
    Decoded all;
    for (int i = 0; i < 100000; ++i) {
        std::vector<uint32_t> words = ReadTransfer(link, bufferWords);
        if (words.empty())
            break;
        Decoded d = DecodeBuffer(words.data(), words.size());
        all.wellFormed = all.wellFormed && d.wellFormed;
        all.aggregates += d.aggregates;
        all.events.insert(all.events.end(), d.events.begin(), d.events.end());
        all.counters.insert(all.counters.end(), d.counters.begin(), d.counters.end());
    }
    return all;
}

} // namespace simtest
