// Operand generators that reach every regime: each draw picks a bit length first, then a value of that length,
// or a boundary value, so tiny, boundary and huge operands all appear often.
#ifndef ZEL_TESTS_RANDOM_OPERANDS_H
#define ZEL_TESTS_RANDOM_OPERANDS_H

#include <array>
#include <cstdlib>
#include <random>

#include "oracle.h"
#include "zel/resampling_mapper.h"

namespace zel_test {

using u64 = unsigned long long;

inline constexpr std::array<u64, 20> kBoundaryValues = {
    0ULL,
    1ULL,
    2ULL,
    3ULL,
    0x7FFFFFFFULL,
    0x80000000ULL,
    0xFFFFFFFEULL,
    0xFFFFFFFFULL,
    0x100000000ULL,
    0x100000001ULL,
    0x3FFFFFFFFFFFFFFFULL,
    0x4000000000000000ULL,
    0x4000000000000001ULL,
    0x7FFFFFFFFFFFFFFEULL,
    0x7FFFFFFFFFFFFFFFULL,
    0x8000000000000000ULL,
    0x8000000000000001ULL,
    0xFFFFFFFFFFFFFFFEULL,
    0xFFFFFFFFFFFFFFFFULL,
    44100ULL,
};

// The seed is fixed so that a failure replays; ZEL_TEST_SEED overrides it to explore further.
inline u64 testSeed() {
    const char *env = std::getenv("ZEL_TEST_SEED");
    return env != nullptr ? std::strtoull(env, nullptr, 0) : 0x5EEDC0FFEE123457ULL;
}

class OperandSource {
public:
    explicit OperandSource(u64 seed) : rng_(seed) {}

    u64 bits() { return rng_(); }

    u64 below(u64 bound) { return std::uniform_int_distribution<u64>(0, bound - 1)(rng_); }

    // A value of exactly `width` significant bits (0 gives 0).
    u64 ofWidth(unsigned width) {
        if (width == 0) return 0;
        const u64 top = 1ULL << (width - 1);
        return top | (rng_() & (top - 1));
    }

    // One operand: a boundary value, a boundary value nudged by a little, or a value of random width.
    u64 operand() {
        switch (below(8)) {
            case 0:
                return kBoundaryValues[below(kBoundaryValues.size())];
            case 1:
                return kBoundaryValues[below(kBoundaryValues.size())] + below(5) - 2;
            default:
                return ofWidth(static_cast<unsigned>(below(65)));
        }
    }

    // Operands whose exact quotient lands within a few units of 2^64, on either side.
    void quotientNearTop(u64 &value, u64 &multiplier, u64 &divisor) {
        for (;;) {
            divisor = ofWidth(1 + static_cast<unsigned>(below(63)));
            multiplier = ofWidth(1 + static_cast<unsigned>(below(64)));
            const zel_oracle::u128 target = zel_oracle::kTwo64 + below(5) - 3;  // 2^64 - 3 .. 2^64 + 1
            const zel_oracle::u128 wanted = target * divisor / multiplier;
            if (wanted < zel_oracle::kTwo64) {
                value = static_cast<u64>(wanted);
                return;
            }
        }
    }

    // A configured mapper: whole or fractional rates of any size, equal rates, rates near the bounds;
    // reduced half of the time.
    mirelo::ResamplingMapper mapper() {
        mirelo::ResamplingMapper m(below(2) == 0);
        const auto term = [&] {
            const u64 v = below(4) == 0 ? operand() : ofWidth(1 + static_cast<unsigned>(below(24)));
            return v == 0 ? 1 : v;
        };
        do {
            switch (below(4)) {
                case 0: {
                    const u64 rate = term();
                    m.setSourceAndTargetSampleRate(rate, rate);
                    break;
                }
                case 1:
                    m.setSourceAndTargetSampleRate(term(), term());
                    break;
                default:
                    m.setSourceAndTargetSampleRate(mirelo::ResamplingMapper::sample_fraction{term(), term()},
                                                   mirelo::ResamplingMapper::sample_fraction{term(), term()});
            }
        } while (m.rateOverflow);
        if (below(2) == 0) m.reduce();
        return m;
    }

    // The largest target index whose position still fits in 64 bits, nudged by up to two either way.
    u64 nearLastMappable(const mirelo::ResamplingMapper &m) {
        const zel_oracle::u128 nudged =
            zel_oracle::lastMappableTarget(m.sourceCommonRate, m.targetCommonRate) + below(5) - 2;
        return nudged >= zel_oracle::kTwo64 ? ~0ULL : static_cast<u64>(nudged);
    }

private:
    std::mt19937_64 rng_;
};

}  // namespace zel_test

#endif
