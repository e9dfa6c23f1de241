/*
 * ZarnDecoderChecks: what the family decoders share beyond the event loop:
 * the checks of an aggregate and of the events they write, with their
 * messages, and the unpack of waveform words of two samples.
 *
 * A message begins with the place it is about ("[c] " one channel, "[e|o] "
 * a couple of channels, "[f:l] " a group of channels, nothing for a stream
 * of the whole board) and goes to the decoder's own log record. The checks
 * and refusals are inline; a refusal's message is formed and written out of
 * line, so the decoders' loops carry no call but on a failure.
 */
#ifndef ZARN_DECODER_CHECKS_H
#define ZARN_DECODER_CHECKS_H

#include <stddef.h>
#include <stdint.h>

#include "ZarnRecords.h"
#include "ZarnTypes.h"

/* The place a decoder's message is about, and where the message goes. */
enum GENERIC_PlaceKind_t { GENERIC_PLACE_BOARD, GENERIC_PLACE_CHANNEL, GENERIC_PLACE_COUPLE, GENERIC_PLACE_GROUP };

struct GENERIC_DecoderPlace_t {
    const c_LogModule_t* log; /* the decoder's log record */
    const c_Digitizer_t* digitizer;
    GENERIC_PlaceKind_t kind;
    uint32_t first, second; /* the channel; the couple's odd or the group's last channel */
};

inline GENERIC_DecoderPlace_t GENERIC_BoardPlace(const c_LogModule_t* log, const c_Digitizer_t* digitizer) {
    return GENERIC_DecoderPlace_t{log, digitizer, GENERIC_PLACE_BOARD, 0, 0};
}

inline GENERIC_DecoderPlace_t GENERIC_ChannelPlace(const c_LogModule_t* log, const c_Digitizer_t* digitizer,
                                                   uint32_t channel) {
    return GENERIC_DecoderPlace_t{log, digitizer, GENERIC_PLACE_CHANNEL, channel, 0};
}

inline GENERIC_DecoderPlace_t GENERIC_CouplePlace(const c_LogModule_t* log, const c_Digitizer_t* digitizer,
                                                  uint32_t even, uint32_t odd) {
    return GENERIC_DecoderPlace_t{log, digitizer, GENERIC_PLACE_COUPLE, even, odd};
}

inline GENERIC_DecoderPlace_t GENERIC_GroupPlace(const c_LogModule_t* log, const c_Digitizer_t* digitizer,
                                                 uint32_t first, uint32_t last) {
    return GENERIC_DecoderPlace_t{log, digitizer, GENERIC_PLACE_GROUP, first, last};
}

/* ------------------------------------------------------------- refusals */

/* Writes "<place><text>" to the decoder's log record at the error level.
 * Cold: only a refusal calls it. */
[[gnu::cold, gnu::format(printf, 2, 3)]] void GENERIC_LogAt(const GENERIC_DecoderPlace_t& at, const char* format, ...);

/* Each logs its message and answers the status the decoders give for it. */

inline int GENERIC_RefuseHeaderWord(const GENERIC_DecoderPlace_t& at, uint32_t header) {
    GENERIC_LogAt(at, "Invalid aggregate header word 0x%x", header);
    return DPPL_ERR_INVALID_EVENT;
}

inline int GENERIC_RefuseAggregateSize(const GENERIC_DecoderPlace_t& at, uint32_t size) {
    GENERIC_LogAt(at, "Invalid aggregate size %u", (unsigned)size);
    return DPPL_ERR_INVALID_EVENT;
}

inline int GENERIC_RefuseEmptyEvents(const GENERIC_DecoderPlace_t& at) {
    GENERIC_LogAt(at, "Found EvtSize=0 in header");
    return DPPL_ERR_INVALID_EVENT;
}

/* Some formats' message has the size bare, without parentheses. */
inline int GENERIC_RefuseEventCount(const GENERIC_DecoderPlace_t& at, uint32_t size, bool sizeInParentheses) {
    if (sizeInParentheses)
        GENERIC_LogAt(at, "Size of Aggregate (%u) doesn't give integer number of events", (unsigned)size);
    else
        GENERIC_LogAt(at, "Size of Aggregate %u doesn't give integer number of events", (unsigned)size);
    return DPPL_ERR_INVALID_EVENT;
}

inline int GENERIC_RefuseEventRoom(const GENERIC_DecoderPlace_t& at, uint32_t events, uint32_t slots) {
    GENERIC_LogAt(at, "Number of events %u exceeds the number of available events (%u)", (unsigned)events,
                  (unsigned)slots);
    return DPPL_ERR_EVENT_BUFFER_OVERFLOW;
}

inline int GENERIC_RefuseProbe(const GENERIC_DecoderPlace_t& at) {
    GENERIC_LogAt(at, "Unsupported probe found.");
    return DPPL_ERR_INVALID_EVENT;
}

inline int GENERIC_RefuseAnalogTrace0(const GENERIC_DecoderPlace_t& at) {
    GENERIC_LogAt(at, "Cannot get Analog Trace 0");
    return DPPL_ERR_INVALID_TRACE;
}

/* ---------------------------------------------------------------- checks */

/* The number of events of an aggregate of `size` words, the first
 * headerWords of them its header, the rest events of eventWords each:
 * refuses events of no words and a rest that is not whole events. */
inline int GENERIC_CountEvents(const GENERIC_DecoderPlace_t& at, uint32_t size, uint32_t headerWords,
                               uint32_t eventWords, uint32_t* events, bool sizeInParentheses = true) {
    if (eventWords == 0)
        return GENERIC_RefuseEmptyEvents(at);
    if ((size - headerWords) % eventWords != 0)
        return GENERIC_RefuseEventCount(at, size, sizeInParentheses);
    *events = (size - headerWords) / eventWords;
    return 0;
}

/* Refuses more events than free slots. */
inline int GENERIC_CheckEventRoom(const GENERIC_DecoderPlace_t& at, uint32_t events, uint32_t freeSlots) {
    return events > freeSlots ? GENERIC_RefuseEventRoom(at, events, freeSlots) : 0;
}

/* Refuses an event without a waveform record or without samples in slot 0. */
inline int GENERIC_CheckAnalogTrace0(const GENERIC_DecoderPlace_t& at, const c_Waveform_t* waveform) {
    return waveform == NULL || waveform->traces[0].samples == NULL ? GENERIC_RefuseAnalogTrace0(at) : 0;
}

/* ---------------------------------------------- header and format words */

/* The check of an aggregate's header word (bit 31 set) and of the size the
 * caller took from it: refuses another header word and a size below the two
 * header words or above maxSize. (The size is passed in, not written back:
 * an output through a pointer here costs the decoders' loops registers.) */
inline int GENERIC_CheckAggregateHeader(const GENERIC_DecoderPlace_t& at, uint32_t header, uint32_t size,
                                        uint32_t maxSize = 0xFFFFFFFFu) {
    if ((header & 0x80000000u) == 0)
        return GENERIC_RefuseHeaderWord(at, header);
    return size < 2 || size > maxSize ? GENERIC_RefuseAggregateSize(at, size) : 0;
}

/* The event layout of the format word of the Pemb, Vesk and Tilk formats
 * (bit 27 waveforms, 28 extras word, 29 time tag, 30 charge or energy word,
 * 31 dual trace): an event is [time tag] [4 words a waveform unit] [extras]
 * [charge]. */
struct GENERIC_FormatFlags_t {
    bool waves, extras, timeTag, charge, dual;
};

inline GENERIC_FormatFlags_t GENERIC_ReadFormatFlags(uint32_t format) {
    return GENERIC_FormatFlags_t{((format >> 27) & 1u) != 0, ((format >> 28) & 1u) != 0, ((format >> 29) & 1u) != 0,
                                 ((format >> 30) & 1u) != 0, ((format >> 31) & 1u) != 0};
}

/* The words of one event of that layout with `units` waveform units. */
inline uint32_t GENERIC_EventWords(const GENERIC_FormatFlags_t& flags, uint32_t units) {
    return 4 * units + (flags.extras ? 1 : 0) + (flags.timeTag ? 1 : 0) + (flags.charge ? 1 : 0);
}

/* The probes of the pulse-height formats (Orlu, Pemb): analog slot 0 from
 * format bits 22-23, slot 1 from bits 20-21; digital slot 3 is always the
 * same probe. */
constexpr int32_t GENERIC_kPHADigitalProbe3 = 26;

inline int32_t GENERIC_PHAAnalogProbe0(uint32_t format) {
    static constexpr int32_t kProbes[4] = {1, 2, 3, 4};
    return kProbes[(format >> 22) & 3u];
}

inline int32_t GENERIC_PHAAnalogProbe1(uint32_t format) {
    static constexpr int32_t kProbes[4] = {1, 6, 8, 5};
    return kProbes[(format >> 20) & 3u];
}

/* ------------------------------------------------ words of two samples */

/* Waveform words of two 12-bit samples (bits 0-11 the first, 16-27 the
 * second) and, in bits 12-15 and 28-31, the same two samples of four digital
 * traces (digital[k], NULL for a trace without a buffer, from bits 12 + k and
 * 28 + k). samples(j, first, second) stores word j's analog pair, so that the
 * family's rule for the analog traces is inlined into the loop. */
template <typename StoreSamples>
inline void GENERIC_UnpackTwoSampleWords(const uint32_t* words, uint32_t count, uint8_t* const digital[4],
                                         StoreSamples samples) {
    for (uint32_t j = 0; j < count; ++j) {
        const uint32_t v = words[j];
        samples(j, (int16_t)(v & 0xFFF), (int16_t)((v >> 16) & 0xFFF));
        for (int k = 0; k < 4; ++k) {
            if (digital[k] == NULL)
                continue;
            digital[k][2 * j] = (uint8_t)((v >> (12 + k)) & 1u);
            digital[k][2 * j + 1] = (uint8_t)((v >> (28 + k)) & 1u);
        }
    }
}

#endif
