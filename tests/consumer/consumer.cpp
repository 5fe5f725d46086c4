// A client built against the installed library through find_package.
#include <zel/math.h>
#include <zel/resampling_mapper.h>
#include <zel/version.h>

#include <iostream>

static_assert(ZEL_VERSION_MAJOR >= 0 && ZEL_VERSION >= 100, "zel/version.h gives the version as numbers");

int main() {
    unsigned long long q = 0, r = 0;
    if (safe_muldiv_llong_with_remainder(48000, 44100, 48000, &q, &r) != 0) return 1;
    mirelo::ResamplingMapper mapper(true);
    mapper.setSourceAndTargetSampleRate(3ULL, 4ULL);
    mirelo::ResamplingMapper::sample_mixed_fraction_range positions;
    mirelo::ResamplingMapper::sample_range request;
    if (!mapper.sourceFromTargetFirstAndLast(positions, 5, 10)) return 1;
    mapper.getSourceRequestRange(request, positions);
    if (request.first != 3 || request.last != 8) return 1;
    std::cout << q << ' ' << r << ' ' << math_gcd_llong(44100, 48000) << '\n';
    return 0;
}
