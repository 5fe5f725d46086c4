/* Exact unsigned integer helpers for sample-rate arithmetic; callable from C (C99) and C++. */
#ifndef ZEL_MATH_H
#define ZEL_MATH_H

#include "zel/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Greatest common divisor (Euclid). gcd(a, 0) == a and gcd(0, 0) == 0. Cannot fail; errno is not touched. */
ZEL_API unsigned int math_gcd_int(unsigned int a, unsigned int b);
/* As math_gcd_int, for unsigned long. */
ZEL_API unsigned long math_gcd_long(unsigned long a, unsigned long b);
/* As math_gcd_int, for unsigned long long. */
ZEL_API unsigned long long math_gcd_llong(unsigned long long a, unsigned long long b);

/* Exact floor(value * multiplier / divisor) into *quotient and (value * multiplier) mod divisor into *remainder,
 * over the full 128-bit product. remainder may be NULL. Returns 0 on success and leaves errno alone.
 * Fails with -1 and errno, writing neither output, checked in this order:
 *   EFAULT    quotient is NULL;
 *   EDOM      divisor is 0;
 *   EOVERFLOW the quotient needs more than 64 bits, or divisor >= 2^63 while multiplier != 0. */
ZEL_API int safe_muldiv_llong_with_remainder(unsigned long long value, unsigned long long multiplier,
                                             unsigned long long divisor, unsigned long long *quotient,
                                             unsigned long long *remainder);

#ifdef __cplusplus
}
#endif

#endif
