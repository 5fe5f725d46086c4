// Positions for a source rate that may change while a stream runs. From output frame `from` on, output frame t
// falls at anchor + (t - from) * num / den, every term an integer and den fixed when the stream was made (the
// source rate's denominator times the target rate's numerator), so that every position stays an exact fraction
// however many times the rate changes, and the same changes at the same output frames give the same positions.
// A drifting stream keeps two such mappings in step: to source frames, and to the frames its polyphase stage reads.
#ifndef ZEL_SRC_RESAMPLER_DRIFT_H
#define ZEL_SRC_RESAMPLER_DRIFT_H

namespace zel::engine {

using u64 = unsigned long long;

class Segment {
public:
    // Numerators and the denominator stay below this, so that sums of two remainders never wrap.
    static constexpr u64 kLimit = 1ULL << 62;

    Segment() = default;
    Segment(u64 num, u64 den) : num_(num), den_(den) {}
    u64 den() const { return den_; }

    // Output frame t's position, whole + frac / den (before `from`, as if this rate had held; clamped at 0); false
    // when the whole part passes 2^64 - 1.
    bool at(u64 t, u64 &whole, u64 &frac) const;
    // The output frames whose positions lie before frame n, counted from `from` (outputs before it are taken as
    // written); false when the count passes 2^64 - 1.
    bool before(u64 n, u64 &count) const;
    // From output frame t on, a step of num / den; false (nothing changed) when t's position does not fit.
    bool change(u64 t, u64 num);
    // Back to output frame 0 at position 0, keeping the step.
    void restart() { from_ = whole_ = frac_ = 0; }
    // Whole parts, and the phase of P and its remainder over den (the interpolation weight is remainder / den), of
    // output frames first .. first + n - 1: first's by division, the rest by exact steps. phase is frac itself when
    // P is 0 (linear interpolation's weight, over den).
    void positions(u64 first, u64 n, u64 phases, u64 *whole, u64 *phase, u64 *remainder) const;

private:
    u64 from_ = 0, whole_ = 0, frac_ = 0;  // the segment's first output frame and its position
    u64 num_ = 0, den_ = 1;                // the step per output frame
};

}  // namespace zel::engine

#endif
