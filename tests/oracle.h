// Independent reference models for the differential tests, exhaustive checks and fuzz targets.
// They compute with unsigned __int128, which the library itself never uses, so a shared mistake is unlikely.
#ifndef ZEL_TESTS_ORACLE_H
#define ZEL_TESTS_ORACLE_H

#include <cerrno>
#include <numeric>

namespace zel_oracle {

using u64 = unsigned long long;
// __extension__ keeps -Wpedantic quiet about the non-standard type.
__extension__ typedef unsigned __int128 u128;

constexpr u128 kTwo64 = static_cast<u128>(1) << 64;

struct MulDiv {
    int status;  // 0 or -1
    int error;   // errno on failure, 0 on success
    u64 quotient;
    u64 remainder;
};

// What safe_muldiv_llong_with_remainder must report for a non-null quotient pointer.
inline MulDiv mulDiv(u64 value, u64 multiplier, u64 divisor) {
    if (divisor == 0) return {-1, EDOM, 0, 0};
    if (divisor == 1 && multiplier == 1) return {0, 0, value, 0};
    if (multiplier == 0) return {0, 0, 0, 0};
    if (divisor >> 63 != 0) return {-1, EOVERFLOW, 0, 0};
    const u128 product = static_cast<u128>(value) * multiplier;
    const u128 quotient = product / divisor;
    if (quotient >= kTwo64) return {-1, EOVERFLOW, 0, 0};
    return {0, 0, static_cast<u64>(quotient), static_cast<u64>(product % divisor)};
}

// The mapper state a setter must leave, for non-zero rate terms.
struct Configuration {
    bool overflow;
    u64 sourceNumerator, sourceDenominator, targetNumerator, targetDenominator;
    u64 sourceCommon, targetCommon;
};

constexpr u64 kMaxRateTerm = 0x7FFFFFFFFFFFFFFEULL;  // bound on the bitwise OR of the rate terms
constexpr u128 kMaxU64 = kTwo64 - 1;
constexpr u128 kMaxI64 = (static_cast<u128>(1) << 63) - 1;

inline Configuration overflowedConfiguration() { return {true, 1, 1, 1, 1, 1, 1}; }

inline Configuration wholeConfiguration(u64 source, u64 target) {
    if ((source | target) > kMaxRateTerm) return overflowedConfiguration();
    return {false, source, 1, target, 1, source, target};
}

// x < floor(bound / y) restated without division: (x + 1) * y <= bound, in 128 bits.
inline bool belowQuotient(u64 x, u64 y, u128 bound) { return (static_cast<u128>(x) + 1) * y <= bound; }

inline Configuration fractionalConfiguration(u64 sn, u64 sd, u64 tn, u64 td) {
    if ((sn | sd | tn | td) > kMaxRateTerm) return overflowedConfiguration();
    // A fraction is brought to lowest terms only when its cross product might not fit in 64 bits.
    if (!belowQuotient(sn, td, kMaxU64)) {
        const u64 g = std::gcd(sn, sd);
        sn /= g;
        sd /= g;
    }
    if (!belowQuotient(tn, sd, kMaxU64)) {
        const u64 g = std::gcd(tn, td);
        tn /= g;
        td /= g;
    }
    if (!belowQuotient(sn, td, kMaxI64) || !belowQuotient(tn, sd, kMaxI64))
        return {true, sn, sd, tn, td, 1, 1};
    return {false, sn, sd, tn, td, sn * td, tn * sd};
}

// The exception message a setter must throw, or nullptr when the terms are all non-zero.
inline const char *zeroRateMessage(u64 sn, u64 sd, u64 tn, u64 td) {
    if (sn == 0) return "sourceRate numerator is 0";
    if (sd == 0) return "sourceRate denominator is 0";
    if (tn == 0) return "targetRate numerator is 0";
    if (td == 0) return "targetRate denominator is 0";
    return nullptr;
}

// An exact source position, or none when it needs more than 64 bits.
struct Position {
    bool ok;
    u64 whole;
    u64 numerator;  // over the target common rate
};

// Source position of target index t (which may exceed 64 bits) for common rates s and t; t < 2^63 as a
// configured mapper guarantees.
inline Position position(u128 target, u64 sourceCommon, u64 targetCommon) {
    const u128 product = target * sourceCommon;  // target < 2^65 in every use, so this cannot wrap
    const u128 whole = product / targetCommon;
    if (whole >= kTwo64) return {false, 0, 0};
    return {true, static_cast<u64>(whole), static_cast<u64>(product % targetCommon)};
}

// The largest target index whose source position still fits in 64 bits: floor((2^64 * t - 1) / s).
inline u128 lastMappableTarget(u64 sourceCommon, u64 targetCommon) {
    return (kTwo64 * targetCommon - 1) / sourceCommon;
}

struct RangeMapping {
    bool ok;
    int error;  // EOVERFLOW when an end itself does not fit, 0 when only the sum of the parts does not
    Position first;
    Position last;
};

// What a run mapping of targetStart .. targetStart + offset must give on a configured mapper.
inline RangeMapping rangeMapping(u64 targetStart, u64 offset, u64 sourceCommon, u64 targetCommon) {
    const Position first = position(targetStart, sourceCommon, targetCommon);
    const Position off = position(offset, sourceCommon, targetCommon);
    const Position last = position(static_cast<u128>(targetStart) + offset, sourceCommon, targetCommon);
    if (sourceCommon == targetCommon) return {true, 0, first, last};
    if (!first.ok || !off.ok) return {false, EOVERFLOW, first, last};
    if (!last.ok) return {false, 0, first, last};
    return {true, 0, first, last};
}

}  // namespace zel_oracle

#endif
