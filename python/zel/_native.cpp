// The zel module's native part: the resampler's C API for NumPy arrays. Samples are converted to and from the
// frames the C API takes (float32 for float32 arrays, float64 for the others, so that the double preset keeps
// their precision) while the interpreter lock is released, so that threads converting different arrays run at once.
// A long conversion goes in pieces, with a check for signals between them, so that Ctrl-C stops it promptly.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <zel/resampler.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace py = pybind11;

namespace {

using u64 = unsigned long long;

// Samples fed to the C API between two checks for signals: a few milliseconds at the slowest preset.
constexpr u64 kPieceSamples = u64{1} << 16;

// Raises the exception for a C API errno, with the library's reason after ours: OverflowError when a frame index
// or count leaves the range a stream keeps exact, ValueError for a bad argument, MemoryError, else RuntimeError.
[[noreturn]] void fail(int code, const std::string &what) {
    if (code == ENOMEM) throw std::bad_alloc();
    const std::string message = what + " (" + std::strerror(code) + ")";
    if (code == EOVERFLOW) throw std::overflow_error(message);
    if (code == EINVAL) throw py::value_error(message);
    throw std::runtime_error(message);
}

// Samples of type T as the C API's frames: integers scaled so that full scale is 1.
template <typename T>
constexpr double kScale = std::is_integral_v<T>
                              ? 1.0 / (static_cast<double>(std::numeric_limits<T>::max()) + 1)
                              : 1.0;

// Converts a result back to T: floats as they are, integers rounded to nearest and clipped, never wrapped.
template <typename T, typename E>
T fromFrame(E x) {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(x);
    } else {
        const double v = std::nearbyint(static_cast<double>(x) / kScale<T>);
        constexpr auto low = static_cast<double>(std::numeric_limits<T>::min());
        constexpr auto high = static_cast<double>(std::numeric_limits<T>::max());
        return v >= high                   ? std::numeric_limits<T>::max()
               : v <= low || std::isnan(v) ? std::numeric_limits<T>::min()
                                           : static_cast<T>(v);
    }
}

class Stream {
public:
    // bandwidth 0 keeps the preset's passband edge.
    Stream(u64 sn, u64 sd, u64 tn, u64 td, unsigned channels, int quality, double bandwidth)
        : r_(bandwidth > 0 ? zel_resampler_create_with_bandwidth(sn, sd, tn, td, channels, quality, bandwidth)
                           : zel_resampler_create(sn, sd, tn, td, channels, quality)),
          channels_(channels) {
        if (r_ == nullptr) {
            const int code = errno;
            if (code == ENOMEM) throw std::bad_alloc();
            throw py::value_error(std::string(zel_resampler_error_message()) + " (" + std::strerror(code) +
                                  ")");
        }
    }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;
    ~Stream() { zel_resampler_destroy(r_); }
    unsigned channels() const { return channels_; }

    // Reads only the rates, so it needs no claim on the stream.
    u64 outputFrames(u64 inputFrames) const {
        u64 n = 0;
        if (zel_resampler_output_frames(r_, inputFrames, &n) != 0)
            fail(errno, "the output of " + std::to_string(inputFrames) + " frames passes 2^64 - 1");
        return n;
    }

    u64 seek(u64 outputFrame) {
        const auto claim = claimed();
        u64 input = 0;
        if (zel_resampler_seek(r_, outputFrame, &input) != 0)
            fail(errno,
                 "output frame " + std::to_string(outputFrame) + " lies past the frames a stream reaches");
        next_ = outputFrame, input_ = input, stopped_ = nullptr;
        return input;
    }

    // The frames `a` (frames, or frames x channels) completes, or with `last` every frame left, as a flat array of
    // its dtype holding frame f of channel c at (c / inner) * frames * inner + f * inner + c % inner: inner is
    // `channels` for frames first, 1 for time last, so that the caller's reshape to its own layout copies nothing.
    py::array process(const py::array &a, bool last, unsigned inner) {
        const auto claim = claimed();
        if (stopped_ != nullptr) throw py::value_error(std::string(stopped_) + "; seek() to start again");
        // The layout is checked here too, so that no caller of this module reads or writes out of bounds.
        if (a.ndim() < 1 || a.ndim() > 2 || (a.ndim() == 2 ? a.shape(1) : 1) != channels_)
            throw py::value_error("samples must be frames or frames x " + std::to_string(channels_));
        if (inner == 0 || channels_ % inner != 0)
            throw py::value_error("inner must divide " + std::to_string(channels_));
        if (!a.dtype().attr("isnative").cast<bool>())
            throw py::type_error("samples must be in the machine's byte order");
        const char kind = a.dtype().kind();
        const auto size = a.dtype().itemsize();
        if (kind == 'f' && size == 4) return run<float, float>(a, last, inner);
        if (kind == 'f' && size == 8) return run<double, double>(a, last, inner);
        if (kind == 'i' && size == 2) return run<int16_t, double>(a, last, inner);
        if (kind == 'i' && size == 4) return run<int32_t, double>(a, last, inner);
        throw py::type_error("samples must be float32, float64, int16 or int32, not " +
                             std::string(py::str(a.dtype())));
    }

private:
    // The C API's resampler serves one thread at a time, and the interpreter lock is released while it converts:
    // a second thread is refused rather than let in to corrupt the stream.
    std::unique_lock<std::mutex> claimed() {
        std::unique_lock<std::mutex> claim(busy_, std::try_to_lock);
        if (!claim.owns_lock())
            throw std::runtime_error("this Resampler is in use by another thread; give each thread its own");
        return claim;
    }

    // Samples of type T through the C API's frames of type E.
    template <typename T, typename E>
    py::array run(const py::array &a, bool last, unsigned inner) {
        const u64 frames = static_cast<u64>(a.shape(0));
        const py::ssize_t frameStride = a.strides(0), channelStride = a.ndim() == 2 ? a.strides(1) : 0;
        const char *base = static_cast<const char *>(a.data());
        const std::string beyond = std::to_string(frames) + " frames after input frame " +
                                   std::to_string(input_) + " take the stream past the frames it reaches";
        // No more frames than those whose position lies before the input's end.
        u64 bound = 0;
        if (frames > ~0ULL - input_ || zel_resampler_output_frames(r_, input_ + frames, &bound) != 0)
            fail(EOVERFLOW, beyond);
        bound = bound > next_ ? bound - next_ : 0;
        std::vector<E> out, converted;
        const u64 firstInput = input_;
        u64 done = 0, written = 0;
        {
            py::gil_scoped_release unlocked;
            out.resize(bound * channels_);
        }
        // Frames packed as the C API reads them are used in place; anything else is converted.
        constexpr auto size = static_cast<py::ssize_t>(sizeof(E));
        const bool packed = std::is_same_v<T, E> &&
                            frameStride == size * static_cast<py::ssize_t>(channels_) &&
                            (channels_ == 1 || channelStride == size);
        const u64 step = std::max<u64>(1, kPieceSamples / channels_);
        do {  // once for a chunk of no frames
            const u64 n = std::min(step, frames - done);
            int failure = 0;
            {
                py::gil_scoped_release unlocked;
                const E *in =
                    reinterpret_cast<const E *>(base + static_cast<py::ssize_t>(done) * frameStride);
                if (!packed) {
                    converted.resize(n * channels_);
                    for (u64 f = 0; f < n; ++f) {
                        for (u64 c = 0; c < channels_; ++c) {
                            T v;
                            std::memcpy(&v,
                                        base + static_cast<py::ssize_t>(done + f) * frameStride +
                                            static_cast<py::ssize_t>(c) * channelStride,
                                        sizeof v);
                            converted[f * channels_ + c] = static_cast<E>(static_cast<double>(v) * kScale<T>);
                        }
                    }
                    in = converted.data();
                }
                failure = feed(in, n, last && done + n == frames, out, bound, written);
            }
            // A failed call changes nothing, but what went in before it is gone with its output.
            if (failure != 0) {
                if (input_ != firstInput || written > 0)
                    stopped_ = "the stream failed part-way through a chunk";
                fail(failure, failure == EOVERFLOW ? beyond : "cannot convert");
            }
            done += n;
            if (done < frames && PyErr_CheckSignals() != 0) {
                stopped_ = "the stream was interrupted part-way through a chunk";
                throw py::error_already_set();
            }
        } while (done < frames);
        py::array_t<T> result(static_cast<py::ssize_t>(written * channels_));
        T *y = result.mutable_data();
        {
            py::gil_scoped_release unlocked;
            const u64 groups = channels_ / inner;
            for (u64 f = 0; f < written; ++f)
                for (u64 g = 0; g < groups; ++g)
                    for (u64 i = 0; i < inner; ++i)
                        y[(g * written + f) * inner + i] = fromFrame<T>(out[(f * groups + g) * inner + i]);
        }
        return std::move(result);
    }

    // The C API's call for frames of each type.
    static int call(zel_resampler *r, const float *in, size_t n, size_t *used, float *out, size_t m,
                    size_t *got) {
        return zel_resampler_process(r, in, n, used, out, m, got);
    }
    static int call(zel_resampler *r, const double *in, size_t n, size_t *used, double *out, size_t m,
                    size_t *got) {
        return zel_resampler_process_double(r, in, n, used, out, m, got);
    }

    // Feeds `frames` frames and appends what they complete to out's first `written` frames: all frames whose
    // position lies before the input given so far, as far as the filter's reach allows, or with `last` every
    // frame left. out holds `bound` frames, all that the call's input can complete, so every frame is consumed.
    // Returns 0 or an errno.
    template <typename E>
    int feed(const E *in, u64 frames, bool last, std::vector<E> &out, u64 bound, u64 &written) {
        size_t used = 0, got = 0;
        // A non-null input for a chunk of no frames, which is not the end.
        static constexpr E kEmpty[1] = {0};
        if (call(r_, frames > 0 ? in : kEmpty, frames, &used, out.data() + written * channels_,
                 bound - written, &got) != 0)
            return errno;
        written += got, input_ += frames, next_ += got;
        while (last) {  // the filter's tail
            if (call(r_, static_cast<const E *>(nullptr), 0, &used, out.data() + written * channels_,
                     bound - written, &got) != 0)
                return errno;
            if (got == 0) break;
            written += got, next_ += got;
        }
        if (last) stopped_ = "the stream has ended";
        return 0;
    }

    zel_resampler *r_;
    unsigned channels_;
    u64 next_ = 0, input_ = 0;
    const char *stopped_ = nullptr;  // why process() needs a seek() first, if it does
    std::mutex busy_;
};

}  // namespace

#ifdef ZEL_PYTHON_FILES
void bindFiles(py::module_ &m);  // _files.cpp
#endif

PYBIND11_MODULE(_native, m) {
    m.doc() = "The zel resampler's C API for NumPy arrays; use the zel package, not this module.";
    // The library's limits and preset names, so that the package checks against them rather than copies.
    m.attr("MAX_CHANNELS") = ZEL_MAX_CHANNELS;
    m.attr("MIN_BANDWIDTH") = ZEL_MIN_BANDWIDTH;
    m.attr("MAX_BANDWIDTH") = ZEL_MAX_BANDWIDTH;
    py::list names;
    for (int q = 0; zel_resampler_quality_name(q) != nullptr; ++q)
        names.append(zel_resampler_quality_name(q));
    m.attr("QUALITIES") = py::tuple(names);
    py::class_<Stream>(m, "Stream")
        .def(py::init<u64, u64, u64, u64, unsigned, int, double>())
        .def_property_readonly("channels", &Stream::channels)
        .def("output_frames", &Stream::outputFrames)
        .def("seek", &Stream::seek)
        .def("process", &Stream::process);
#ifdef ZEL_PYTHON_FILES
    bindFiles(m);
#endif
}
