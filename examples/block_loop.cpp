// The loop a resampler runs: map each output block to exact source positions and fetch the samples it needs.
#include <zel/resampling_mapper.h>

#include <cstdio>

int main() {
    mirelo::ResamplingMapper mapper(
        /*includeNextSample=*/true);  // linear interpolation needs the next sample
    mapper.setSourceAndTargetSampleRate(44100ULL, 48000ULL);
    mapper.reduce();  // common rates 147:160, so fractions are over 160

    const unsigned long long block = 512;
    for (unsigned long long first = 0; first < 4 * block; first += block) {
        mirelo::ResamplingMapper::sample_mixed_fraction_range positions;
        mirelo::ResamplingMapper::sample_range request;
        if (!mapper.sourceFromTargetStartAndCount(positions, first, block)) return 1;  // beyond 64 bits
        mapper.getSourceRequestRange(request, positions);
        std::printf("target %4llu..%4llu  source %4llu+%3llu/%llu .. %4llu+%3llu/%llu  fetch %4llu..%4llu\n",
                    first, first + block - 1, positions.first.whole, positions.first.numerator,
                    positions.first.denominator, positions.last.whole, positions.last.numerator,
                    positions.last.denominator, request.first, request.last);
    }
    return 0;
}
