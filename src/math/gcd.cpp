#include "zel/math.h"

namespace {

// One template keeps the three widths identical; when a < b the first step swaps them (a mod b == a).
template <typename U>
U gcd(U a, U b) {
    while (b != 0) {
        U r = a % b;
        a = b;
        b = r;
    }
    return a;
}

}  // namespace

extern "C" {

unsigned int math_gcd_int(unsigned int a, unsigned int b) { return gcd(a, b); }

unsigned long math_gcd_long(unsigned long a, unsigned long b) { return gcd(a, b); }

unsigned long long math_gcd_llong(unsigned long long a, unsigned long long b) { return gcd(a, b); }
}
