#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "differential.h"
#include "random_operands.h"
#include "zel/math.h"

namespace {

using u64 = unsigned long long;
using zel_oracle::u128;
using zel_test::OperandSource;

constexpr u64 kUntouched = zel_check::kUntouched;
constexpr int kErrnoBefore = zel_check::kErrnoBefore;

struct Observed {
    int status;
    int error;
    u64 quotient;
    u64 remainder;
};

// Calls the library with sentinel outputs and a sentinel errno, so that stray writes show up.
Observed call(u64 value, u64 multiplier, u64 divisor, bool withRemainder = true) {
    Observed o{0, 0, kUntouched, kUntouched};
    errno = kErrnoBefore;
    o.status = safe_muldiv_llong_with_remainder(value, multiplier, divisor, &o.quotient,
                                                withRemainder ? &o.remainder : nullptr);
    o.error = errno;
    return o;
}

TEST(MulDiv, FailureCodesFollowTheDocumentedOrder) {
    u64 r = kUntouched;
    errno = 0;
    EXPECT_EQ(safe_muldiv_llong_with_remainder(1, 1, 0, nullptr, &r), -1);
    EXPECT_EQ(errno, EFAULT) << "a null quotient is reported before a zero divisor";
    EXPECT_EQ(r, kUntouched);

    Observed o = call(5, 0, 0);
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.error, EDOM) << "a zero divisor fails even when the multiplier is 0";

    o = call(0, 1, 1ULL << 63);
    EXPECT_EQ(o.error, EOVERFLOW) << "divisors of 2^63 or more fail whatever the value";
    o = call(7, 0, 1ULL << 63);
    EXPECT_EQ(o.status, 0) << "the zero-multiplier shortcut comes before the wide-divisor bound";
    EXPECT_EQ(o.quotient, 0U);
    EXPECT_EQ(o.remainder, 0U);
}

TEST(MulDiv, NullRemainderIsAcceptedOnEverySuccessfulPath) {
    struct Row {
        const char *path;
        u64 value, multiplier, divisor, quotient;
    };
    const Row rows[] = {
        {"identity shortcut", 99, 1, 1, 99},
        {"zero multiplier", 99, 0, 5, 0},
        {"divisor 1", 5, 7, 1, 35},
        {"narrow divisor", 10, 3, 7, 4},
        {"wide divisor", ~0ULL, (1ULL << 63) - 2, (1ULL << 63) - 1, ~0ULL - 3},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        const Observed o = call(row.value, row.multiplier, row.divisor, /*withRemainder=*/false);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.quotient, row.quotient);
        EXPECT_EQ(o.error, kErrnoBefore);
    }
}

TEST(MulDiv, WidestAcceptedDivisorAndOverflowingQuotients) {
    Observed o = call(~0ULL, (1ULL << 63) - 2, (1ULL << 63) - 1);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.quotient, ~0ULL - 3);
    EXPECT_EQ(o.remainder, (1ULL << 63) - 2);

    o = call(~0ULL, ~0ULL, (1ULL << 62) + 1);
    EXPECT_EQ(o.error, EOVERFLOW);
    EXPECT_EQ(o.quotient, kUntouched);

    o = call(1ULL << 40, 1ULL << 30, 1);
    EXPECT_EQ(o.error, EOVERFLOW) << "divisor 1 still checks the product's upper half";
}

TEST(MulDiv, MatchesWideOracleOverAMillionInputs) {
    const u64 seed = zel_test::testSeed();
    SCOPED_TRACE(testing::Message() << "seed " << seed << " (set ZEL_TEST_SEED to replay another)");
    OperandSource src(seed);
    for (int i = 0; i < (1 << 20); ++i) {
        u64 value = 0, multiplier = 0, divisor = 0;
        if (src.below(4) == 0) {
            src.quotientNearTop(value, multiplier, divisor);
        } else {
            value = src.operand();
            multiplier = src.operand();
            divisor = src.operand();
        }
        const bool withRemainder = src.below(8) != 0;
        const bool nullQuotient = src.below(64) == 0;
        ASSERT_EQ(zel_check::checkMulDiv(value, multiplier, divisor, withRemainder, nullQuotient), "")
            << "case " << i;
    }
}

// Every divisor width from 1 to 64 bits, against quotients that just fit and just do not.
TEST(MulDiv, EveryDivisorWidthAtTheQuotientBoundary) {
    OperandSource src(zel_test::testSeed() ^ 2);
    for (unsigned width = 1; width <= 64; ++width) {
        SCOPED_TRACE(testing::Message() << "divisor width " << width);
        for (int i = 0; i < 2000; ++i) {
            const u64 divisor = src.ofWidth(width);
            const u64 multiplier = src.operand() | 1;
            const u128 top = static_cast<u128>(divisor) * zel_oracle::kTwo64 / multiplier;
            const u128 edge = top + src.below(3) - 1;
            const u64 value = edge < zel_oracle::kTwo64 ? static_cast<u64>(edge) : src.operand();
            ASSERT_EQ(zel_check::checkMulDiv(value, multiplier, divisor), "");
        }
    }
}

TEST(MulDivExhaustive, AllOperandsBelow256) {
    for (u64 value = 0; value < 256; ++value) {
        for (u64 multiplier = 0; multiplier < 256; ++multiplier) {
            for (u64 divisor = 0; divisor < 256; ++divisor) {
                const std::string mismatch =
                    zel_check::checkMulDiv(value, multiplier, divisor, (divisor & 1) != 0);
                if (!mismatch.empty()) FAIL() << mismatch;
            }
        }
    }
}

// The values where carries, limb boundaries and the regime switches happen, and their neighbours.
std::vector<u64> boundaryValues() {
    std::vector<u64> values;
    for (const u64 centre : {0ULL, 1ULL << 31, 1ULL << 32, 1ULL << 62, 1ULL << 63}) {
        for (const u64 delta : {0ULL, 1ULL, 2ULL}) {
            values.push_back(centre + delta);
            values.push_back(centre - delta);
        }
    }
    for (const u64 v : {3ULL, 0xFFFFFFFF00000000ULL, 0x00000000FFFFFFFFULL * 3, 44100ULL, 48000ULL}) {
        values.push_back(v);
    }
    return values;
}

TEST(MulDivExhaustive, AllTriplesOfBoundaryValues) {
    const std::vector<u64> values = boundaryValues();
    for (const u64 value : values) {
        for (const u64 multiplier : values) {
            for (const u64 divisor : values) {
                for (const bool withRemainder : {true, false}) {
                    const std::string mismatch =
                        zel_check::checkMulDiv(value, multiplier, divisor, withRemainder);
                    if (!mismatch.empty()) FAIL() << mismatch;
                }
            }
        }
    }
}

}  // namespace
