// Random numbers of the simulated board's event source: a small, fast
// generator (xoshiro256++) and exact ziggurat samplers of the exponential and
// the normal distribution (Marsaglia and Tsang, 256 layers on 64-bit draws).
// The common case of either sampler is one draw, one multiply and one
// compare; the wedges and the tails fall back to the exact density test.
//
// The generator meets the standard uniform-random-bit-generator requirements,
// so the <random> distributions of the rare paths take it as well.
#ifndef ZARN_SIM_RANDOM_H
#define ZARN_SIM_RANDOM_H

#include <cstdint>
#include <limits>

namespace zsim {

class Random {
public:
    using result_type = uint64_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return std::numeric_limits<uint64_t>::max(); }

    explicit Random(uint64_t seed = 1) { Seed(seed); }
    // The same seed gives the same sequence.
    void Seed(uint64_t seed);

    result_type operator()() {
        const uint64_t result = Rotl(s_[0] + s_[3], 23) + s_[0];
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = Rotl(s_[3], 45);
        return result;
    }

    // Uniform in [0, 1), 53 bits.
    double Uniform() { return static_cast<double>((*this)() >> 11) * 0x1.0p-53; }

    // Exponential of mean 1.
    double Exponential() {
        const uint64_t r = (*this)() >> 3;
        const unsigned layer = r & 0xFF;
        const uint64_t u = r >> 8; // 53 bits
        const double x = static_cast<double>(u) * kTables.expWidth[layer];
        if (u < kTables.expInner[layer])
            return x;
        return ExponentialSlow(layer, x);
    }

    // Normal of mean 0 and deviation 1.
    double Normal() {
        const uint64_t r = (*this)();
        const unsigned layer = r & 0xFF;
        const bool negative = (r >> 8) & 1u;
        const uint64_t u = (r >> 9) & ((uint64_t{1} << 52) - 1); // 52 bits
        double x = static_cast<double>(u) * kTables.normWidth[layer];
        if (negative)
            x = -x;
        if (u < kTables.normInner[layer])
            return x;
        return NormalSlow(layer, x, r);
    }

private:
    static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    double ExponentialSlow(unsigned layer, double x);
    double NormalSlow(unsigned layer, double x, uint64_t draw);

    // Layer 0 is the base strip with the tail; layer 1 the top. width: the
    // layer's right edge per unit of the integer draw; inner: the draws below
    // which a point lies under the curve whatever its height; density: the
    // curve at the layer's right edge (density[0] = the curve at 0).
    struct Tables {
        Tables();
        double expWidth[256], expDensity[256];
        uint64_t expInner[256];
        double normWidth[256], normDensity[256];
        uint64_t normInner[256];
    };
    static const Tables kTables;

    uint64_t s_[4];
};

} // namespace zsim

#endif // ZARN_SIM_RANDOM_H
