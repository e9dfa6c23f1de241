// Seeding, ziggurat tables and the rare paths of the event source's random
// numbers (ZarnSimRandom.h).
#include "ZarnSimRandom.h"

#include <cmath>

namespace zsim {
namespace {

uint64_t SplitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Right edge of the base layer of each 256-layer ziggurat: with it every
// layer, the base with its tail included, has the same area.
constexpr double kExpTail = 7.69711747013104972;
constexpr double kNormTail = 3.6541528853610088;

// Builds the layers of a decreasing density f (inverse g) whose base layer
// ends at r and has area v, for draws of `bits` bits.
template <class F, class G>
void Build(double r, double v, int bits, F f, G g, double* width, double* density, uint64_t* inner) {
    const double scale = std::ldexp(1.0, bits);
    const double q = v / f(r); // the base layer as a rectangle of the same area
    inner[0] = static_cast<uint64_t>(r / q * scale);
    inner[1] = 0;
    width[0] = q / scale;
    width[255] = r / scale;
    density[0] = 1.0;
    density[255] = f(r);
    double x = r;
    for (int i = 254; i >= 1; --i) {
        double next = g(v / x + f(x));
        inner[i + 1] = static_cast<uint64_t>(next / x * scale);
        x = next;
        density[i] = f(x);
        width[i] = x / scale;
    }
}

} // namespace

const Random::Tables Random::kTables;

Random::Tables::Tables() {
    auto expF = [](double x) { return std::exp(-x); };
    auto expG = [](double y) { return -std::log(y); };
    Build(kExpTail, kExpTail * std::exp(-kExpTail) + std::exp(-kExpTail), 53, expF, expG, expWidth, expDensity,
          expInner);
    auto normF = [](double x) { return std::exp(-0.5 * x * x); };
    auto normG = [](double y) { return std::sqrt(-2.0 * std::log(y)); };
    const double normTailArea = std::sqrt(M_PI / 2) * std::erfc(kNormTail / std::sqrt(2.0));
    Build(kNormTail, kNormTail * normF(kNormTail) + normTailArea, 52, normF, normG, normWidth, normDensity, normInner);
}

void Random::Seed(uint64_t seed) {
    uint64_t state = seed;
    for (uint64_t& word : s_)
        word = SplitMix(state);
}

double Random::ExponentialSlow(unsigned layer, double x) {
    for (;;) {
        if (layer == 0)
            return kExpTail - std::log1p(-Uniform()); // the tail is the exponential shifted
        double y = kTables.expDensity[layer] + (kTables.expDensity[layer - 1] - kTables.expDensity[layer]) * Uniform();
        if (y < std::exp(-x))
            return x;
        const uint64_t r = (*this)() >> 3;
        layer = r & 0xFF;
        const uint64_t u = r >> 8;
        x = static_cast<double>(u) * kTables.expWidth[layer];
        if (u < kTables.expInner[layer])
            return x;
    }
}

double Random::NormalSlow(unsigned layer, double x, uint64_t draw) {
    for (;;) {
        if (layer == 0) {
            // the tail beyond r, by Marsaglia's method
            const bool negative = (draw >> 8) & 1u;
            for (;;) {
                double a = -std::log1p(-Uniform()) / kNormTail;
                double b = -std::log1p(-Uniform());
                if (b + b > a * a)
                    return negative ? -(kNormTail + a) : kNormTail + a;
            }
        }
        double y =
            kTables.normDensity[layer] + (kTables.normDensity[layer - 1] - kTables.normDensity[layer]) * Uniform();
        if (y < std::exp(-0.5 * x * x))
            return x;
        draw = (*this)();
        layer = draw & 0xFF;
        const uint64_t u = (draw >> 9) & ((uint64_t{1} << 52) - 1);
        x = static_cast<double>(u) * kTables.normWidth[layer];
        if ((draw >> 8) & 1u)
            x = -x;
        if (u < kTables.normInner[layer])
            return x;
    }
}

} // namespace zsim
