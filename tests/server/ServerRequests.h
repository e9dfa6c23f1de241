// Requests of the server's acquisition, spectrum, parameter, list-mode and
// run-file commands, built byte by byte as a client sends them, and the
// readers of their replies that more than one test needs.
#pragma once

#include <cstring>
#include <string>

#include "ServerTestSupport.h"

namespace srvtest {

inline uint64_t getU64(const Bytes& b, size_t at) {
    return static_cast<uint64_t>(getU32(b, at)) | (static_cast<uint64_t>(getU32(b, at + 4)) << 32);
}

// Commands 8 and 9: no mask bit, then the channel mask.
inline Bytes acquisitionRequest(uint32_t channelMask = 0xFF) {
    Bytes b = masks(0, 0);
    putU32(b, channelMask);
    return b;
}

// Command 22 naming a run file.
inline Bytes runFileName(const std::string& name) {
    Bytes b;
    b.push_back(1);
    putU32(b, static_cast<uint32_t>(name.size()));
    b.insert(b.end(), name.begin(), name.end());
    return b;
}

// A text field of fixed size, cut or padded with NULs.
inline Bytes fixedText(const std::string& text, size_t size) {
    Bytes b(size, 0);
    std::copy(text.begin(), text.begin() + static_cast<long>(std::min(text.size(), size)), b.begin());
    return b;
}

// Index path of a channel's energy spectrum: (channel, 2), (0, 9).
inline Bytes spectrumPath(uint32_t channel) {
    Bytes b;
    putU32(b, 4);
    putU32(b, channel);
    putU32(b, 2);
    putU32(b, 0);
    putU32(b, 9);
    return b;
}

// Command 27 for the fields of the data mask of a channel's spectrum.
inline Bytes spectrumRequest(uint64_t mask, uint32_t channel) {
    Bytes b;
    putU64(b, mask);
    Bytes path = spectrumPath(channel);
    b.insert(b.end(), path.begin(), path.end());
    return b;
}

// Command 29 for a channel's spectrum.
inline Bytes clearSpectrumRequest(uint32_t channel) {
    Bytes b = masks(0, 0);
    Bytes path = spectrumPath(channel);
    b.insert(b.end(), path.begin(), path.end());
    return b;
}

// Data-style requests of one channel (commands 30, 35, 36).
inline Bytes dataRequest(uint64_t mask, int32_t channel) {
    Bytes b;
    putU64(b, mask);
    putU32(b, static_cast<uint32_t>(channel));
    return b;
}

// Command 13 on a board parameter (channel < 0) or a channel parameter.
inline Bytes setParameter(int32_t code, int32_t channel, double value) {
    Bytes b;
    putU64(b, 1);
    putU32(b, channel < 0 ? 2 : 4);
    if (channel >= 0) {
        putU32(b, static_cast<uint32_t>(channel));
        putU32(b, 2);
    }
    putU32(b, static_cast<uint32_t>(code));
    putU32(b, 7);
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    putU64(b, bits);
    return b;
}

// Server codes of the board parameter that switches waveforms on and of the
// channel parameter that enables a channel.
const int32_t PARAM_WAVEFORMS = 22;
const int32_t PARAM_CH_ENABLED = 1000;

} // namespace srvtest
