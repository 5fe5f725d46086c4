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

}  // namespace zel_oracle

#endif
