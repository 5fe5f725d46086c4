// The contract as a reader learns it, and what the oracle cannot state: worked examples, the order of the
// failure codes, the exception messages, and the edges of configuration.
#include <gtest/gtest.h>

#include "check.h"

namespace {

using zel_check::Mapper;
using zel_check::Position;
using zel_check::Range;
using zel_check::same;
using zel_check::u64;
using Fraction = Mapper::sample_fraction;

constexpr u64 kMaxU64 = ~0ULL;

TEST(Contract, WorkedExampleThreeToFour) {
    Mapper m;
    EXPECT_TRUE(same(m, zel_check::configured(false, false, 1, 1, 1, 1))) << "starts as the identity mapping";
    m.setSourceAndTargetSampleRate(3ULL, 4ULL);
    Position p;
    ASSERT_TRUE(m.sourceFromTarget(p, 10));
    EXPECT_TRUE(same(p, {7, 2, 4})) << "target 10 falls at source 7 + 2/4";

    Range run, sameRun;
    ASSERT_TRUE(m.sourceFromTargetStartAndCount(run, 5, 6));
    ASSERT_TRUE(m.sourceFromTargetFirstAndLast(sameRun, 5, 10));
    EXPECT_TRUE(same(run.first, {3, 3, 4}) && same(run.last, {7, 2, 4}) && same(sameRun.last, run.last));

    Mapper::sample_range request;
    m.getSourceRequestRange(request, run);
    EXPECT_EQ(request.last, 7U);
    m.includeNextSample = true;  // an interpolator also needs the sample after 7 + 2/4
    m.getSourceRequestRange(request, run);
    EXPECT_EQ(request.first, 3U);
    EXPECT_EQ(request.last, 8U);
    m.getSourceRequestRange(request, Range{{0, 0, 4}, {kMaxU64, 1, 4}});
    EXPECT_EQ(request.last, kMaxU64) << "saturates instead of wrapping";
}

TEST(Contract, MulDivFailureCodesComeInTheDocumentedOrder) {
    const struct {
        const char *rule;
        u64 multiplier, divisor;
        bool nullQuotient;
        int status, error;
    } rows[] = {
        {"a null quotient is reported before a zero divisor", 1, 0, true, -1, EFAULT},
        {"a zero divisor fails even when the multiplier is 0", 0, 0, false, -1, EDOM},
        {"the zero-multiplier shortcut comes before the divisor bound", 0, 1ULL << 63, false, 0, 0},
        {"divisors of 2^63 and more fail whatever the value", 1, 1ULL << 63, false, -1, EOVERFLOW},
        {"divisor 1 still checks the quotient", 1ULL << 40, 1, false, -1, EOVERFLOW},
    };
    for (const auto &row : rows) {
        u64 quotient = 7, remainder = 7;
        errno = 0;
        const u64 value = row.error == EOVERFLOW ? 1ULL << 30 : 5;
        EXPECT_EQ(safe_muldiv_llong_with_remainder(value, row.multiplier, row.divisor,
                                                   row.nullQuotient ? nullptr : &quotient, &remainder),
                  row.status)
            << row.rule;
        EXPECT_EQ(errno, row.error) << row.rule;
        EXPECT_EQ(remainder, row.status == 0 ? 0U : 7U)
            << row.rule << ": outputs are written only on success";
    }
}

TEST(Contract, SettersThrowFixedMessagesAndChangeNothing) {
    const struct {
        bool whole;
        u64 sn, sd, tn, td;
        const char *message;
    } rows[] = {
        {true, 0, 1, 0, 1, "sourceRate is 0"},
        {true, 5, 1, 0, 1, "targetRate is 0"},
        {false, 0, 0, 0, 0, "sourceRate numerator is 0"},
        {false, 1, 0, 0, 1, "sourceRate denominator is 0"},
        {false, 1, 1, 0, 0, "targetRate numerator is 0"},
        {false, 1, 1, 1, 0, "targetRate denominator is 0"},
    };
    for (const auto &row : rows) {
        Mapper m(true);
        m.setSourceAndTargetSampleRate(Fraction{30000, 1001}, Fraction{48000, 1});
        m.reduce();
        const Mapper before = m;
        try {
            if (row.whole) m.setSourceAndTargetSampleRate(row.sn, row.tn);
            if (!row.whole)
                m.setSourceAndTargetSampleRate(Fraction{row.sn, row.sd}, Fraction{row.tn, row.td});
            ADD_FAILURE() << "no exception for " << row.message;
        } catch (const std::domain_error &e) {
            EXPECT_STREQ(e.what(), row.message);
        }
        EXPECT_TRUE(same(m, before)) << row.message;
    }
}

// The bound on the terms applies to their bitwise OR, not to each term alone: the README's example.
TEST(Contract, RateBoundsAreOnTheBitwiseOrOfTheTerms) {
    Mapper m;
    m.setSourceAndTargetSampleRate(0x7FFFFFFFFFFFFFFEULL, 1ULL);
    EXPECT_TRUE(m.rateOverflow) << "neither rate exceeds 2^63 - 2, but their OR does";
    m.setSourceAndTargetSampleRate(0x7FFFFFFFFFFFFFFEULL, 2ULL);
    EXPECT_FALSE(m.rateOverflow);
}

TEST(Contract, ConfigurationEdges) {
    Mapper m;
    m.setSourceAndTargetSampleRate(Fraction{5, 2}, Fraction{3, 1});
    m.setSourceAndTargetSampleRate(m.targetRate, m.sourceRate);
    EXPECT_TRUE(same(m, zel_check::configured(false, false, 3, 1, 5, 2)))
        << "arguments may be the mapper's own fields";

    m.sourceCommonRate = m.targetCommonRate = 0;
    m.reduce();  // gcd(0, 0) is 0: nothing to divide by
    EXPECT_EQ(m.sourceCommonRate + m.targetCommonRate, 0U);

    const struct {
        Fraction in, out;
    } rows[] = {{{6, 4}, {3, 2}}, {{0, 5}, {0, 5}}, {{5, 0}, {5, 0}}, {{kMaxU64, kMaxU64}, {1, 1}}};
    for (const auto &row : rows) {
        Fraction f = row.in;
        f.reduce();
        EXPECT_TRUE(f.numerator == row.out.numerator && f.denominator == row.out.denominator)
            << row.in.numerator;
    }
}

}  // namespace
