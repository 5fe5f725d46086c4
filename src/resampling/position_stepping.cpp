#include <cerrno>

#include "zel/math.h"
#include "zel/resampling_mapper.h"

namespace mirelo {

namespace {

using u64 = unsigned long long;

bool fail(int code) {
    errno = code;
    return false;
}

// Checks a per-sample request and maps its first position. Positions grow with the index, so once the last one
// fits in 64 bits every one does, and the stepping below cannot wrap on a stored entry.
bool firstPosition(const ResamplingMapper &m, u64 start, u64 count, u64 &whole, u64 &numerator) {
    if (count > ~0ULL - start || m.rateOverflow) return false;
    u64 lastWhole = 0;
    if (safe_muldiv_llong_with_remainder(start + count - 1, m.sourceCommonRate, m.targetCommonRate,
                                         &lastWhole, nullptr) != 0) {
        return false;  // EOVERFLOW, set by the multiply-divide
    }
    return safe_muldiv_llong_with_remainder(start, m.sourceCommonRate, m.targetCommonRate, &whole,
                                            &numerator) == 0;
}

// Where a run of positions stands: the position whole + numerator / T and, for phases, the phase and its
// remainder, floor(numerator * P / T) and (numerator * P) mod T.
struct Cursor {
    u64 whole, numerator, phase, remainder;
};

// The position n * P needs up to 127 bits, but its steps do not. A stride of k samples adds k * S = whole * T +
// numerator to the position (numerator < T), and numerator * P = phase * T + remainder to the phase's product;
// when the position's numerator carries past T, that product falls by exactly T * P: P phases, remainder
// unchanged. Every stored phase is below P <= 2^64 - 1 and unsigned arithmetic is exact modulo 2^64, so a sum
// that wraps on the way to an in-range result still gives that result. T < 2^63, so numerator + step never wraps.
bool stride(u64 k, u64 s, u64 t, u64 phaseCount, Cursor &step) {
    return safe_muldiv_llong_with_remainder(k, s, t, &step.whole, &step.numerator) == 0 &&
           safe_muldiv_llong_with_remainder(step.numerator, phaseCount, t, &step.phase, &step.remainder) == 0;
}

// Carries are applied without a branch: at audio ratios they come about every other sample.
template <bool kPhases>
inline void advance(Cursor &c, const Cursor &step, u64 t, u64 phaseCount) {
    c.numerator += step.numerator;
    const u64 carry = c.numerator >= t;
    c.numerator -= t & (0 - carry);
    c.whole += step.whole + carry;  // past the last entry this may wrap, unstored
    if (kPhases) {
        c.remainder += step.remainder;
        const u64 phaseCarry = c.remainder >= t;
        c.remainder -= t & (0 - phaseCarry);
        c.phase += step.phase + phaseCarry - (phaseCount & (0 - carry));
    }
}

template <bool kPhases, bool kRemainder>
inline void store(const Cursor &c, u64 i, u64 *whole, u64 *second, u64 *remainder) {
    whole[i] = c.whole;
    second[i] = kPhases ? c.phase : c.numerator;
    if (kRemainder) remainder[i] = c.remainder;
}

// Fills count entries from `first`. One cursor stepping sample by sample would make every entry wait for the
// carry of the one before; kLanes cursors a sample apart, each striding kLanes samples, run as independent
// chains (four for positions; two for phases, whose cursors would not all fit in registers).
template <bool kPhases, bool kRemainder>
void fill(Cursor first, u64 count, u64 s, u64 t, u64 phaseCount, u64 *whole, u64 *second, u64 *remainder) {
    constexpr u64 kLanes = kPhases ? 2 : 4;
    Cursor one{}, four{};              // strides of one sample and of kLanes samples
    stride(1, s, t, phaseCount, one);  // cannot fail: S / T and numerator * P / T are below the last position
    Cursor lane[kLanes];
    lane[0] = first;
    for (u64 j = 1; j < kLanes; ++j) advance<kPhases>(lane[j] = lane[j - 1], one, t, phaseCount);
    u64 i = 0;
    // kLanes * S / T fits when S / T < 2^62; tested first so that a failed multiply-divide cannot set errno.
    if (one.whole < (1ULL << 62) && stride(kLanes, s, t, phaseCount, four)) {
        for (; i + kLanes <= count; i += kLanes) {
            for (u64 j = 0; j < kLanes; ++j) {
                store<kPhases, kRemainder>(lane[j], i + j, whole, second, remainder);
                advance<kPhases>(lane[j], four, t, phaseCount);
            }
        }
    }
    for (; i < count; ++i) {
        store<kPhases, kRemainder>(lane[0], i, whole, second, remainder);
        advance<kPhases>(lane[0], one, t, phaseCount);
    }
}

}  // namespace

bool ResamplingMapper::sourcePositionsFromTarget(u64 *whole, u64 *numerator, u64 targetStart,
                                                 u64 count) const {
    if (count == 0) return false;
    if (whole == nullptr || numerator == nullptr) return fail(EFAULT);
    Cursor first{};
    if (!firstPosition(*this, targetStart, count, first.whole, first.numerator)) return false;
    fill<false, false>(first, count, sourceCommonRate, targetCommonRate, 1, whole, numerator, nullptr);
    return true;
}

bool ResamplingMapper::sourcePhasesFromTarget(u64 *whole, u64 *phase, u64 *phaseRemainder, u64 phaseCount,
                                              u64 targetStart, u64 count) const {
    if (count == 0) return false;
    if (whole == nullptr || phase == nullptr) return fail(EFAULT);
    if (phaseCount == 0) return fail(EDOM);
    Cursor first{};
    if (!firstPosition(*this, targetStart, count, first.whole, first.numerator)) return false;
    const u64 t = targetCommonRate;
    // numerator < T, so its phase is below P and fits.
    safe_muldiv_llong_with_remainder(first.numerator, phaseCount, t, &first.phase, &first.remainder);
    if (phaseRemainder != nullptr) {
        fill<true, true>(first, count, sourceCommonRate, t, phaseCount, whole, phase, phaseRemainder);
    } else {
        fill<true, false>(first, count, sourceCommonRate, t, phaseCount, whole, phase, nullptr);
    }
    return true;
}

}  // namespace mirelo
