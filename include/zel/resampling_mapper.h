// Exact mapping of target (output) sample indices to source (input) positions for sample-rate conversion.
#ifndef ZEL_RESAMPLING_MAPPER_H
#define ZEL_RESAMPLING_MAPPER_H

#include "zel/export.h"

namespace mirelo {

// Maps target sample t to the exact source position t * sourceCommonRate / targetCommonRate.
// Index 0 of both streams falls at the same instant. All arithmetic is unsigned 64-bit and exact; nothing that
// does not fit is ever wrapped: it is reported as a false result or as the overflowed state (rateOverflow).
//
// Typical use, per output block: sourceFromTargetStartAndCount (or ...FirstAndLast), then getSourceRequestRange
// on its result to learn which source samples to fetch. Mapping members are const and may run concurrently on
// one mapper, each caller with its own outputs; a setter or reduce() must not overlap them.
class ZEL_API ResamplingMapper {
public:
    // The records are plain aggregates, like C structs: a resampler declares them in its block loop, and
    // zero-filling them there would cost more stores than the mapping itself makes.

    // A rate as an exact fraction numerator / denominator of samples per unit of time.
    struct ZEL_API sample_fraction {
        unsigned long long numerator;
        unsigned long long denominator;

        // Brings the fraction to lowest terms; a zero numerator or denominator leaves it unchanged.
        void reduce();
    };

    // An exact source position: whole + numerator / denominator, with numerator < denominator after a
    // successful mapping and denominator equal to targetCommonRate.
    struct sample_mixed_fraction {
        unsigned long long whole;
        unsigned long long numerator;
        unsigned long long denominator;
    };

    // Source positions of the first and last target sample of a run; both inclusive.
    struct sample_mixed_fraction_range {
        sample_mixed_fraction first;
        sample_mixed_fraction last;
    };

    // Whole source sample indices, both inclusive.
    struct sample_range {
        unsigned long long first;
        unsigned long long last;
    };

    // The source rate over the common denominator (sourceRate.numerator * targetRate.denominator).
    unsigned long long sourceCommonRate = 1;
    // The source rate as configured (a setter may bring it to lowest terms to make the products fit).
    sample_fraction sourceRate = {1, 1};
    // The target rate over the common denominator (targetRate.numerator * sourceRate.denominator).
    unsigned long long targetCommonRate = 1;
    // The target rate as configured.
    sample_fraction targetRate = {1, 1};
    // Set by the client: request the source sample after a fractional last position (for interpolation).
    // Read only by getSourceRequestRange; the library never writes it.
    bool includeNextSample = false;
    // True when the configured rates are too large to map exactly (both common rates are then 1): the three
    // public mapping queries return false until a setter succeeds with smaller rates.
    bool rateOverflow = false;

    // Rates 1/1 and common rates 1 and 1: the identity mapping.
    ResamplingMapper() = default;
    explicit ResamplingMapper(bool withNextSample) : includeNextSample(withNextSample) {}

    // Configures whole-number rates; common rates become sourceRate and targetRate, unreduced.
    // Throws std::domain_error "sourceRate is 0" / "targetRate is 0" and then changes nothing. Enters the
    // overflowed state (all six rate fields 1) if the bitwise OR sourceRate | targetRate exceeds
    // 0x7FFFFFFFFFFFFFFE (so 0x7FFFFFFFFFFFFFFE and 1 overflow, although neither exceeds it).
    void setSourceAndTargetSampleRate(unsigned long long sourceRate, unsigned long long targetRate);

    // Configures fractional rates; common rates become sn * td and tn * sd. A fraction is first brought to lowest
    // terms, in the stored field too, when its product might not fit in 64 bits.
    // Throws std::domain_error "sourceRate numerator is 0", "sourceRate denominator is 0", "targetRate numerator
    // is 0" or "targetRate denominator is 0" (checked in that order) and then changes nothing. Enters the
    // overflowed state if the bitwise OR sn | sd | tn | td exceeds 0x7FFFFFFFFFFFFFFE (all six rate fields 1), or
    // unless sn < floor((2^63 - 1) / td) and tn < floor((2^63 - 1) / sd) (common rates 1, fractions kept). The OR
    // can exceed the bound when no term does: 0x7FFFFFFFFFFFFFFE with 1 is refused, with 2 accepted.
    void setSourceAndTargetSampleRate(const sample_fraction &sourceRate, const sample_fraction &targetRate);

    // Divides both common rates by their greatest common divisor: same positions, smaller denominators.
    void reduce();

    // Maps one target sample to its exact source position. False in the overflowed state (out untouched) or
    // when the position needs more than 64 bits (errno EOVERFLOW; only out.denominator has been written).
    bool sourceFromTarget(sample_mixed_fraction &out, unsigned long long targetSample) const;

    // Maps the run targetStart .. targetStart + count - 1. False, with out untouched, for count 0, for a run whose
    // exclusive end does not fit in 64 bits, or in the overflowed state; false when the last position needs more
    // than 64 bits (out may then be partly written and must not be used; errno as for _sourceFromTarget).
    bool sourceFromTargetStartAndCount(sample_mixed_fraction_range &out, unsigned long long targetStart,
                                       unsigned long long count) const;

    // Maps the run targetFirst .. targetLast (inclusive; a last of 2^64 - 1 is allowed). False, with out
    // untouched, when targetLast < targetFirst or in the overflowed state; otherwise as ...StartAndCount.
    bool sourceFromTargetFirstAndLast(sample_mixed_fraction_range &out, unsigned long long targetFirst,
                                      unsigned long long targetLast) const;

    // The step shared by the two run mappings: maps targetStart and targetStart + offset, which the caller
    // guarantees fits in 64 bits. Does not check rateOverflow. False when a position needs more than 64 bits:
    // errno is EOVERFLOW if the multiply-divide failed and unchanged if adding the mapped parts overflowed.
    bool _sourceFromTarget(sample_mixed_fraction_range &out, unsigned long long targetStart,
                           unsigned long long offset) const;

    // The exact source position of every target sample targetStart .. targetStart + count - 1: entry i is what
    // sourceFromTarget gives for targetStart + i (numerators over targetCommonRate), whatever the start, so a
    // resampler that starts anywhere gets the entries of one that ran from 0. Steps exactly; never allocates.
    // On failure returns false and writes nothing, checked in this order: count 0; a null array (errno EFAULT);
    // targetStart + count beyond 2^64 - 1; the overflowed state; a last position beyond 64 bits (errno
    // EOVERFLOW). errno is otherwise left alone.
    bool sourcePositionsFromTarget(unsigned long long *whole, unsigned long long *numerator,
                                   unsigned long long targetStart, unsigned long long count) const;

    // As sourcePositionsFromTarget, for a bank of phaseCount filter phases: whole[i] as above, phase[i] =
    // floor(numerator * phaseCount / targetCommonRate) and phaseRemainder[i] the remainder of that division (the
    // exact weight towards phase[i] + 1; not written when phaseRemainder is null). Exact for every phaseCount
    // from 1 to 2^64 - 1. Fails as sourcePositionsFromTarget, and with errno EDOM for phaseCount 0, checked
    // after the null arrays.
    bool sourcePhasesFromTarget(unsigned long long *whole, unsigned long long *phase,
                                unsigned long long *phaseRemainder, unsigned long long phaseCount,
                                unsigned long long targetStart, unsigned long long count) const;

    // The whole source samples a run needs: in.first.whole to in.last.whole, plus the next one when
    // includeNextSample is set and in.last has a fraction (saturating at 2^64 - 1). Cannot fail.
    void getSourceRequestRange(sample_range &out, const sample_mixed_fraction_range &in) const;
};

}  // namespace mirelo

#endif
