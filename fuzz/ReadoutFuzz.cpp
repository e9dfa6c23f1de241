/* The readout walkers and the decoders of every firmware format: the first
 * input byte chooses a simulated board (opened once, with the buffers its
 * open sized), the rest becomes the readout buffer, which the board's walker
 * decodes as after a read. The decoded counts must stay within the event
 * arrays. */
#include <stdint.h>
#include <string.h>

#include <vector>

#include "FuzzSupport.h"
#include "ZarnBoard_GENERIC.h"

namespace {

/* Never destroyed: the records stay open until the process ends. */
std::vector<c_Digitizer_t*>& boards = *new std::vector<c_Digitizer_t*>();

/* Every read starts from the state of a fresh start, so that an input
 * decodes the same way whatever came before it. */
void ResetTimeState(c_Digitizer_t* d) {
    for (uint32_t ch = 0; ch < DPPL_MAX_CHANNELS; ++ch)
        _clearChannelTimeState(d, (int32_t)ch);
    d->maxTimeStamp = 0;
    d->lastTimeStamp = 0;
}

/* A reader of the events takes nSamples samples of every trace that shows
 * something: they must be there. */
void CheckWaveform(const c_Waveform_t* waveform) {
    if (waveform == NULL)
        return;
    for (const c_Trace_t& trace : waveform->traces)
        if (trace.probe != DPPL_PROBE_NONE && (trace.samples == NULL || waveform->nSamples > trace.capacity))
            fuzzsup::Violation("a trace claims more samples than its buffer holds");
}

void CheckCounts(const c_Digitizer_t* d) {
    for (uint32_t ch = 0; ch < DPPL_MAX_CHANNELS; ++ch) {
        const c_ChannelRecord_t& channel = d->channels[ch];
        if (channel.nEvents > channel.capacity)
            fuzzsup::Violation("a channel holds more events than its array");
        for (uint32_t i = 0; i < channel.nEvents; ++i)
            CheckWaveform(channel.events[i].waveform);
    }
    if (d->scope == NULL)
        return;
    if (d->scope->nEvents > d->scope->capacity)
        fuzzsup::Violation("the scope buffer holds more events than it has room for");
    for (uint32_t i = 0; i < d->scope->nEvents; ++i)
        for (const c_Waveform_t* waveform : d->scope->items[i].waveforms)
            CheckWaveform(waveform);
}

/* Seeds: buffers of every board as its firmware's encoder delivered them. */
void WriteSeeds(const std::string& folder) {
    for (size_t i = 0; i < boards.size(); ++i) {
        int n = 0;
        for (const std::vector<uint8_t>& buffer : fuzzsup::SampleBuffers(boards[i], 2, 5000000)) {
            std::vector<uint8_t> seed(1, (uint8_t)i);
            seed.insert(seed.end(), buffer.begin(), buffer.end());
            fuzzsup::WriteSeed(folder, std::string(fuzzsup::SimBoards()[i].name) + "-" + std::to_string(n++), seed);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsup::QuietLogs();
    for (const fuzzsup::SimBoard& board : fuzzsup::SimBoards()) {
        c_Digitizer_t* d = fuzzsup::OpenBoard(board);
        if (d == NULL || d->roBuffer.ROBuf == NULL) {
            fprintf(stderr, "readout fuzzer: board %s did not open with a readout buffer\n", board.name);
            abort();
        }
        boards.push_back(d);
    }
    fuzzsup::WriteSeedsIfRequested(WriteSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    fuzzsup::TrimLogs();
    c_Digitizer_t* d = boards[data[0] % boards.size()];
    c_ReadoutBuffer_t* buffer = &d->roBuffer;
    size_t bytes = size - 1;
    if (bytes > buffer->ROAllocSize)
        bytes = buffer->ROAllocSize;
    memcpy(buffer->ROBuf, data + 1, bytes);
    buffer->ROBytes = (uint32_t)bytes;
    ResetTimeState(d);
    GENERIC_InvalidateReadCache(d);
    GENERIC_GetEvents(d, buffer);
    CheckCounts(d);
    return 0;
}
