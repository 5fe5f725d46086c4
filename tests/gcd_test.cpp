#include <gtest/gtest.h>

#include <cerrno>
#include <numeric>

#include "random_operands.h"
#include "zel/math.h"

namespace {

using u64 = unsigned long long;

TEST(Gcd, ZeroOperandsAndOperandOrder) {
    EXPECT_EQ(math_gcd_llong(9, 0), 9U);
    EXPECT_EQ(math_gcd_llong(0, 9), 9U);
    EXPECT_EQ(math_gcd_llong(0, 0), 0U);
    EXPECT_EQ(math_gcd_int(12, 18), 6U);
    EXPECT_EQ(math_gcd_int(18, 12), 6U);
    EXPECT_EQ(math_gcd_long(0, 0), 0UL);
}

TEST(Gcd, FullUnsignedRangeOfEachWidth) {
    EXPECT_EQ(math_gcd_int(0xFFFFFFFFU, 5), 5U);
    EXPECT_EQ(math_gcd_int(0xFFFFFFFFU, 0xFFFFFFFFU), 0xFFFFFFFFU);
    EXPECT_EQ(math_gcd_long(~0UL, ~0UL), ~0UL);
    EXPECT_EQ(math_gcd_llong(~0ULL, ~0ULL), ~0ULL);
    EXPECT_EQ(math_gcd_llong(1ULL << 63, 3ULL << 62), 1ULL << 62);
}

TEST(Gcd, LeavesErrnoAlone) {
    errno = 77;
    (void)math_gcd_llong(0, 0);
    (void)math_gcd_int(6, 4);
    EXPECT_EQ(errno, 77);
}

TEST(Gcd, AgreesWithStdGcdOnAllWidths) {
    zel_test::OperandSource src(zel_test::testSeed() ^ 3);
    for (int i = 0; i < 200000; ++i) {
        u64 a = src.operand(), b = src.operand();
        if (src.below(4) == 0) {  // plenty of pairs with a large common factor
            const u64 f = src.ofWidth(static_cast<unsigned>(src.below(20)));
            a = src.ofWidth(static_cast<unsigned>(src.below(44))) * f;
            b = src.ofWidth(static_cast<unsigned>(src.below(44))) * f;
        }
        ASSERT_EQ(math_gcd_llong(a, b), std::gcd(a, b)) << a << ", " << b;
        ASSERT_EQ(math_gcd_long(a, b),
                  std::gcd(static_cast<unsigned long>(a), static_cast<unsigned long>(b)));
        const auto a32 = static_cast<unsigned>(a), b32 = static_cast<unsigned>(b >> 32);
        ASSERT_EQ(math_gcd_int(a32, b32), std::gcd(a32, b32)) << a32 << ", " << b32;
    }
}

}  // namespace
