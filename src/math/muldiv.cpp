#include <cerrno>

#include "zel/math.h"

namespace {

using u64 = unsigned long long;

constexpr u64 kLow32 = 0xFFFFFFFFULL;
// Divisors at or above this bound would let 2 * R + 1 overflow in the bit-serial division.
constexpr u64 kFirstRejectedWideDivisor = 1ULL << 63;

u64 low32(u64 x) { return x & kLow32; }
u64 high32(u64 x) { return x >> 32; }

// A 128-bit number as four 32-bit limbs, most significant first, each held in a 64-bit word.
struct Limbs {
    u64 limb[4];
};

Limbs multiply(u64 a, u64 b) {
    const u64 ll = low32(a) * low32(b);
    const u64 lh = high32(a) * low32(b);
    const u64 hl = low32(a) * high32(b);
    const u64 hh = high32(a) * high32(b);
    // Each sum adds at most four 32-bit quantities, so none can overflow 64 bits.
    const u64 t2 = high32(ll) + low32(lh) + low32(hl);
    const u64 t1 = high32(lh) + high32(hl) + low32(hh) + high32(t2);
    return Limbs{{high32(hh) + high32(t1), low32(t1), low32(t2), low32(ll)}};
}

// Schoolbook division by a divisor of at most 32 bits, one limb at a time.
u64 divideByNarrow(Limbs &q, const Limbs &p, u64 divisor) {
    u64 r = 0;
    for (int i = 0; i < 4; ++i) {
        // r < divisor <= 2^32 - 1, so r * 2^32 + limb fits in 64 bits.
        const u64 d = (r << 32) | p.limb[i];
        q.limb[i] = d / divisor;
        r = d - q.limb[i] * divisor;
    }
    return r;
}

// Restoring bit-serial division for divisors of 33 to 63 bits.
u64 divideByWide(Limbs &q, const Limbs &p, u64 divisor) {
    u64 r = 0;
    for (int i = 0; i < 128; ++i) {
        const int limb = i / 32;
        const int shift = 31 - i % 32;
        // r < divisor < 2^63, so 2 * r + 1 fits in 64 bits.
        r = (r << 1) | ((p.limb[limb] >> shift) & 1U);
        if (r >= divisor) {
            r -= divisor;
            q.limb[limb] |= 1ULL << shift;
        }
    }
    return r;
}

int fail(int code) {
    errno = code;
    return -1;
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
    if (divisor >= kFirstRejectedWideDivisor) return fail(EOVERFLOW);

    const Limbs p = multiply(value, multiplier);
    Limbs q = {{0, 0, 0, 0}};
    u64 r = 0;
    if (divisor == 1) {
        q = p;
    } else if (divisor <= kLow32) {
        r = divideByNarrow(q, p, divisor);
    } else {
        r = divideByWide(q, p, divisor);
    }
    if (q.limb[0] != 0 || q.limb[1] != 0) return fail(EOVERFLOW);

    if (remainder != nullptr) *remainder = r;
    *quotient = (q.limb[2] << 32) | q.limb[3];
    return 0;
}
