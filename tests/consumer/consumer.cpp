// A client built against the installed library through find_package: exits 0 when the worked example maps.
#include <zel/math.h>
#include <zel/resampling_mapper.h>

int main() {
    mirelo::ResamplingMapper mapper(true);
    mapper.setSourceAndTargetSampleRate(3ULL, 4ULL);
    mirelo::ResamplingMapper::sample_mixed_fraction_range positions;
    mirelo::ResamplingMapper::sample_range request;
    if (!mapper.sourceFromTargetFirstAndLast(positions, 5, 10)) return 1;
    mapper.getSourceRequestRange(request, positions);
    return request.first == 3 && request.last == 8 && math_gcd_llong(44100, 48000) == 300 ? 0 : 1;
}
