/* Data-format encoders of the simulated board.
 *
 * The event source of the simulated board generates events (time, channel,
 * pulse height, waveform); an encoder turns them into one firmware's channel
 * aggregates, and the board frames those into board aggregates: a 4-word
 * header (word 0: 0xA in bits 28-31 and the size in words, the header
 * included, in bits 0-27; word 1: the mask of the units present in bits 0-7;
 * word 2: the aggregate counter in bits 0-22 and the mask bits 8-15 in bits
 * 24-31; word 3: the low 32 bits of the board time in sample periods, for a
 * per-trigger aggregate the trigger's time tag) followed by one
 * unit aggregate per set mask bit in ascending bit order.
 *
 * Encoders are keyed by DPP code. A format without an encoder yields no data.
 * The encoders of the shipped formats are named by the simulator's firmware
 * rows (ZarnSimRegisterMap.cpp); ZarnSim_RegisterEncoder adds or replaces one
 * at run time. */
#ifndef ZARN_SIM_ENCODER_H
#define ZARN_SIM_ENCODER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Event flags set by the event source. */
enum {
    ZARN_SIM_EVENT_PILEUP = 0x1,    /* another pulse came within the resolving time */
    ZARN_SIM_EVENT_SATURATED = 0x2, /* the pulse reached the ADC's full scale */
    ZARN_SIM_EVENT_SOFTWARE = 0x4,  /* made by a software trigger */
    ZARN_SIM_EVENT_NO_PULSE = 0x8,  /* waveform firmware: a channel that recorded another channel's trigger */
    /* not a pulse: the count of one multichannel-scaling slot (energy: the
     * events counted, mcsSlot: the slot, timeTag: its first sample period) */
    ZARN_SIM_EVENT_MCS = 0x10,
    ZARN_SIM_EVENT_MCS_SWEEP_START = 0x20 /* with ZARN_SIM_EVENT_MCS: the first slot of a sweep */
};

/* One generated event. */
typedef struct ZarnSim_Event_t {
    uint64_t timeTag; /* trigger time in sample periods since the acquisition start */
    double fineTime;  /* fraction of a sample period after timeTag, in [0, 1) */
    uint32_t channel;
    uint32_t energy;         /* pulse height in ADC counts above the baseline, clipped to the ADC range */
    uint32_t flags;          /* ZARN_SIM_EVENT_* */
    const int16_t* waveform; /* input-signal samples (ADC counts), NULL when waveforms are off */
    uint32_t samples;        /* samples of waveform */
    uint32_t preTrigger;     /* samples of waveform before the trigger */
    uint32_t mcsSlot;        /* ZARN_SIM_EVENT_MCS: the slot of the sweep */
} ZarnSim_Event_t;

/* What an encoder may know of its board. */
typedef struct ZarnSim_EncoderContext_t {
    void* board; /* opaque: the first argument of readRegister */
    /* the register file's current value, without the side effects of a read */
    uint32_t (*readRegister)(void* board, uint32_t address);
    uint32_t dppCode;
    uint32_t dppMinor;
    uint32_t familyCode;
    uint32_t channels;
    uint32_t adcBits;
    double samplePeriodNs;
    /* real time and dead time of each channel since the acquisition start, in
     * sample periods (formats that report them in their data) */
    uint64_t realTimeTicks[64];
    uint64_t deadTimeTicks[64];
    /* scratch kept across calls for the encoder's own use, zeroed at every start */
    uint64_t channelState[64][4];
} ZarnSim_EncoderContext_t;

typedef struct ZarnSim_Encoder_t {
    /* channels per mask bit of the board aggregate: 1 (per channel), 2 (per
     * couple) or 8 (per group); unit u covers channels u*n to u*n+n-1 */
    uint32_t channelsPerUnit;
    /* events of one unit aggregate: the unit's aggregate is closed when it
     * holds this many (a flush closes it earlier). 0: every trigger makes a
     * board aggregate of its own holding every enabled unit (waveform firmware). */
    uint32_t (*eventsPerAggregate)(const ZarnSim_EncoderContext_t* context, uint32_t unit);
    /* upper bound of the words of the unit aggregate holding these events */
    uint32_t (*unitAggregateWords)(const ZarnSim_EncoderContext_t* context, uint32_t unit,
                                   const ZarnSim_Event_t* events, uint32_t count);
    /* writes the unit aggregate (events in time order, of the unit's
     * channels); answers the words written, at most maxWords; 0 drops the events */
    uint32_t (*encodeUnitAggregate)(ZarnSim_EncoderContext_t* context, uint32_t unit, const ZarnSim_Event_t* events,
                                    uint32_t count, uint32_t* out, uint32_t maxWords);
    /* optional (NULL: none): adjusts the board aggregate header before it is
     * queued; trigger is the triggering event of a per-trigger aggregate, NULL
     * for an aggregate of closed unit aggregates */
    void (*finishHeader)(ZarnSim_EncoderContext_t* context, uint32_t header[4], const ZarnSim_Event_t* trigger);
} ZarnSim_Encoder_t;

/* Adds, replaces or (with NULL) removes the encoder of a DPP code; the table
 * keeps a copy, and a board takes its copy when it opens. 0, or -1 for an
 * encoder without channelsPerUnit, unitAggregateWords or encodeUnitAggregate,
 * or a full table. */
int ZarnSim_RegisterEncoder(uint32_t dppCode, const ZarnSim_Encoder_t* encoder);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_SIM_ENCODER_H */
