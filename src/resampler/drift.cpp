#include "drift.h"

#include <zel/math.h>

namespace zel::engine {

namespace {

// floor(a * b / d) and the remainder; false when the quotient passes 2^64 - 1 (d < 2^62, never 0).
bool mulDiv(u64 a, u64 b, u64 d, u64 &q, u64 &r) {
    return safe_muldiv_llong_with_remainder(a, b, d, &q, &r) == 0;
}

}  // namespace

bool Segment::at(u64 t, u64 &whole, u64 &frac) const {
    u64 q = 0, r = 0;
    if (t >= from_) {
        if (!mulDiv(t - from_, num_, den_, q, r)) return false;
        // frac + r < 2 den < 2^63.
        frac = frac_ + r;
        const u64 carry = frac >= den_ ? 1 : 0;
        frac -= carry * den_;
        if (q > ~0ULL - whole_ - carry) return false;
        whole = whole_ + q + carry;
        return true;
    }
    // Backwards from the anchor: anchor - (q + r / den), borrowing a whole frame when r > frac.
    if (!mulDiv(from_ - t, num_, den_, q, r)) q = ~0ULL;
    const u64 borrow = r > frac_ ? 1 : 0;
    if (q + borrow > whole_ || q == ~0ULL) return whole = frac = 0, true;
    whole = whole_ - q - borrow, frac = frac_ + borrow * den_ - r;
    return true;
}

bool Segment::before(u64 n, u64 &count) const {
    // The first t >= from with position >= n: t - from = ceil(((n - whole) den - frac) / num), the numerator
    // written as (n - whole - 1) den + (den - frac) so that no term is negative.
    if (n <= whole_) {
        count = from_;
        return true;
    }
    u64 q = 0, r = 0;
    if (!mulDiv(n - whole_ - 1, den_, num_, q, r)) return false;
    const u64 extra = r + (den_ - frac_);  // below 2^63
    const u64 steps = extra / num_ + (extra % num_ != 0 ? 1 : 0);
    if (q > ~0ULL - steps || q + steps > ~0ULL - from_) return false;
    count = from_ + q + steps;
    return true;
}

bool Segment::change(u64 t, u64 num) {
    u64 whole = 0, frac = 0;
    if (!at(t, whole, frac)) return false;
    from_ = t, whole_ = whole, frac_ = frac, num_ = num;
    return true;
}

void Segment::positions(u64 first, u64 n, u64 phases, u64 *whole, u64 *phase, u64 *remainder) const {
    u64 w = 0, f = 0, p = 0, rem = 0;
    at(first, w, f);  // the caller has mapped the block's last frame, so this fits
    const u64 stepWhole = num_ / den_, stepFrac = num_ % den_;
    if (phases == 0) {
        for (u64 i = 0; i < n; ++i) {
            whole[i] = w, phase[i] = f, remainder[i] = 0;
            f += stepFrac;
            const u64 carry = f >= den_ ? 1 : 0;
            f -= carry * den_, w += stepWhole + carry;
        }
        return;
    }
    // frac * P = phase * den + rem; a step adds stepFrac * P = qs * den + rs, and the phase passes P exactly when
    // frac passes den, which carries into the whole part.
    u64 qs = 0, rs = 0;
    mulDiv(f, phases, den_, p, rem);
    mulDiv(stepFrac, phases, den_, qs, rs);
    for (u64 i = 0; i < n; ++i) {
        whole[i] = w, phase[i] = p, remainder[i] = rem;
        rem += rs, p += qs, w += stepWhole;
        if (rem >= den_) rem -= den_, ++p;
        if (p >= phases) p -= phases, ++w;
    }
}

}  // namespace zel::engine
