#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>
#include <string>

#include "differential.h"
#include "mapper_test_util.h"
#include "random_operands.h"

namespace {

using mirelo::Mapper;
using zel_oracle::u128;
using Fraction = Mapper::sample_fraction;
using u64 = unsigned long long;

constexpr u64 kMaxTerm = 0x7FFFFFFFFFFFFFFEULL;
constexpr u64 kMaxI64 = 0x7FFFFFFFFFFFFFFFULL;
constexpr u64 kMaxU64 = ~0ULL;

Mapper overflowedMapper(bool next) {
    Mapper m(next);
    m.rateOverflow = true;
    return m;
}

// A mapper whose every field differs from the defaults, so that any write by a failed call shows.
Mapper distinctiveMapper() {
    Mapper m(true);
    m.setSourceAndTargetSampleRate(Fraction{30000, 1001}, Fraction{48000, 1});
    m.reduce();
    return m;
}

TEST(MapperConstruction, StartsAsTheIdentityMapping) {
    const Mapper m;
    EXPECT_EQ(m.sourceCommonRate, 1U);
    EXPECT_EQ(m.targetCommonRate, 1U);
    EXPECT_EQ(m.sourceRate, (Fraction{1, 1}));
    EXPECT_EQ(m.targetRate, (Fraction{1, 1}));
    EXPECT_FALSE(m.includeNextSample);
    EXPECT_FALSE(m.rateOverflow);
    EXPECT_TRUE(Mapper(true).includeNextSample);
}

TEST(MapperConfiguration, WholeNumberRatesAreStoredUnreduced) {
    Mapper m;
    m.setSourceAndTargetSampleRate(6ULL, 4ULL);
    EXPECT_EQ(m.sourceCommonRate, 6U);
    EXPECT_EQ(m.targetCommonRate, 4U);
    EXPECT_EQ(m.sourceRate, (Fraction{6, 1}));
    EXPECT_EQ(m.targetRate, (Fraction{4, 1}));
    m.reduce();
    EXPECT_EQ(m.sourceCommonRate, 3U);
    EXPECT_EQ(m.targetCommonRate, 2U);
    EXPECT_EQ(m.sourceRate, (Fraction{6, 1})) << "reduce touches only the common rates";
    EXPECT_FALSE(m.rateOverflow);
}

// checkConfiguration compares the exception message word for word (the oracle holds the six texts) and every
// field of the mapper after the throw.
TEST(MapperConfiguration, ZeroRatesThrowAndLeaveTheMapperUnchanged) {
    const struct {
        bool whole;
        u64 sn, sd, tn, td;
    } rows[] = {
        {false, 0, 1, 1, 1}, {false, 0, 0, 0, 0}, {false, 1, 0, 0, 1}, {false, 1, 1, 0, 0},
        {false, 1, 1, 1, 0}, {true, 0, 1, 0, 1},  {true, 0, 1, 5, 1},  {true, 5, 1, 0, 1},
    };
    for (const auto &row : rows) {
        for (Mapper m : {distinctiveMapper(), overflowedMapper(false)}) {
            EXPECT_EQ(zel_check::checkConfiguration(m, row.whole, row.sn, row.sd, row.tn, row.td), "");
        }
    }
    Mapper m;
    try {
        m.setSourceAndTargetSampleRate(Fraction{1, 1}, Fraction{1, 0});
        ADD_FAILURE() << "no exception";
    } catch (const std::domain_error &e) {
        EXPECT_STREQ(e.what(), "targetRate denominator is 0");
    }
}

TEST(MapperConfiguration, WholeNumberOverflowBoundIsOnTheBitwiseOr) {
    const struct {
        u64 source, target;
        bool overflows;
    } rows[] = {
        {kMaxTerm, 1, true},  // OR is 0x7FFF...FF although neither rate exceeds the bound
        {kMaxTerm, 2, false}, {2, kMaxTerm, false},  {kMaxTerm, kMaxTerm, false},
        {kMaxI64, 2, true},   {1ULL << 63, 1, true}, {kMaxU64, kMaxU64, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.source << " -> " << row.target);
        for (bool next : {false, true}) {
            Mapper m = distinctiveMapper();
            m.includeNextSample = next;
            m.setSourceAndTargetSampleRate(row.source, row.target);
            Mapper want(next);
            if (row.overflows) {
                want.rateOverflow = true;
            } else {
                want.setSourceAndTargetSampleRate(row.source, row.target);
                EXPECT_EQ(m.sourceCommonRate, row.source);
                EXPECT_EQ(m.targetCommonRate, row.target);
            }
            EXPECT_EQ(m, want) << m;
        }
    }
}

TEST(MapperConfiguration, FractionalRates) {
    const struct {
        const char *what;
        Fraction source, target;
        bool overflows;
        u64 sourceCommon, targetCommon;
        Fraction storedSource, storedTarget;
    } rows[] = {
        {"plain cross products", {5, 2}, {3, 1}, false, 5, 6, {5, 2}, {3, 1}},
        {"small products are not reduced", {4, 2}, {3, 1}, false, 4, 6, {4, 2}, {3, 1}},
        {"a large product reduces the source",
         {1ULL << 62, 4},
         {3, 4},
         false,
         1ULL << 62,
         3,
         {1ULL << 60, 1},
         {3, 4}},
        {"a large product reduces the target",
         {3, 4},
         {1ULL << 62, 4},
         false,
         3,
         1ULL << 62,
         {3, 4},
         {1ULL << 60, 1}},
        {"rejected by the signed bound, fractions kept",
         {1ULL << 62, 4},
         {1, 2},
         true,
         1,
         1,
         {1ULL << 62, 4},
         {1, 2}},
        {"term above the bound", {kMaxTerm, 1}, {1, 1}, true, 1, 1, {1, 1}, {1, 1}},
        {"largest accepted product",
         {kMaxI64 / 3 - 1, 1},
         {1, 3},
         false,
         (kMaxI64 / 3 - 1) * 3,
         1,
         {kMaxI64 / 3 - 1, 1},
         {1, 3}},
        {"smallest rejected product", {kMaxI64 / 3, 1}, {1, 3}, true, 1, 1, {kMaxI64 / 3, 1}, {1, 3}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Mapper m = distinctiveMapper();
        m.setSourceAndTargetSampleRate(row.source, row.target);
        EXPECT_EQ(m.rateOverflow, row.overflows);
        EXPECT_EQ(m.sourceCommonRate, row.sourceCommon);
        EXPECT_EQ(m.targetCommonRate, row.targetCommon);
        EXPECT_EQ(m.sourceRate, row.storedSource);
        EXPECT_EQ(m.targetRate, row.storedTarget);
        EXPECT_TRUE(m.includeNextSample);
    }
}

TEST(MapperConfiguration, ArgumentsMayBeTheMappersOwnFields) {
    Mapper m;
    m.setSourceAndTargetSampleRate(Fraction{5, 2}, Fraction{3, 1});
    m.setSourceAndTargetSampleRate(m.targetRate, m.sourceRate);
    EXPECT_EQ(m.sourceRate, (Fraction{3, 1}));
    EXPECT_EQ(m.targetRate, (Fraction{5, 2}));
    EXPECT_EQ(m.sourceCommonRate, 6U);
    EXPECT_EQ(m.targetCommonRate, 5U);
}

TEST(MapperConfiguration, ReduceLeavesHandZeroedCommonRatesAlone) {
    Mapper m;
    m.sourceCommonRate = 0;
    m.targetCommonRate = 0;
    m.reduce();  // gcd(0, 0) is 0: nothing to divide by
    EXPECT_EQ(m.sourceCommonRate, 0U);
    EXPECT_EQ(m.targetCommonRate, 0U);
}

TEST(SampleFraction, ReduceBringsToLowestTermsUnlessAPartIsZero) {
    const struct {
        Fraction in, out;
    } rows[] = {
        {{6, 4}, {3, 2}}, {{0, 5}, {0, 5}}, {{5, 0}, {5, 0}}, {{7, 1}, {7, 1}}, {{kMaxU64, kMaxU64}, {1, 1}}};
    for (const auto &row : rows) {
        Fraction f = row.in;
        f.reduce();
        EXPECT_EQ(f, row.out) << row.in;
    }
}

// A random rate term: any width, boundary values, multiples of a shared factor so reductions happen, and
// now and then a zero.
u64 rateTerm(zel_test::OperandSource &src, u64 factor) {
    if (src.below(64) == 0) return 0;
    u64 v = src.operand();
    if (src.below(3) == 0) v = src.ofWidth(static_cast<unsigned>(src.below(40))) * factor;
    return v == 0 ? 1 : v;
}

TEST(MapperConfiguration, RandomRatesMatchTheWideModel) {
    const u64 seed = zel_test::testSeed();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    zel_test::OperandSource src(seed);
    int accepted = 0, overflowed = 0;
    Mapper m = distinctiveMapper();
    for (int i = 0; i < 300000; ++i) {
        const u64 factor = src.ofWidth(static_cast<unsigned>(src.below(30)));
        const u64 sn = rateTerm(src, factor), sd = rateTerm(src, factor);
        const u64 tn = rateTerm(src, factor), td = rateTerm(src, factor);
        m.includeNextSample = src.below(2) == 0;
        ASSERT_EQ(zel_check::checkConfiguration(m, src.below(4) == 0, sn, sd, tn, td), "") << "case " << i;
        if (m.rateOverflow) {
            ++overflowed;
            continue;
        }
        ++accepted;
        ASSERT_GE(m.sourceCommonRate, 1U);
        ASSERT_LE(m.sourceCommonRate, kMaxTerm);
        ASSERT_GE(m.targetCommonRate, 1U);
        ASSERT_LE(m.targetCommonRate, kMaxTerm);
        if (src.below(2) == 0) {
            const Mapper before = m;
            ASSERT_EQ(zel_check::checkReduce(m), "");
            ASSERT_EQ(std::gcd(m.sourceCommonRate, m.targetCommonRate), 1U);
            ASSERT_EQ(static_cast<u128>(m.sourceCommonRate) * before.targetCommonRate,
                      static_cast<u128>(before.sourceCommonRate) * m.targetCommonRate);
        }
    }
    EXPECT_GT(accepted, 30000);
    EXPECT_GT(overflowed, 30000);
}

}  // namespace
