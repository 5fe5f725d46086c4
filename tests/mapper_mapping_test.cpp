#include <gtest/gtest.h>

#include <cerrno>

#include "differential.h"
#include "mapper_test_util.h"
#include "random_operands.h"

namespace {

using mirelo::Mapper;
using zel_oracle::u128;
using Fraction = Mapper::sample_fraction;
using Position = Mapper::sample_mixed_fraction;
using Range = Mapper::sample_mixed_fraction_range;
using u64 = unsigned long long;
using zel_check::RunCall;

constexpr u64 kMaxU64 = ~0ULL;
constexpr int kErrnoBefore = 4242;
const Position kUntouchedPosition{0xAAAA, 0xBBBB, 0xCCCC};
const Range kUntouchedRange{{0xA1, 0xB1, 0xC1}, {0xA2, 0xB2, 0xC2}};

Mapper wholeRates(u64 source, u64 target, bool next = false) {
    Mapper m(next);
    m.setSourceAndTargetSampleRate(source, target);
    return m;
}

TEST(MapperMapping, WorkedExampleThreeToFour) {
    const Mapper m = wholeRates(3, 4);
    Position p = kUntouchedPosition;
    ASSERT_TRUE(m.sourceFromTarget(p, 10));
    EXPECT_EQ(p, (Position{7, 2, 4}));
    ASSERT_TRUE(m.sourceFromTarget(p, 0));
    EXPECT_EQ(p, (Position{0, 0, 4}));

    Range r = kUntouchedRange, r2 = kUntouchedRange;
    ASSERT_TRUE(m.sourceFromTargetStartAndCount(r, 5, 6));
    EXPECT_EQ(r, (Range{{3, 3, 4}, {7, 2, 4}}));
    ASSERT_TRUE(m.sourceFromTargetFirstAndLast(r2, 5, 10));
    EXPECT_EQ(r2, r);

    Mapper::sample_range request{};
    m.getSourceRequestRange(request, r);
    EXPECT_EQ(request.first, 3U);
    EXPECT_EQ(request.last, 7U);
    wholeRates(3, 4, true).getSourceRequestRange(request, r);
    EXPECT_EQ(request.first, 3U);
    EXPECT_EQ(request.last, 8U);

    ASSERT_TRUE(m.sourceFromTargetFirstAndLast(r, 7, 7));
    EXPECT_EQ(r, (Range{{5, 1, 4}, {5, 1, 4}}));
}

TEST(MapperMapping, EqualRatesCopyIndicesOverTheCommonRate) {
    Mapper m = wholeRates(5, 5);
    Position p;
    ASSERT_TRUE(m.sourceFromTarget(p, 7));
    EXPECT_EQ(p, (Position{7, 0, 5}));
    Range r;
    ASSERT_TRUE(m.sourceFromTargetStartAndCount(r, 10, 3));
    EXPECT_EQ(r, (Range{{10, 0, 5}, {12, 0, 5}}));
    ASSERT_TRUE(m.sourceFromTargetFirstAndLast(r, 0, kMaxU64)) << "a last sample of 2^64 - 1 is accepted";
    EXPECT_EQ(r.last, (Position{kMaxU64, 0, 5}));
    m.reduce();
    ASSERT_TRUE(m.sourceFromTarget(p, 7));
    EXPECT_EQ(p, (Position{7, 0, 1}));
}

TEST(MapperMapping, RejectedArgumentsAndOverflowedStateWriteNothing) {
    const Mapper ok = wholeRates(3, 4);
    Mapper overflowed = wholeRates(1ULL << 63, 1);
    ASSERT_TRUE(overflowed.rateOverflow);
    Mapper flaggedByHand = wholeRates(3, 4);  // the flag alone must stop the public queries
    flaggedByHand.rateOverflow = true;

    const struct {
        const char *what;
        const Mapper *m;
        u64 a, b;
        bool firstAndLast;
    } rows[] = {
        {"count 0", &ok, 5, 0, false},
        {"exclusive end past 2^64 - 1", &ok, kMaxU64, 1, false},
        {"exclusive end wraps", &ok, 10, kMaxU64 - 5, false},
        {"last before first", &ok, 10, 5, true},
        {"overflowed, start and count", &overflowed, 0, 1, false},
        {"overflowed, first and last", &overflowed, 0, 0, true},
        {"flag set by hand", &flaggedByHand, 1, 2, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Range r = kUntouchedRange;
        errno = kErrnoBefore;
        const bool result = row.firstAndLast ? row.m->sourceFromTargetFirstAndLast(r, row.a, row.b)
                                             : row.m->sourceFromTargetStartAndCount(r, row.a, row.b);
        EXPECT_FALSE(result);
        EXPECT_EQ(r, kUntouchedRange);
        EXPECT_EQ(errno, kErrnoBefore);
    }
    for (const Mapper *m : {&overflowed, &flaggedByHand}) {
        Position p = kUntouchedPosition;
        EXPECT_FALSE(m->sourceFromTarget(p, 3));
        EXPECT_EQ(p, kUntouchedPosition);
    }
}

TEST(MapperMapping, PositionsAtTheTopOfTheIndexRange) {
    Range r;
    ASSERT_TRUE(wholeRates(3, 4).sourceFromTargetStartAndCount(r, kMaxU64 - 1, 1));
    const Position top{3 * (1ULL << 62) - 2, 2, 4};
    EXPECT_EQ(r, (Range{top, top}));

    errno = kErrnoBefore;
    EXPECT_FALSE(wholeRates(4, 3).sourceFromTargetStartAndCount(r, kMaxU64 - 1, 1));
    EXPECT_EQ(errno, EOVERFLOW) << "the mapped start does not fit";

    // Start {1, 1, 3} plus offset {2^64 - 2, 2, 3}: the wholes fit, the carry from the numerators does not.
    errno = kErrnoBefore;
    EXPECT_FALSE(wholeRates(4, 3).sourceFromTargetStartAndCount(r, 1, 3 * (1ULL << 62)));
    EXPECT_EQ(errno, kErrnoBefore) << "a failed sum of the parts does not touch errno";

    Position p;
    EXPECT_TRUE(wholeRates(4, 3).sourceFromTarget(p, 1ULL << 63));
    errno = kErrnoBefore;
    p = kUntouchedPosition;
    EXPECT_FALSE(wholeRates(4, 3).sourceFromTarget(p, kMaxU64));
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_EQ(p.whole, kUntouchedPosition.whole);
    EXPECT_EQ(p.numerator, kUntouchedPosition.numerator);
}

TEST(MapperMapping, RequestRangeAddsTheNextSampleOnlyAfterAFraction) {
    const Mapper next = wholeRates(3, 4, true);
    Mapper::sample_range out{};
    next.getSourceRequestRange(out, Range{{2, 3, 4}, {kMaxU64, 1, 3}});
    EXPECT_EQ(out.first, 2U);
    EXPECT_EQ(out.last, kMaxU64) << "saturates instead of wrapping";
    next.getSourceRequestRange(out, Range{{2, 3, 4}, {9, 0, 4}});
    EXPECT_EQ(out.last, 9U) << "a whole last position needs no next sample";
    next.getSourceRequestRange(out, Range{{2, 3, 4}, {9, 1, 4}});
    EXPECT_EQ(out.last, 10U);
}

TEST(MapperMapping, MatchesWideOracleOnRandomRatesAndRuns) {
    const u64 seed = zel_test::testSeed();
    SCOPED_TRACE(testing::Message() << "seed " << seed << " (set ZEL_TEST_SEED to replay another)");
    zel_test::OperandSource src(seed);
    for (int i = 0; i < 300000; ++i) {
        const Mapper m = src.mapper();
        // Runs end anywhere, or with the last sample just inside or just outside the mappable range.
        const u64 last = src.below(3) == 0 ? src.nearLastMappable(m) : src.operand();
        const u64 first = last - std::min(last, src.below(2) == 0 ? src.operand() : src.below(2000));
        ASSERT_EQ(zel_check::checkSourceFromTarget(m, last), "") << "case " << i;
        ASSERT_EQ(zel_check::checkRun(m, RunCall::FirstAndLast, first, last), "") << "case " << i;
        ASSERT_EQ(zel_check::checkRun(m, RunCall::StartAndCount, first, last - first + 1), "")
            << "case " << i;
        ASSERT_EQ(zel_check::checkRun(m, RunCall::FirstAndLast, last, first), "") << "case " << i;
    }
}

TEST(MapperMapping, ReduceChangesOnlyTheDenominators) {
    zel_test::OperandSource src(zel_test::testSeed() ^ 5);
    for (int i = 0; i < 100000; ++i) {
        const Mapper m = src.mapper();
        Mapper reduced = m;
        reduced.reduce();
        const u64 target = src.below(2) == 0 ? src.nearLastMappable(m) : src.operand();
        Position a = kUntouchedPosition, b = kUntouchedPosition;
        const bool okA = m.sourceFromTarget(a, target), okB = reduced.sourceFromTarget(b, target);
        ASSERT_EQ(okA, okB) << m << ", target " << target;
        if (!okA) continue;
        ASSERT_EQ(a.whole, b.whole);
        ASSERT_EQ(b.denominator, reduced.targetCommonRate);
        ASSERT_EQ(static_cast<u128>(a.numerator) * b.denominator,
                  static_cast<u128>(b.numerator) * a.denominator);
    }
}

}  // namespace
