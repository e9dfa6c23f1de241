/* Test interface of the simulated board: fault injection, seeding, rate and
 * clock control, and views of the board's state that a test may check.
 * Only tests and benchmarks use it; the library never does.
 *
 * A board is named by its ZarnComm link handle (ZARN_DGTZ_BoardInfo_t.CommHandle,
 * or the handle of ZarnComm_OpenLink). ZARN_SIM_ALL_BOARDS names every open
 * board and, for settings, also sets the default of boards opened later.
 * Every call returns 0, or -1 for a link handle that is not open. */
#ifndef ZARN_SIMULATOR_H
#define ZARN_SIMULATOR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZARN_SIM_ALL_BOARDS (-1)

/* Conditions a test can raise on a board. */
enum {
    ZARN_SIM_COND_PLL_UNLOCK = 1,       /* latched until 0xEF04 and 0x8104 are read */
    ZARN_SIM_COND_OVER_TEMPERATURE = 2, /* on the channels of the mask until cleared */
    ZARN_SIM_COND_ADC_SHUTDOWN = 3      /* on the channels of the mask until cleared */
};

/* Clock modes of the event source. */
enum {
    ZARN_SIM_CLOCK_WALL = 0,            /* board time runs with the wall clock from the start */
    ZARN_SIM_CLOCK_AS_FAST_AS_READ = 1, /* every read finds a full transfer of data */
    ZARN_SIM_CLOCK_MANUAL = 2           /* board time moves only through ZarnSim_AdvanceClock */
};

/* The next register read (or write) through either layer, on any board,
 * fails with this code (a ZarnComm or ZarnDigitizer code, by the layer that
 * makes it). code 0 cancels. */
int ZarnSim_FailNextRegisterRead(int32_t code);
int ZarnSim_FailNextRegisterWrite(int32_t code);
/* Makes the nth (1 = next) register access of the given address fail, n > 0. */
int ZarnSim_FailRegisterAccess(uint32_t address, uint32_t nth, int32_t code);
/* The next open (ZarnDigitizer or ZarnComm link) fails with this code. */
int ZarnSim_FailNextOpen(int32_t code);

/* Raises or clears a condition; channelMask names the channels of the
 * over-temperature and ADC shutdown conditions (ignored for the PLL). */
int ZarnSim_RaiseCondition(int32_t link, int32_t condition, uint64_t channelMask);
int ZarnSim_ClearCondition(int32_t link, int32_t condition);

/* The next block read on the board delivers at most maxWords words (a
 * whole aggregate may be cut) and answers code. */
int ZarnSim_CutNextBlockRead(int32_t link, uint32_t maxWords, int32_t code);

/* Seeds the event source (reproducible runs); takes effect at once. */
int ZarnSim_SetSeed(int32_t link, uint64_t seed);
/* Event rate of a channel in counts per second (channel -1: every channel). */
int ZarnSim_SetRate(int32_t link, int32_t channel, double countsPerSecond);
int ZarnSim_SetClockMode(int32_t link, int32_t mode);
/* Moves the board time on by this many nanoseconds (ZARN_SIM_CLOCK_MANUAL). */
int ZarnSim_AdvanceClock(int32_t link, uint64_t nanoseconds);

/* The register file's value, without a read's side effects, and a write
 * that bypasses the command semantics (test set-up). */
int ZarnSim_PeekRegister(int32_t link, uint32_t address, uint32_t* value);
int ZarnSim_PokeRegister(int32_t link, uint32_t address, uint32_t value);

/* Counts of the event source since the last start: events generated on a
 * channel (below 64), of which piled up, and events lost (no room in the
 * board memory). Any pointer may be NULL. */
int ZarnSim_GetChannelCounts(int32_t link, uint32_t channel, uint64_t* generated, uint64_t* pileups, uint64_t* lost);

/* Link handle of a ZarnDigitizer handle. */
int ZarnSim_LinkOfDigitizer(int handle, int32_t* link);

/* Text of the last error of the profiles file ("<file>:<line>: <message>"),
 * empty when the last open read the file without error. */
int ZarnSim_LastProfileError(char* text, uint32_t size);

/* Clears every injected fault and every default set with ZARN_SIM_ALL_BOARDS. */
int ZarnSim_ResetFaults(void);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_SIMULATOR_H */
