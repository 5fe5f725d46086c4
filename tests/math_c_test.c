/* Compiled as C99: the public arithmetic header and the version header must work from plain C. */
#include <errno.h>
#include <stddef.h>

#include "zel/math.h"
#include "zel/version.h"

#if !defined(ZEL_VERSION_MAJOR) || ZEL_VERSION < 100
#error "zel/version.h must give the version as numbers usable in #if"
#endif

int main(void) {
    unsigned long long q = 0, r = 0;
    int failures = safe_muldiv_llong_with_remainder(10, 3, 7, &q, &r) != 0 || q != 4 || r != 2;
    errno = 0;
    failures += safe_muldiv_llong_with_remainder(1, 1, 0, &q, NULL) != -1 || errno != EDOM;
    failures += math_gcd_int(12u, 18u) != 6u || math_gcd_long(12ul, 18ul) != 6ul ||
                math_gcd_llong(0ull, 0ull) != 0ull;
    return failures;
}
