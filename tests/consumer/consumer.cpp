// A client built against the installed libraries through find_package: exits 0 when the worked example maps
// and the resampler gives one second of 44100 Hz exactly 48000 frames.
#include <zel/math.h>
#include <zel/resampling_mapper.h>

#include <vector>
#include <zel/resampler.hpp>

int main() {
    mirelo::ResamplingMapper mapper(true);
    mapper.setSourceAndTargetSampleRate(3ULL, 4ULL);
    mirelo::ResamplingMapper::sample_mixed_fraction_range positions;
    mirelo::ResamplingMapper::sample_range request;
    if (!mapper.sourceFromTargetFirstAndLast(positions, 5, 10)) return 1;
    mapper.getSourceRequestRange(request, positions);

    zel::Resampler resampler(44100, 1, 48000, 1, 1);
    std::vector<float> in(44100, 0.25f), out(48000 + 1);
    const auto counts = resampler.process(in.data(), in.size(), out.data(), out.size());
    size_t total = counts.outputWritten, more = 0;
    while ((more = resampler.drain(out.data() + total, out.size() - total)) > 0) total += more;
    return request.first == 3 && request.last == 8 && math_gcd_llong(44100, 48000) == 300 &&
                   counts.inputUsed == in.size() && total == resampler.outputFrames(44100) && total == 48000
               ? 0
               : 1;
}
