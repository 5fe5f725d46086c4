// A client built against the installed libraries through find_package: exits 0 when the worked example maps
// and the resampler gives one second of 44100 Hz exactly 48000 frames.
#include <zel/math.h>
#include <zel/resampling_mapper.h>

#include <cstdint>
#include <string>
#include <system_error>
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
    // Options through the wrapper: int16 in and out, and a refusal whose what() carries the library's reason.
    zel_resampler_options options;
    zel_resampler_options_init(&options);
    options.input_format = options.output_format = ZEL_FORMAT_INT16;
    zel::Resampler pcm(44100, 1, 48000, 1, 1, ZEL_QUALITY_MEDIUM, options);
    std::vector<int16_t> samples(4410, 1000), converted(4800);
    const void *input[1] = {samples.data()};
    void *output[1] = {converted.data()};
    const auto pcmCounts = pcm.processBuffers(input, samples.size(), output, converted.size());
    options.layout = 7;
    std::string reason;
    try {
        zel::Resampler bad(44100, 1, 48000, 1, 1, ZEL_QUALITY_MEDIUM, options);
    } catch (const std::system_error &e) {
        reason = e.what();
    }
    if (pcmCounts.inputUsed != samples.size() || converted[2000] != 1000 || pcm.inputNeeded(1) == 0 ||
        pcm.clipped() != 0 || reason.find("unknown layout 7") == std::string::npos)
        return 1;
    return request.first == 3 && request.last == 8 && math_gcd_llong(44100, 48000) == 300 &&
                   counts.inputUsed == in.size() && total == resampler.outputFrames(44100) && total == 48000
               ? 0
               : 1;
}
