// Independent reference models for the differential tests, exhaustive checks and fuzz targets.
// They compute with unsigned __int128, which the library itself never uses, so a shared mistake is unlikely.
#ifndef ZEL_TESTS_ORACLE_H
#define ZEL_TESTS_ORACLE_H

#include <cerrno>

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
