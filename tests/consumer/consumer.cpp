// A client built against the installed library through find_package.
#include <zel/math.h>

#include <iostream>

int main() {
    unsigned long long q = 0, r = 0;
    if (safe_muldiv_llong_with_remainder(48000, 44100, 48000, &q, &r) != 0) return 1;
    std::cout << q << ' ' << r << ' ' << math_gcd_llong(44100, 48000) << '\n';
    return 0;
}
