// Time, sleeping, bit counting and the process-wide random generator.
#include "ZarnUtility.h"

#include <errno.h>
#include <time.h>

#include <atomic>

namespace {

// splitmix64: one atomic step per draw, so threads never wait for each other
// and a seeded single thread gets a repeatable sequence.
const uint64_t GOLDEN_GAMMA = 0x9E3779B97F4A7C15ull;
std::atomic<uint64_t> randomState{0x853C49E6748FEA9Bull};

uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

extern "C" uint64_t c_get_time(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

extern "C" uint64_t c_getCurrentTimeRepresentation(void) {
    time_t now = time(NULL);
    struct tm local;
    if (localtime_r(&now, &local) == NULL)
        return 0;
    uint64_t date = static_cast<uint64_t>(local.tm_year + 1900) * 10000u + (local.tm_mon + 1) * 100u + local.tm_mday;
    uint64_t clock = static_cast<uint64_t>(local.tm_hour) * 10000u + local.tm_min * 100u + local.tm_sec;
    return date * 1000000u + clock;
}

extern "C" void c_srand(uint32_t seed) { randomState.store(mix(seed + GOLDEN_GAMMA), std::memory_order_relaxed); }

extern "C" double c_rand(void) {
    uint64_t draw = mix(randomState.fetch_add(GOLDEN_GAMMA, std::memory_order_relaxed) + GOLDEN_GAMMA);
    return static_cast<double>(draw >> 11) * 0x1.0p-53; // 53 random bits: in [0, 1)
}

extern "C" void c_sleep(uint32_t milliseconds) {
    struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

extern "C" uint32_t c_ctz(uint32_t value) { return value == 0 ? 32 : static_cast<uint32_t>(__builtin_ctz(value)); }
