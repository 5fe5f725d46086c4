#include <cassert>
#include <cerrno>

#include "zel/math.h"

namespace {

using u64 = unsigned long long;

constexpr u64 kLow32 = 0xFFFFFFFFULL;
constexpr u64 kDigit = 1ULL << 32;  // the base of the two-digit division below
// Divisors of 2^63 and more are refused whenever the multiplier is not 0: callers rely on every accepted
// divisor, and so every remainder, fitting a signed 64-bit integer.
constexpr u64 kFirstRejectedDivisor = 1ULL << 63;

u64 low32(u64 x) { return x & kLow32; }
u64 high32(u64 x) { return x >> 32; }

// The full 128-bit product hi:lo from four 32x32->64 partial products.
void multiply(u64 a, u64 b, u64 &hi, u64 &lo) {
    const u64 ll = low32(a) * low32(b);
    const u64 lh = high32(a) * low32(b);
    const u64 hl = low32(a) * high32(b);
    const u64 hh = high32(a) * high32(b);
    // mid adds three 32-bit values; hi is the exact high word of a product below 2^128, so neither overflows.
    const u64 mid = high32(ll) + low32(lh) + low32(hl);
    lo = (mid << 32) | low32(ll);
    hi = hh + high32(lh) + high32(hl) + high32(mid);
}

// hi:lo / d for hi < d < 2^63, so the quotient fits in 64 bits. Knuth's algorithm D with two 32-bit quotient
// digits: normalising d makes each estimate from the top digits at most two too large, and two hardware
// divisions replace 128 shift-and-subtract steps.
void divide(u64 hi, u64 lo, u64 d, u64 &q, u64 &r) {
    assert(hi < d && d < kFirstRejectedDivisor);
    const int shift = __builtin_clzll(d);  // 1..63, since 0 < d < 2^63
    d <<= shift;
    const u64 top = (hi << shift) | (lo >> (64 - shift));  // still below d
    lo <<= shift;
    const u64 dHigh = high32(d), dLow = low32(d);

    // First digit: estimate from top / dHigh, then correct while the estimate times d exceeds the dividend.
    u64 q1 = top / dHigh;
    u64 rhat = top - q1 * dHigh;
    while (q1 >= kDigit || q1 * dLow > ((rhat << 32) | high32(lo))) {
        --q1;
        rhat += dHigh;
        if (rhat >= kDigit) break;
    }
    // The partial remainder is below d, so arithmetic modulo 2^64 gives it exactly.
    const u64 partial = (top << 32) + high32(lo) - q1 * d;

    u64 q0 = partial / dHigh;
    rhat = partial - q0 * dHigh;
    while (q0 >= kDigit || q0 * dLow > ((rhat << 32) | low32(lo))) {
        --q0;
        rhat += dHigh;
        if (rhat >= kDigit) break;
    }
    q = (q1 << 32) | q0;
    r = ((partial << 32) + low32(lo) - q0 * d) >> shift;
}

int fail(int code) {
    errno = code;
    return -1;
}

// The product needs more than 64 bits. Kept out of line so that the common path stays small enough to be
// inlined into the mapper.
__attribute__((noinline)) int muldivWide(u64 value, u64 multiplier, u64 divisor, u64 *quotient,
                                         u64 *remainder) {
    u64 hi = 0, lo = 0, q = 0, r = 0;
    multiply(value, multiplier, hi, lo);
    // hi:lo / divisor < 2^64 exactly when hi < divisor.
    if (hi >= divisor) return fail(EOVERFLOW);
    divide(hi, lo, divisor, q, r);
    if (remainder != nullptr) *remainder = r;
    *quotient = q;
    return 0;
}

}  // namespace

extern "C" int safe_muldiv_llong_with_remainder(u64 value, u64 multiplier, u64 divisor, u64 *quotient,
                                                u64 *remainder) {
    // The order of these tests is part of the contract: it decides which errno a caller sees.
    if (quotient == nullptr) return fail(EFAULT);
    if (divisor == 0) return fail(EDOM);
    if (divisor == 1 && multiplier == 1) {
        if (remainder != nullptr) *remainder = 0;
        *quotient = value;
        return 0;
    }
    if (multiplier == 0) {
        if (remainder != nullptr) *remainder = 0;
        *quotient = 0;
        return 0;
    }
    if (divisor >= kFirstRejectedDivisor) return fail(EOVERFLOW);

    u64 product = 0;
    if (__builtin_mul_overflow(value, multiplier, &product)) {
        return muldivWide(value, multiplier, divisor, quotient, remainder);
    }
    // The product fits in 64 bits: one hardware division gives quotient and remainder (computed before the
    // stores, which the compiler could not otherwise prove independent of them).
    const u64 q = product / divisor, r = product % divisor;
    if (remainder != nullptr) *remainder = r;
    *quotient = q;
    return 0;
}
