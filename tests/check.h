// The tests' one oracle and one differential checker, shared by the unit tests, the exhaustive checks, the soak
// run and the fuzz target. The oracle computes with unsigned __int128, which the library never uses, so a
// mistake shared by both is unlikely. Each check calls the library with sentinel outputs and a sentinel errno,
// and returns "" when everything observable (results, errno, outputs left untouched) agrees with the oracle,
// otherwise what differed.
#ifndef ZEL_TESTS_CHECK_H
#define ZEL_TESTS_CHECK_H

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "zel/math.h"
#include "zel/resampling_mapper.h"

namespace zel_check {

using u64 = unsigned long long;
__extension__ typedef unsigned __int128 u128;  // __extension__ keeps -Wpedantic quiet
using Mapper = mirelo::ResamplingMapper;
using Position = Mapper::sample_mixed_fraction;
using Range = Mapper::sample_mixed_fraction_range;

constexpr u128 kTwo64 = static_cast<u128>(1) << 64;
constexpr u64 kMaxRateTerm = 0x7FFFFFFFFFFFFFFEULL;
constexpr u64 kUntouched = 0xDEADBEEFCAFEF00DULL;
constexpr int kErrnoBefore = 12345;

// ---- The oracle ----

// {status, errno, quotient, remainder} of a multiply-divide with a non-null quotient.
inline std::array<u64, 4> mulDiv(u64 value, u64 multiplier, u64 divisor) {
    const u64 failed = ~0ULL;  // the status -1 as the library's int converts to u64
    if (divisor == 0) return {failed, EDOM, kUntouched, kUntouched};
    if (divisor == 1 && multiplier == 1) return {0, kErrnoBefore, value, 0};
    if (multiplier == 0) return {0, kErrnoBefore, 0, 0};
    const u128 product = static_cast<u128>(value) * multiplier;
    if (divisor >> 63 != 0 || product / divisor >= kTwo64) return {failed, EOVERFLOW, kUntouched, kUntouched};
    return {0, kErrnoBefore, static_cast<u64>(product / divisor), static_cast<u64>(product % divisor)};
}

// x < floor(bound / y), restated without division.
inline bool belowQuotient(u64 x, u64 y, u128 bound) { return (static_cast<u128>(x) + 1) * y <= bound; }

inline void lowestTerms(u64 &n, u64 &d) {
    const u64 g = std::gcd(n, d);
    n /= g;
    d /= g;
}

// The mapper a setter must leave, given non-zero terms. Whole-number rates are sn/1 and tn/1, and their bound
// is on sn | tn alone.
inline Mapper configured(bool next, bool whole, u64 sn, u64 sd, u64 tn, u64 td) {
    Mapper m(next);
    m.rateOverflow = true;
    if ((sn | tn | (whole ? 0 : sd | td)) > kMaxRateTerm) return m;
    // A fraction is brought to lowest terms only when its cross product might not fit in 64 bits.
    if (!belowQuotient(sn, td, kTwo64 - 1)) lowestTerms(sn, sd);
    if (!belowQuotient(tn, sd, kTwo64 - 1)) lowestTerms(tn, td);
    m.sourceRate = {sn, sd};
    m.targetRate = {tn, td};
    const u128 maxI64 = (kTwo64 >> 1) - 1;
    m.rateOverflow = !belowQuotient(sn, td, maxI64) || !belowQuotient(tn, sd, maxI64);
    if (!m.rateOverflow) m.sourceCommonRate = sn * td, m.targetCommonRate = tn * sd;
    return m;
}

// The exception a setter must throw for a zero term, or "".
inline std::string zeroRateMessage(bool whole, u64 sn, u64 sd, u64 tn, u64 td) {
    if (whole) return sn == 0 ? "sourceRate is 0" : tn == 0 ? "targetRate is 0" : "";
    if (sn == 0 || sd == 0) return sn == 0 ? "sourceRate numerator is 0" : "sourceRate denominator is 0";
    if (tn == 0 || td == 0) return tn == 0 ? "targetRate numerator is 0" : "targetRate denominator is 0";
    return "";
}

// The exact source position of a target index (below 2^65) over t, or nothing when it needs more than 64 bits.
struct Exact {
    bool ok;
    u64 whole, numerator;
};
inline Exact position(u128 target, u64 s, u64 t) {
    const u128 product = target * s;
    if (product / t >= kTwo64) return {false, kUntouched, kUntouched};
    return {true, static_cast<u64>(product / t), static_cast<u64>(product % t)};
}

// The largest target index whose position fits in 64 bits.
inline u128 lastMappable(u64 s, u64 t) { return (kTwo64 * t - 1) / s; }

// ---- Comparison ----

inline std::array<u64, 8> fields(const Mapper &m) {
    return {m.sourceCommonRate,       m.targetCommonRate,     m.sourceRate.numerator,
            m.sourceRate.denominator, m.targetRate.numerator, m.targetRate.denominator,
            m.includeNextSample,      m.rateOverflow};
}

inline bool same(const Mapper &a, const Mapper &b) { return fields(a) == fields(b); }
inline bool same(const Position &a, const Position &b) {
    return a.whole == b.whole && a.numerator == b.numerator && a.denominator == b.denominator;
}

template <typename... Parts>
std::string text(const Parts &...parts) {
    std::ostringstream os;
    (os << ... << parts);
    return os.str();
}

inline std::string rates(const Mapper &m) {
    return text(" on common rates ", m.sourceCommonRate, ':', m.targetCommonRate,
                m.rateOverflow ? ", overflowed" : "");
}

// "" when got equals want, otherwise the call (what() is formatted only then, to keep the checks cheap) and both.
template <typename What, std::size_t N>
std::string expect(const What &what, const std::array<u64, N> &got, const std::array<u64, N> &want) {
    if (got == want) return "";
    std::ostringstream os;
    os << what() << ":";
    for (const u64 v : got) os << ' ' << v;
    os << "; expected";
    for (const u64 v : want) os << ' ' << v;
    return os.str();
}

// ---- The checks ----

inline std::string checkMulDiv(u64 value, u64 multiplier, u64 divisor, bool withRemainder,
                               bool nullQuotient) {
    u64 q = kUntouched, r = kUntouched;
    errno = kErrnoBefore;
    const int status = safe_muldiv_llong_with_remainder(
        value, multiplier, divisor, nullQuotient ? nullptr : &q, withRemainder ? &r : nullptr);
    std::array<u64, 4> want = mulDiv(value, multiplier, divisor);
    if (nullQuotient) want = {~0ULL, EFAULT, kUntouched, kUntouched};
    if (!withRemainder) want[3] = kUntouched;
    const auto what = [&] {
        return text("muldiv ", value, " * ", multiplier, " / ", divisor,
                    withRemainder ? "" : ", no remainder", nullQuotient ? ", null quotient" : "",
                    " (status, errno, quotient, remainder)");
    };
    return expect(what, {static_cast<u64>(status), static_cast<u64>(errno), q, r}, want);
}

inline std::string checkGcd(u64 a, u64 b) {
    errno = kErrnoBefore;
    const auto a32 = static_cast<unsigned>(a), b32 = static_cast<unsigned>(b >> 32);
    const std::array<u64, 4> got = {math_gcd_llong(a, b), math_gcd_long(a, b), math_gcd_int(a32, b32),
                                    static_cast<u64>(errno)};
    const u64 g = std::gcd(a, b);
    return expect([&] { return text("gcd ", a, ", ", b); }, got, {g, g, std::gcd(a32, b32), kErrnoBefore});
}

// Applies a setter (the whole-number one takes sn and tn) and checks the state it leaves, or the exception and
// the mapper left as it was.
inline std::string checkConfiguration(Mapper &mapper, bool whole, u64 sn, u64 sd, u64 tn, u64 td) {
    const Mapper before = mapper;
    if (whole) sd = td = 1;
    const std::string message = zeroRateMessage(whole, sn, sd, tn, td);
    std::string thrown;
    try {
        if (whole) mapper.setSourceAndTargetSampleRate(sn, tn);
        if (!whole) mapper.setSourceAndTargetSampleRate(Mapper::sample_fraction{sn, sd}, {tn, td});
    } catch (const std::domain_error &e) {
        thrown = e.what();
    }
    const Mapper want =
        message.empty() ? configured(before.includeNextSample, whole, sn, sd, tn, td) : before;
    if (thrown == message && same(mapper, want)) return "";
    const std::string call = text(whole ? "whole " : "fractional ", sn, '/', sd, " -> ", tn, '/', td,
                                  " threw '", thrown, "', expected '", message, "'");
    return call +
           expect([] { return "; (common rates, rates, next, overflow)"; }, fields(mapper), fields(want));
}

inline std::string checkReduce(Mapper &mapper) {
    Mapper want = mapper;
    const u64 g = std::gcd(want.sourceCommonRate, want.targetCommonRate);
    if (g != 0) want.sourceCommonRate /= g, want.targetCommonRate /= g;
    mapper.reduce();
    return expect([] { return "reduce"; }, fields(mapper), fields(want));
}

inline std::string checkSourceFromTarget(const Mapper &mapper, u64 target) {
    Position out{kUntouched, kUntouched, kUntouched};
    errno = kErrnoBefore;
    const bool ok = mapper.sourceFromTarget(out, target);
    const u64 t = mapper.targetCommonRate;
    const Exact want = mapper.rateOverflow ? Exact{false, kUntouched, kUntouched}
                                           : position(target, mapper.sourceCommonRate, t);
    // A position that does not fit sets EOVERFLOW and writes only the denominator; the overflowed state
    // writes nothing.
    const u64 wantErrno = want.ok || mapper.rateOverflow ? kErrnoBefore : EOVERFLOW;
    return expect(
        [&] { return text("sourceFromTarget(", target, ")", rates(mapper), " (ok, errno, position)"); },
        std::array<u64, 5>{ok, static_cast<u64>(errno), out.whole, out.numerator, out.denominator},
        {want.ok, wantErrno, want.whole, want.numerator, mapper.rateOverflow ? kUntouched : t});
}

enum class RunCall { StartAndCount, FirstAndLast, Internal };

// One run mapping, where (a, b) is (start, count), (first, last) or (start, offset) according to `call`, and
// the request range of a successful one, with and without the next sample. Internal calls must keep
// start + offset within 64 bits, as the public callers guarantee.
inline std::string checkRun(const Mapper &mapper, RunCall call, u64 a, u64 b) {
    Range out{{kUntouched, kUntouched, kUntouched}, {kUntouched, kUntouched, kUntouched}};
    errno = kErrnoBefore;
    bool ok = false, rejected = false;  // rejected: must fail before writing anything
    u64 offset = b;
    if (call == RunCall::StartAndCount) {
        ok = mapper.sourceFromTargetStartAndCount(out, a, b);
        rejected = b == 0 || static_cast<u128>(a) + b > ~0ULL || mapper.rateOverflow;
        offset = b - 1;
    } else if (call == RunCall::FirstAndLast) {
        ok = mapper.sourceFromTargetFirstAndLast(out, a, b);
        rejected = b < a || mapper.rateOverflow;
        offset = b - a;
    } else {
        ok = mapper._sourceFromTarget(out, a, b);
    }
    const u64 error = static_cast<u64>(errno), s = mapper.sourceCommonRate, t = mapper.targetCommonRate;
    const Exact first = position(a, s, t), last = position(static_cast<u128>(a) + offset, s, t);
    // Unequal rates map the start and the offset apart (either may fail with EOVERFLOW), then add them (whose
    // overflow leaves errno alone). A run that fails after its arguments were accepted may write its output.
    const bool partsFit = s == t || (first.ok && position(offset, s, t).ok),
               wantOk = !rejected && partsFit && last.ok;
    const auto what = [&] {
        return text("run call ", static_cast<int>(call), " (", a, ", ", b, ")", rates(mapper),
                    " (ok, errno, first, last, requests)");
    };
    std::array<u64, 12> got = {ok, error};
    std::array<u64, 12> want = {wantOk,
                                static_cast<u64>(rejected || partsFit || ok ? kErrnoBefore : EOVERFLOW)};
    for (std::size_t i = 0; i < 2; ++i) {
        const Position &p = i == 0 ? out.first : out.last;
        got[2 + 3 * i] = p.whole, got[3 + 3 * i] = p.numerator, got[4 + 3 * i] = p.denominator;
    }
    if (!ok && !rejected) std::copy(got.begin() + 2, got.begin() + 8, want.begin() + 2);
    if (wantOk) {
        want = {true, kErrnoBefore, first.whole, first.numerator, t, last.whole, last.numerator, t};
        for (std::size_t next = 0; next < 2; ++next) {
            Mapper m = mapper;
            m.includeNextSample = next == 1;
            Mapper::sample_range request{kUntouched, kUntouched};
            m.getSourceRequestRange(request, out);
            got[8 + 2 * next] = request.first, got[9 + 2 * next] = request.last;
            want[8 + 2 * next] = first.whole;
            want[9 + 2 * next] = last.whole + (next == 1 && last.numerator != 0 && last.whole != ~0ULL);
        }
    } else if (rejected) {
        std::fill(want.begin() + 2, want.begin() + 8, kUntouched);
    }
    return expect(what, got, want);
}

// sourcePositionsFromTarget (phaseCount 0) or sourcePhasesFromTarget over target samples start .. start + count
// - 1, with null arrays as `nulls` says (bit 0: whole, 1: numerator or phase, 2: phaseRemainder); at most the
// first 512 entries are compared, and the entry after them must stay untouched.
inline std::string checkPerSample(const Mapper &mapper, bool phases, u64 phaseCount, u64 start, u64 count,
                                  unsigned nulls) {
    const u64 s = mapper.sourceCommonRate, t = mapper.targetCommonRate;
    const bool accepted = count != 0 && count <= ~0ULL - start && !mapper.rateOverflow;
    u64 wantErrno = kErrnoBefore;
    if (count != 0 && (nulls & 3) != 0) {
        wantErrno = EFAULT;
    } else if (count != 0 && phases && phaseCount == 0) {
        wantErrno = EDOM;
    } else if (accepted && !position(static_cast<u128>(start) + count - 1, s, t).ok) {
        wantErrno = EOVERFLOW;
    }
    const bool wantOk = accepted && wantErrno == kErrnoBefore;
    if (wantOk) count = std::min<u64>(count, 512);  // a run that fails may be longer than the arrays
    const std::size_t size = static_cast<std::size_t>(std::min<u64>(count, 512)) + 1;
    std::vector<u64> whole(size, kUntouched), second(size, kUntouched), remainder(size, kUntouched);
    u64 *w = nulls & 1 ? nullptr : whole.data(), *x = nulls & 2 ? nullptr : second.data();
    u64 *r = nulls & 4 ? nullptr : remainder.data();
    errno = kErrnoBefore;
    const bool ok = phases ? mapper.sourcePhasesFromTarget(w, x, r, phaseCount, start, count)
                           : mapper.sourcePositionsFromTarget(w, x, start, count);
    const auto what = [&] {
        return text("per-sample ", phases ? "phases " : "positions ", start, " + ", count, ", P ", phaseCount,
                    ", nulls ", nulls, rates(mapper),
                    " (ok, errno, entry, whole, numerator or phase, remainder)");
    };
    std::string mismatch = expect(what, std::array<u64, 2>{ok, static_cast<u64>(errno)}, {wantOk, wantErrno});
    for (std::size_t i = 0; i < size && mismatch.empty(); ++i) {
        std::array<u64, 4> want = {i, kUntouched, kUntouched, kUntouched};
        if (wantOk && i + 1 < size) {
            const Exact p = position(static_cast<u128>(start) + i, s, t);
            const u128 scaled = static_cast<u128>(p.numerator) * phaseCount;
            want = {i, p.whole, phases ? static_cast<u64>(scaled / t) : p.numerator,
                    phases && r != nullptr ? static_cast<u64>(scaled % t) : kUntouched};
        }
        mismatch = expect(what, std::array<u64, 4>{i, whole[i], second[i], remainder[i]}, want);
    }
    return mismatch;
}

// ---- Drawing cases ----

// Draws operands from 64-bit words: a seeded generator in the tests and the soak, the fuzzer's bytes (zero once
// they run out) in the fuzz target. An operand picks a bit length first, then a value of that length, or takes
// a boundary value nudged by up to two, so that tiny, boundary and huge operands all appear often.
class Draw {
public:
    explicit Draw(u64 seed) : rng_(seed) {}
    Draw(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool exhausted() const { return data_ != nullptr && pos_ >= size_; }

    u64 bits() {
        if (data_ == nullptr) return rng_();
        u64 word = 0;
        for (int i = 0; i < 8 && pos_ < size_; ++i) word |= static_cast<u64>(data_[pos_++]) << (8 * i);
        return word;
    }

    u64 below(u64 bound) { return bits() % bound; }

    u64 ofWidth(u64 width) {
        return width == 0 ? 0 : (1ULL << (width - 1)) | ((bits() >> 1) >> (64 - width));
    }

    u64 operand() {
        static constexpr u64 kBoundaries[] = {0,          1ULL << 31, 1ULL << 32, 1ULL << 62,
                                              1ULL << 63, 44100,      48000};
        return below(4) == 0 ? kBoundaries[below(7)] + below(5) - 2 : ofWidth(below(65));
    }

    // The target index of a mapping: anywhere, or within two of the last one whose position fits.
    u64 target(const Mapper &m) {
        if (below(2) == 0) return operand();
        const u128 nudged = lastMappable(m.sourceCommonRate, m.targetCommonRate) + below(5) - 2;
        return nudged >= kTwo64 ? ~0ULL : static_cast<u64>(nudged);
    }

    // A rate term: mostly of audio size, sometimes any operand, now and then zero.
    u64 term() {
        if (below(64) == 0) return 0;
        const u64 v = below(4) == 0 ? operand() : ofWidth(1 + below(24));
        return v == 0 ? 1 : v;
    }

private:
    std::mt19937_64 rng_;
    const std::uint8_t *data_ = nullptr;
    std::size_t size_ = 0, pos_ = 0;
};

constexpr int kCaseKinds = 10;

// Draws one call of the kind given (0 .. kCaseKinds - 1) and checks it. Kind 3 reconfigures `mapper` (equal,
// whole or fractional rates, shared factors, sometimes overflowed; reduced half of the time), which the mapping
// kinds then use.
inline std::string randomCase(Draw &draw, Mapper &mapper, int kind) {
    u64 a = draw.operand(), b = draw.operand(), c = draw.operand();
    if (kind == 1) {  // a quotient within a few units of 2^64, on either side
        c = draw.ofWidth(1 + draw.below(63)), b = draw.ofWidth(1 + draw.below(64));
        const u128 wanted = (kTwo64 + draw.below(5) - 3) * c / b;
        a = wanted < kTwo64 ? static_cast<u64>(wanted) : a;
    }
    if (kind < 2) return checkMulDiv(a, b, c, draw.below(8) != 0, draw.below(64) == 0);
    if (kind == 2) {
        const u64 factor = draw.below(2) == 0 ? 1 : draw.ofWidth(draw.below(20));  // often a large common one
        return checkGcd(draw.ofWidth(draw.below(44)) * factor,
                        factor == 1 ? b : draw.ofWidth(draw.below(44)) * factor);
    }
    if (kind == 3) {
        mapper.includeNextSample = draw.below(2) == 0;
        u64 t[4] = {draw.term(), draw.term(), draw.term(), draw.term()};
        if (draw.below(4) == 0) t[2] = t[0], t[3] = t[1];  // equal rates
        const u64 factor = draw.below(4) == 0 ? draw.ofWidth(1 + draw.below(40)) : 1;
        for (u64 &v : t) v = static_cast<u128>(v) * factor < kTwo64 ? v * factor : v;
        const std::string mismatch = checkConfiguration(mapper, draw.below(4) == 0, t[0], t[1], t[2], t[3]);
        return !mismatch.empty() || draw.below(2) == 0 ? mismatch : checkReduce(mapper);
    }
    if (kind == 4) return checkSourceFromTarget(mapper, draw.target(mapper));
    if (kind >= 8) {  // per-sample positions or phases: short runs, anywhere or ending near the last mappable
        const u64 count = draw.below(16) == 0 ? draw.operand() : draw.below(draw.below(8) == 0 ? 512 : 16);
        const u64 end = draw.target(mapper);
        const u64 start = draw.below(2) == 0 ? a : end - std::min(end, count);
        const u64 phaseCount = draw.below(4) == 0 ? draw.operand() : draw.below(4097);
        return checkPerSample(mapper, kind == 9, phaseCount, start, count,
                              draw.below(16) == 0 ? static_cast<unsigned>(draw.below(8)) : 0);
    }
    const u64 last = draw.target(mapper);
    const u64 first = last - std::min(last, draw.below(2) == 0 ? a : draw.below(4096));
    if (kind == 5) return checkRun(mapper, RunCall::StartAndCount, first, last - first + draw.below(2));
    if (kind == 6) return checkRun(mapper, RunCall::FirstAndLast, first, draw.below(32) == 0 ? b : last);
    return checkRun(mapper, RunCall::Internal, first, last - first);
}

}  // namespace zel_check

#endif
