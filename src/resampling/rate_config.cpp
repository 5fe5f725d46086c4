#include <stdexcept>

#include "zel/math.h"
#include "zel/resampling_mapper.h"

namespace mirelo {

namespace {

using u64 = unsigned long long;

constexpr u64 kMaxU64 = 0xFFFFFFFFFFFFFFFFULL;
// Largest value any configured rate term may have; tested on the OR of the terms, so one comparison covers all.
constexpr u64 kMaxRateTerm = 0x7FFFFFFFFFFFFFFEULL;
// Common rates must stay below the signed maximum so that a common rate always fits a signed 64-bit
// integer, which clients and other languages can rely on.
constexpr u64 kMaxI64 = 0x7FFFFFFFFFFFFFFFULL;

void divideByGcd(u64 &numerator, u64 &denominator) {
    const u64 g = math_gcd_llong(numerator, denominator);
    // Only 0/0 has no divisor. The setters never produce it, but the fields are public, and a client who
    // zeroes both common rates by hand must not get a division by zero from reduce().
    if (g == 0) return;
    numerator /= g;
    denominator /= g;
}

// Rates too large to map: every rate field becomes 1 so the mapper stays a valid identity, flagged unusable.
void enterOverflowedState(ResamplingMapper &m) {
    m.rateOverflow = true;
    m.sourceRate = {1, 1};
    m.targetRate = {1, 1};
    m.sourceCommonRate = 1;
    m.targetCommonRate = 1;
}

}  // namespace

void ResamplingMapper::sample_fraction::reduce() {
    if (numerator == 0 || denominator == 0) return;
    divideByGcd(numerator, denominator);
}

void ResamplingMapper::setSourceAndTargetSampleRate(u64 source, u64 target) {
    if (source == 0) throw std::domain_error("sourceRate is 0");
    if (target == 0) throw std::domain_error("targetRate is 0");
    if ((source | target) > kMaxRateTerm) {
        enterOverflowedState(*this);
        return;
    }
    rateOverflow = false;
    sourceRate = {source, 1};
    targetRate = {target, 1};
    sourceCommonRate = source;
    targetCommonRate = target;
}

void ResamplingMapper::setSourceAndTargetSampleRate(const sample_fraction &source,
                                                    const sample_fraction &target) {
    // Copies first: the arguments may be this mapper's own fields.
    u64 sn = source.numerator, sd = source.denominator;
    u64 tn = target.numerator, td = target.denominator;
    if (sn == 0) throw std::domain_error("sourceRate numerator is 0");
    if (sd == 0) throw std::domain_error("sourceRate denominator is 0");
    if (tn == 0) throw std::domain_error("targetRate numerator is 0");
    if (td == 0) throw std::domain_error("targetRate denominator is 0");
    if ((sn | sd | tn | td) > kMaxRateTerm) {
        enterOverflowedState(*this);
        return;
    }
    // Reduce a fraction only when its cross product might not fit; otherwise keep it as the client gave it.
    if (sn >= kMaxU64 / td) divideByGcd(sn, sd);
    if (tn >= kMaxU64 / sd) divideByGcd(tn, td);
    sourceRate = {sn, sd};
    targetRate = {tn, td};
    // sn < floor(kMaxI64 / td) implies sn * td <= kMaxI64 - td, so the products below cannot overflow.
    rateOverflow = !(sn < kMaxI64 / td && tn < kMaxI64 / sd);
    sourceCommonRate = rateOverflow ? 1 : sn * td;
    targetCommonRate = rateOverflow ? 1 : tn * sd;
}

void ResamplingMapper::reduce() { divideByGcd(sourceCommonRate, targetCommonRate); }

}  // namespace mirelo
