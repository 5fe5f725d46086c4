#include "zel/math.h"
#include "zel/resampling_mapper.h"

namespace mirelo {

namespace {

using u64 = unsigned long long;
using Range = ResamplingMapper::sample_mixed_fraction_range;

// The run mapping for unequal rates. Out of line, so that the equal-rates path, which only copies, compiles to
// a leaf function without the register saves that the two multiply-divides need.
__attribute__((noinline)) bool mapRun(Range &out, u64 targetStart, u64 offset, u64 s, u64 t) {
    // Mapping the offset rather than the last index keeps both products as small as possible; the sum of the
    // two exact positions is the exact position of the last sample, since the mapping is linear. Results go
    // through locals so that they can stay in registers; out is written once, on success.
    u64 firstWhole, firstNumerator, offsetWhole, offsetNumerator;
    if (safe_muldiv_llong_with_remainder(targetStart, s, t, &firstWhole, &firstNumerator) != 0) return false;
    if (safe_muldiv_llong_with_remainder(offset, s, t, &offsetWhole, &offsetNumerator) != 0) return false;
    // The multiply-divide accepted t, so t < 2^63 and both numerators are below it: their sum cannot wrap,
    // and one subtraction brings it back below t. The carry is applied without a branch: it is data-dependent
    // and would be mispredicted about half the time.
    u64 lastNumerator = offsetNumerator + firstNumerator;
    const u64 carry = lastNumerator >= t ? 1 : 0;
    lastNumerator -= t & (0 - carry);
    const u64 partial = offsetWhole + firstWhole;
    const u64 lastWhole = partial + carry;
    if ((partial < firstWhole) | (lastWhole < partial)) return false;
    out.first = {firstWhole, firstNumerator, t};
    out.last = {lastWhole, lastNumerator, t};
    return true;
}

}  // namespace

bool ResamplingMapper::sourceFromTarget(sample_mixed_fraction &out, u64 targetSample) const {
    if (rateOverflow) return false;
    if (sourceCommonRate == targetCommonRate) {
        out = {targetSample, 0, sourceCommonRate};
        return true;
    }
    out.denominator = targetCommonRate;
    return safe_muldiv_llong_with_remainder(targetSample, sourceCommonRate, targetCommonRate, &out.whole,
                                            &out.numerator) == 0;
}

bool ResamplingMapper::sourceFromTargetStartAndCount(sample_mixed_fraction_range &out, u64 targetStart,
                                                     u64 count) const {
    // The exclusive end must fit, so the last sample of a run is at most 2^64 - 2.
    if (count == 0 || targetStart + count <= targetStart) return false;
    if (rateOverflow) return false;
    return _sourceFromTarget(out, targetStart, count - 1);
}

bool ResamplingMapper::sourceFromTargetFirstAndLast(sample_mixed_fraction_range &out, u64 targetFirst,
                                                    u64 targetLast) const {
    if (targetLast < targetFirst) return false;
    if (rateOverflow) return false;
    return _sourceFromTarget(out, targetFirst, targetLast - targetFirst);
}

bool ResamplingMapper::_sourceFromTarget(sample_mixed_fraction_range &out, u64 targetStart,
                                         u64 offset) const {
    const u64 s = sourceCommonRate;
    const u64 t = targetCommonRate;
    if (s == t) {
        out.first = {targetStart, 0, s};
        out.last = {targetStart + offset, 0, s};
        return true;
    }
    return mapRun(out, targetStart, offset, s, t);
}

void ResamplingMapper::getSourceRequestRange(sample_range &out, const sample_mixed_fraction_range &in) const {
    // The interpolator needs the sample after a fractional position; at the top index the request saturates.
    // Computed without a branch, which would be mispredicted on every other block.
    const bool next = includeNextSample & (in.last.numerator != 0) & (in.last.whole != ~0ULL);
    out.first = in.first.whole;
    out.last = in.last.whole + static_cast<u64>(next);
}

}  // namespace mirelo
