#include "zel/math.h"
#include "zel/resampling_mapper.h"

namespace mirelo {

namespace {

using u64 = unsigned long long;

// a += b, refusing (and leaving a alone) when the sum would wrap.
bool addChecked(u64 &a, u64 b) {
    const u64 sum = a + b;
    if (sum < b) return false;
    a = sum;
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
    out.last.denominator = t;
    out.first.denominator = t;
    // Mapping the offset rather than the last index keeps both products as small as possible; the sum of the
    // two exact positions is the exact position of the last sample, since the mapping is linear.
    if (safe_muldiv_llong_with_remainder(targetStart, s, t, &out.first.whole, &out.first.numerator) != 0) {
        return false;
    }
    if (safe_muldiv_llong_with_remainder(offset, s, t, &out.last.whole, &out.last.numerator) != 0) {
        return false;
    }
    if (!addChecked(out.last.whole, out.first.whole)) return false;
    // The multiply-divide accepted t, so t < 2^63 and both numerators are below it: their sum cannot wrap,
    // and one subtraction brings it back below t.
    out.last.numerator += out.first.numerator;
    if (out.last.numerator >= t) {
        if (!addChecked(out.last.whole, 1)) return false;
        out.last.numerator -= t;
    }
    return true;
}

void ResamplingMapper::getSourceRequestRange(sample_range &out, const sample_mixed_fraction_range &in) const {
    out.first = in.first.whole;
    out.last = in.last.whole;
    // The interpolator needs the sample after a fractional position; at the top index the request saturates.
    if (includeNextSample && in.last.numerator != 0 && in.last.whole != ~0ULL) ++out.last;
}

}  // namespace mirelo
