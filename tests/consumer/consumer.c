/* A client built against the installed library through pkg-config. */
#include <stdio.h>
#include <zel/math.h>

int main(void) {
    unsigned long long q = 0, r = 0;
    if (safe_muldiv_llong_with_remainder(48000, 44100, 48000, &q, &r) != 0) return 1;
    printf("%llu %llu %llu\n", q, r, math_gcd_llong(44100, 48000));
    return 0;
}
