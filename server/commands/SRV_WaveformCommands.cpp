// Command 30: the waveform copy of a channel's recent event.
#include <cstdint>

#include "SRV_CommandRequest.h"
#include "SRV_Waveforms.h"

// Reply fields of command 30 by data-mask bit: the trace slot and whether it
// is analog (16-bit samples) or digital (one byte a sample).
struct WaveformField {
    uint64_t bit;
    int slot;
    bool analog;
};
static const WaveformField REPLY_FIELDS[] = {
    {1ull << 0, 0, true},
    {1ull << 1, 1, true},
    {1ull << 2, 3, false},
    {1ull << 3, 4, false},
};

// Appends one trace of n samples; a slot without a buffer is sent as zeros.
static void appendTrace(SRVReply* reply, const c_Trace_t& trace, bool analog, uint32_t n) {
    if (trace.samples != NULL && trace.capacity >= n) {
        if (analog)
            reply->i16(static_cast<const int16_t*>(trace.samples), n);
        else
            reply->u8(static_cast<const uint8_t*>(trace.samples), n);
        return;
    }
    for (uint32_t i = 0; i < n && reply->ok(); i++) {
        if (analog)
            reply->i16(0);
        else
            reply->u8(0);
    }
}

// The traces of the data mask's bits, in the reply's order.
static void appendWaveform(SRVReply* reply, uint64_t dataMask, const c_Waveform_t* waveform) {
    uint32_t n = waveform->nSamples;
    uint32_t capacity = SRV_WaveformStoredCapacity(waveform);
    if (n > capacity)
        n = capacity;
    for (const WaveformField& field : REPLY_FIELDS) {
        if ((dataMask & field.bit) != 0)
            appendTrace(reply, waveform->traces[field.slot], field.analog, n);
    }
}

// Command 30: u64 dataMask, int32 channel; reply fields by bit: 0 analog
// trace 0 (int16 x n), 1 analog trace 1 (int16 x n), 2 digital trace 0
// (u8 x n), 3 digital trace 1 (u8 x n), n the stored sample count.
void* SRV_CmdGetWaveform(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    c_Waveform_t* waveform = NULL;
    SRVStatus_t result = SRV_GetChannelWaveform(request.board, request.channel, &waveform);
    SRVReply reply(request.command);
    if (result == SRV_SUCCESS)
        appendWaveform(&reply, request.dataMask, waveform);
    return SRV_GiveReply(&reply, result, replySize, status);
}
