// A header-only C++ owner of a zel_resampler: the same ABI as the C header, with errors as exceptions.
#ifndef ZEL_RESAMPLER_HPP
#define ZEL_RESAMPLER_HPP

#include <cerrno>
#include <cstddef>
#include <string>
#include <system_error>
#include <utility>

#include "zel/resampler.h"

namespace zel {

class Resampler {
public:
    // Frames consumed from the input and written to the output by one call.
    struct Counts {
        std::size_t inputUsed;
        std::size_t outputWritten;
    };

    // Throws std::system_error with the C API's errno (EDOM, EOVERFLOW, EINVAL, ENOMEM) and, in what(), the
    // library's reason.
    Resampler(unsigned long long sourceNumerator, unsigned long long sourceDenominator,
              unsigned long long targetNumerator, unsigned long long targetDenominator, unsigned int channels,
              int quality = ZEL_QUALITY_HIGH)
        : r_(zel_resampler_create(sourceNumerator, sourceDenominator, targetNumerator, targetDenominator,
                                  channels, quality)) {
        if (r_ == nullptr) fail("zel_resampler_create");
    }
    // With the passband edge at `bandwidth` of the lower Nyquist (0.80 to 0.99), as
    // zel_resampler_create_with_bandwidth.
    Resampler(unsigned long long sourceNumerator, unsigned long long sourceDenominator,
              unsigned long long targetNumerator, unsigned long long targetDenominator, unsigned int channels,
              int quality, double bandwidth)
        : r_(zel_resampler_create_with_bandwidth(sourceNumerator, sourceDenominator, targetNumerator,
                                                 targetDenominator, channels, quality, bandwidth)) {
        if (r_ == nullptr) fail("zel_resampler_create_with_bandwidth");
    }
    // With the settings in `options` (formats, layout, dither, bandwidth), as zel_resampler_create_with_options.
    Resampler(unsigned long long sourceNumerator, unsigned long long sourceDenominator,
              unsigned long long targetNumerator, unsigned long long targetDenominator, unsigned int channels,
              int quality, const zel_resampler_options &options)
        : r_(zel_resampler_create_with_options(sourceNumerator, sourceDenominator, targetNumerator,
                                               targetDenominator, channels, quality, &options)) {
        if (r_ == nullptr) fail("zel_resampler_create_with_options");
    }
    Resampler(Resampler &&other) noexcept : r_(std::exchange(other.r_, nullptr)) {}
    Resampler &operator=(Resampler &&other) noexcept {
        std::swap(r_, other.r_);
        return *this;
    }
    Resampler(const Resampler &) = delete;
    Resampler &operator=(const Resampler &) = delete;
    ~Resampler() { zel_resampler_destroy(r_); }

    // Input frames in, output frames out, as zel_resampler_process.
    Counts process(const float *input, std::size_t inputFrames, float *output, std::size_t outputFrames) {
        Counts c{0, 0};
        if (zel_resampler_process(r_, input, inputFrames, &c.inputUsed, output, outputFrames,
                                  &c.outputWritten))
            fail("zel_resampler_process");
        return c;
    }
    // The same with float64 frames, as zel_resampler_process_double.
    Counts process(const double *input, std::size_t inputFrames, double *output, std::size_t outputFrames) {
        Counts c{0, 0};
        if (zel_resampler_process_double(r_, input, inputFrames, &c.inputUsed, output, outputFrames,
                                         &c.outputWritten))
            fail("zel_resampler_process_double");
        return c;
    }
    // Frames in the options' formats and layout (one pointer, or one per channel), as
    // zel_resampler_process_buffers; a null input with no frames marks the end.
    Counts processBuffers(const void *const *input, std::size_t inputFrames, void *const *output,
                          std::size_t outputFrames) {
        Counts c{0, 0};
        if (zel_resampler_process_buffers(r_, input, inputFrames, &c.inputUsed, output, outputFrames,
                                          &c.outputWritten))
            fail("zel_resampler_process_buffers");
        return c;
    }
    // Marks the end of the input (once) and drains; 0 frames written means done.
    template <typename T>
    std::size_t drain(T *output, std::size_t outputFrames) {
        return process(static_cast<const T *>(nullptr), 0, output, outputFrames).outputWritten;
    }
    // Restarts at output frame `outputFrame`; returns the input frame to feed next.
    unsigned long long seek(unsigned long long outputFrame) {
        unsigned long long input = 0;
        if (zel_resampler_seek(r_, outputFrame, &input)) fail("zel_resampler_seek");
        return input;
    }
    // The output length of `inputFrames` input frames.
    unsigned long long outputFrames(unsigned long long inputFrames) const {
        unsigned long long n = 0;
        if (zel_resampler_output_frames(r_, inputFrames, &n)) fail("zel_resampler_output_frames");
        return n;
    }
    // The input frames a stream at its start (or just after seek) needs before it has written `outputFrames`.
    unsigned long long inputNeeded(unsigned long long outputFrames) const {
        unsigned long long n = 0;
        if (zel_resampler_input_needed(r_, outputFrames, &n)) fail("zel_resampler_input_needed");
        return n;
    }
    // Integer output samples clipped so far.
    unsigned long long clipped() const {
        unsigned long long n = 0;
        if (zel_resampler_clipped(r_, &n)) fail("zel_resampler_clipped");
        return n;
    }
    zel_resampler *get() const { return r_; }

private:
    [[noreturn]] static void fail(const char *what) {
        const int code = errno;
        throw std::system_error(code, std::generic_category(),
                                std::string(what) + ": " + zel_resampler_error_message());
    }

    zel_resampler *r_;
};

}  // namespace zel

#endif
