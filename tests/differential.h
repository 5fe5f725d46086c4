// Runs one library call and compares everything observable with the oracle: results, errno, and outputs that
// must stay untouched. Each check returns an empty string on agreement, otherwise what differed. Shared by the
// unit tests, the exhaustive checks, the soak run and the fuzz targets.
#ifndef ZEL_TESTS_DIFFERENTIAL_H
#define ZEL_TESTS_DIFFERENTIAL_H

#include <cerrno>
#include <sstream>
#include <stdexcept>
#include <string>

#include "oracle.h"
#include "zel/math.h"
#include "zel/resampling_mapper.h"

namespace zel_check {

using u64 = unsigned long long;
using zel_oracle::u128;
using Mapper = mirelo::ResamplingMapper;

constexpr u64 kUntouched = 0xDEADBEEFCAFEF00DULL;
constexpr int kErrnoBefore = 12345;

// Formats a mismatch report; only called on failure, so the checks stay cheap enough for exhaustive runs.
template <typename... Parts>
std::string report(const Parts &...parts) {
    std::ostringstream os;
    (os << ... << parts);
    return os.str();
}

inline std::string describe(const Mapper &m) {
    std::ostringstream os;
    os << "mapper{common " << m.sourceCommonRate << ':' << m.targetCommonRate << ", rates "
       << m.sourceRate.numerator << '/' << m.sourceRate.denominator << " -> " << m.targetRate.numerator << '/'
       << m.targetRate.denominator << ", next " << m.includeNextSample << ", overflow " << m.rateOverflow
       << '}';
    return os.str();
}

inline bool samePosition(const Mapper::sample_mixed_fraction &p, u64 whole, u64 numerator, u64 denominator) {
    return p.whole == whole && p.numerator == numerator && p.denominator == denominator;
}

inline bool sameState(const Mapper &a, const Mapper &b) {
    return a.sourceCommonRate == b.sourceCommonRate && a.targetCommonRate == b.targetCommonRate &&
           a.sourceRate.numerator == b.sourceRate.numerator &&
           a.sourceRate.denominator == b.sourceRate.denominator &&
           a.targetRate.numerator == b.targetRate.numerator &&
           a.targetRate.denominator == b.targetRate.denominator &&
           a.includeNextSample == b.includeNextSample && a.rateOverflow == b.rateOverflow;
}

// safe_muldiv_llong_with_remainder against the oracle, with sentinel outputs and a sentinel errno.
inline std::string checkMulDiv(u64 value, u64 multiplier, u64 divisor, bool withRemainder = true,
                               bool nullQuotient = false) {
    u64 quotient = kUntouched, remainder = kUntouched;
    errno = kErrnoBefore;
    const int status = safe_muldiv_llong_with_remainder(
        value, multiplier, divisor, nullQuotient ? nullptr : &quotient, withRemainder ? &remainder : nullptr);
    const int error = errno;
    zel_oracle::MulDiv want = zel_oracle::mulDiv(value, multiplier, divisor);
    if (nullQuotient) want = {-1, EFAULT, 0, 0};

    const auto fail = [&](const auto &...what) {
        return report(value, " * ", multiplier, " / ", divisor, withRemainder ? "" : " (no remainder)",
                      nullQuotient ? " (null quotient)" : "", ": ", what...);
    };
    if (status != want.status) return fail("returned ", status, ", expected ", want.status);
    if (want.status == 0) {
        if (error != kErrnoBefore) return fail("errno changed to ", error, " on success");
        if (quotient != want.quotient) return fail("quotient ", quotient, ", expected ", want.quotient);
        const u64 wantRemainder = withRemainder ? want.remainder : kUntouched;
        if (remainder != wantRemainder) return fail("remainder ", remainder, ", expected ", wantRemainder);
    } else {
        if (error != want.error) return fail("errno ", error, ", expected ", want.error);
        if (quotient != kUntouched || remainder != kUntouched) return fail("output written on failure");
    }
    return "";
}

// Applies a setter to `mapper` (whole-number when `whole`, using only the numerators) and checks the state it
// leaves, or the exception and the untouched mapper for a zero term.
inline std::string checkConfiguration(Mapper &mapper, bool whole, u64 sn, u64 sd, u64 tn, u64 td) {
    const Mapper before = mapper;
    const char *wantMessage = zel_oracle::zeroRateMessage(sn, sd, tn, td);
    if (whole) wantMessage = sn == 0 ? "sourceRate is 0" : tn == 0 ? "targetRate is 0" : nullptr;
    const auto fail = [&](const auto &...what) {
        return report(whole ? "whole " : "fractional ", sn, '/', sd, " -> ", tn, '/', td, " on ",
                      describe(before), ": ", what...);
    };
    try {
        if (whole) {
            mapper.setSourceAndTargetSampleRate(sn, tn);
        } else {
            mapper.setSourceAndTargetSampleRate(Mapper::sample_fraction{sn, sd},
                                                Mapper::sample_fraction{tn, td});
        }
    } catch (const std::domain_error &e) {
        if (wantMessage == nullptr || std::string(e.what()) != wantMessage)
            return fail("threw '", e.what(), "'");
        if (!sameState(mapper, before)) return fail("changed the mapper before throwing");
        return "";
    }
    if (wantMessage != nullptr) return fail("did not throw '", wantMessage, "'");

    const zel_oracle::Configuration want =
        whole ? zel_oracle::wholeConfiguration(sn, tn) : zel_oracle::fractionalConfiguration(sn, sd, tn, td);
    Mapper expected(before.includeNextSample);
    expected.rateOverflow = want.overflow;
    expected.sourceRate = {want.sourceNumerator, want.sourceDenominator};
    expected.targetRate = {want.targetNumerator, want.targetDenominator};
    expected.sourceCommonRate = want.sourceCommon;
    expected.targetCommonRate = want.targetCommon;
    if (!sameState(mapper, expected))
        return fail("gave ", describe(mapper), ", expected ", describe(expected));
    return "";
}

// reduce() must divide both common rates by their gcd and leave everything else alone.
inline std::string checkReduce(Mapper &mapper) {
    const Mapper before = mapper;
    mapper.reduce();
    const u64 g = std::gcd(before.sourceCommonRate, before.targetCommonRate);
    Mapper expected = before;
    expected.sourceCommonRate /= g;
    expected.targetCommonRate /= g;
    if (!sameState(mapper, expected))
        return report("reduce on ", describe(before), " gave ", describe(mapper));
    return "";
}

// getSourceRequestRange on a successfully mapped run, with both settings of includeNextSample.
inline std::string checkRequestRange(const Mapper &mapper, const Mapper::sample_mixed_fraction_range &run) {
    Mapper m = mapper;
    for (bool next : {false, true}) {
        m.includeNextSample = next;
        Mapper::sample_range out{kUntouched, kUntouched};
        m.getSourceRequestRange(out, run);
        const bool addsNext = next && run.last.numerator != 0 && run.last.whole != ~0ULL;
        if (out.first != run.first.whole || out.last != run.last.whole + (addsNext ? 1 : 0)) {
            return report("request range ", out.first, "..", out.last, " for last position ", run.last.whole,
                          '+', run.last.numerator, " with next ", next);
        }
    }
    return "";
}

inline std::string checkSourceFromTarget(const Mapper &mapper, u64 target) {
    Mapper::sample_mixed_fraction out{kUntouched, kUntouched, kUntouched};
    errno = kErrnoBefore;
    const bool ok = mapper.sourceFromTarget(out, target);
    const int error = errno;
    const auto fail = [&](const auto &...what) {
        return report("sourceFromTarget(", target, ") on ", describe(mapper), ": ", what...);
    };
    const u64 s = mapper.sourceCommonRate, t = mapper.targetCommonRate;
    if (mapper.rateOverflow) {
        if (ok || !samePosition(out, kUntouched, kUntouched, kUntouched) || error != kErrnoBefore) {
            return fail("must fail without writing or touching errno");
        }
        return "";
    }
    const zel_oracle::Position want = zel_oracle::position(target, s, t);
    if (ok != want.ok) return fail("returned ", ok);
    if (!ok) {
        if (error != EOVERFLOW) return fail("errno ", error, ", expected EOVERFLOW");
        if (out.whole != kUntouched || out.numerator != kUntouched) return fail("wrote a failed position");
        return "";
    }
    if (error != kErrnoBefore) return fail("errno changed on success");
    if (!samePosition(out, want.whole, want.numerator, t)) {
        return fail("gave ", out.whole, '+', out.numerator, '/', out.denominator, ", expected ", want.whole,
                    '+', want.numerator, '/', t);
    }
    return "";
}

enum class RunCall { StartAndCount, FirstAndLast, Internal };

// One run mapping: (a, b) is (start, count), (first, last) or (start, offset) according to `call`.
// Internal calls must keep start + offset within 64 bits, as the public callers guarantee.
inline std::string checkRun(const Mapper &mapper, RunCall call, u64 a, u64 b) {
    constexpr Mapper::sample_mixed_fraction kUntouchedPosition{kUntouched, kUntouched, kUntouched};
    Mapper::sample_mixed_fraction_range out{kUntouchedPosition, kUntouchedPosition};
    errno = kErrnoBefore;
    bool ok = false;
    bool rejected = false;  // must fail before any write
    u64 offset = 0;
    const char *name = "";
    switch (call) {
        case RunCall::StartAndCount:
            name = "sourceFromTargetStartAndCount(";
            ok = mapper.sourceFromTargetStartAndCount(out, a, b);
            rejected = b == 0 || static_cast<u128>(a) + b > ~0ULL || mapper.rateOverflow;
            offset = b - 1;
            break;
        case RunCall::FirstAndLast:
            name = "sourceFromTargetFirstAndLast(";
            ok = mapper.sourceFromTargetFirstAndLast(out, a, b);
            rejected = b < a || mapper.rateOverflow;
            offset = b - a;
            break;
        case RunCall::Internal:
            name = "_sourceFromTarget(";
            ok = mapper._sourceFromTarget(out, a, b);
            offset = b;
            break;
    }
    const int error = errno;
    const auto fail = [&](const auto &...what) {
        return report(name, a, ", ", b, ") on ", describe(mapper), ": ", what...);
    };
    if (rejected) {
        if (ok || !samePosition(out.first, kUntouched, kUntouched, kUntouched) ||
            !samePosition(out.last, kUntouched, kUntouched, kUntouched) || error != kErrnoBefore) {
            return fail("must fail before writing anything");
        }
        return "";
    }
    const u64 s = mapper.sourceCommonRate, t = mapper.targetCommonRate;
    const zel_oracle::RangeMapping want = zel_oracle::rangeMapping(a, offset, s, t);
    if (ok != want.ok) return fail("returned ", ok);
    if (!ok) {
        const int wantError = want.error == 0 ? kErrnoBefore : want.error;
        if (error != wantError) return fail("errno ", error, ", expected ", wantError);
        return "";
    }
    if (error != kErrnoBefore) return fail("errno changed on success");
    if (!samePosition(out.first, want.first.whole, want.first.numerator, t) ||
        !samePosition(out.last, want.last.whole, want.last.numerator, t)) {
        return fail("gave ", out.first.whole, '+', out.first.numerator, '/', out.first.denominator, " .. ",
                    out.last.whole, '+', out.last.numerator, '/', out.last.denominator, ", expected ",
                    want.first.whole, '+', want.first.numerator, " .. ", want.last.whole, '+',
                    want.last.numerator, " over ", t);
    }
    const std::string request = checkRequestRange(mapper, out);
    return request.empty() ? "" : fail(request);
}

}  // namespace zel_check

#endif
