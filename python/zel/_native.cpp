// The zel module's native part: the resampler's C API for NumPy arrays. Samples are converted to and from the
// frames the C API takes (float32 for float32 arrays, float64 for the others, so that the double preset keeps
// their precision) while the interpreter lock is released, so that threads converting different arrays run at once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <zel/resampler.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace py = pybind11;

namespace {

using u64 = unsigned long long;

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
            const char *why = code == EDOM                      ? "a rate is zero"
                              : code == EOVERFLOW               ? "the rates are too large to map exactly"
                              : channels < 1 || channels > 1024 ? "channels must be 1 to 1024"
                              : bandwidth > 0
                                  ? "this bandwidth needs a longer filter than the resampler allows "
                                    "at these rates"
                                  : "unknown quality";
            throw py::value_error(std::string(why) + " (" + std::strerror(code) + ")");
        }
    }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;
    ~Stream() { zel_resampler_destroy(r_); }

    unsigned channels() const { return channels_; }

    u64 outputFrames(u64 inputFrames) const {
        u64 n = 0;
        if (zel_resampler_output_frames(r_, inputFrames, &n) != 0)
            throw py::value_error("the output of " + std::to_string(inputFrames) + " frames passes 2^64 - 1");
        return n;
    }

    u64 seek(u64 outputFrame) {
        u64 input = 0;
        if (zel_resampler_seek(r_, outputFrame, &input) != 0)
            throw py::value_error("output frame " + std::to_string(outputFrame) + " lies beyond 2^64 - 1");
        next_ = outputFrame, input_ = input, ended_ = false;
        return input;
    }

    // The frames `a` (frames, or frames x channels) completes, of its own dtype and dimensions; with `last`,
    // every frame left.
    py::array process(const py::array &a, bool last) {
        if (ended_) throw py::value_error("the stream has ended; seek() to start again");
        const char kind = a.dtype().kind();
        const auto size = a.dtype().itemsize();
        if (kind == 'f' && size == 4) return run<float, float>(a, last);
        if (kind == 'f' && size == 8) return run<double, double>(a, last);
        if (kind == 'i' && size == 2) return run<int16_t, double>(a, last);
        if (kind == 'i' && size == 4) return run<int32_t, double>(a, last);
        throw py::type_error("samples must be float32, float64, int16 or int32, not " +
                             std::string(py::str(a.dtype())));
    }

private:
    // Samples of type T through the C API's frames of type E.
    template <typename T, typename E>
    py::array run(const py::array &a, bool last) {
        const u64 frames = static_cast<u64>(a.shape(0));
        const py::ssize_t frameStride = a.strides(0), channelStride = a.ndim() == 2 ? a.strides(1) : 0;
        const char *base = static_cast<const char *>(a.data());
        std::vector<E> out;
        u64 written = 0;
        int failure = 0;
        {
            py::gil_scoped_release unlocked;
            // Frames packed as the C API reads them are used in place; anything else is converted.
            constexpr auto size = static_cast<py::ssize_t>(sizeof(E));
            const bool packed = std::is_same_v<T, E> &&
                                frameStride == size * static_cast<py::ssize_t>(channels_) &&
                                (channels_ == 1 || channelStride == size);
            std::vector<E> converted;
            const E *in = reinterpret_cast<const E *>(base);
            if (!packed) {
                converted.resize(frames * channels_);
                for (u64 f = 0; f < frames; ++f) {
                    for (u64 c = 0; c < channels_; ++c) {
                        T v;
                        std::memcpy(&v,
                                    base + static_cast<py::ssize_t>(f) * frameStride +
                                        static_cast<py::ssize_t>(c) * channelStride,
                                    sizeof v);
                        converted[f * channels_ + c] = static_cast<E>(static_cast<double>(v) * kScale<T>);
                    }
                }
                in = converted.data();
            }
            failure = convert(in, frames, last, out, written);
        }
        if (failure != 0) {
            errno = failure;
            throw py::value_error(std::string("cannot convert: ") + std::strerror(failure));
        }
        std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(written)};
        if (a.ndim() == 2) shape.push_back(static_cast<py::ssize_t>(channels_));
        py::array_t<T> result(shape);
        T *y = result.mutable_data();
        {
            py::gil_scoped_release unlocked;
            for (u64 i = 0; i < written * channels_; ++i) y[i] = fromFrame<T>(out[i]);
        }
        return std::move(result);
    }

    // Feeds `frames` frames and collects the output: all frames whose position lies before the input given so
    // far, as far as the filter's reach allows, or every frame left with `last`. Returns 0 or an errno.
    static int call(zel_resampler *r, const float *in, size_t n, size_t *used, float *out, size_t m,
                    size_t *got) {
        return zel_resampler_process(r, in, n, used, out, m, got);
    }
    static int call(zel_resampler *r, const double *in, size_t n, size_t *used, double *out, size_t m,
                    size_t *got) {
        return zel_resampler_process_double(r, in, n, used, out, m, got);
    }

    template <typename E>
    int convert(const E *in, u64 frames, bool last, std::vector<E> &out, u64 &written) {
        // No more frames than those whose position lies before the input's end.
        u64 bound = 0;
        if (frames > ~0ULL - input_ || zel_resampler_output_frames(r_, input_ + frames, &bound) != 0)
            return EOVERFLOW;
        bound = bound > next_ ? bound - next_ : 0;
        out.resize(bound * channels_);
        size_t used = 0, got = 0;
        // The buffer holds every frame the input can complete, so all of it is consumed.
        // A non-null input for a chunk of no frames, which is not the end.
        static constexpr E kEmpty[1] = {0};
        if (call(r_, frames > 0 ? in : kEmpty, frames, &used, out.data(), bound, &got) != 0) return errno;
        written = got;
        while (last) {  // the filter's tail
            if (call(r_, static_cast<const E *>(nullptr), 0, &used, out.data() + written * channels_,
                     bound - written, &got) != 0)
                return errno;
            if (got == 0) break;
            written += got;
        }
        input_ += frames, next_ += written, ended_ = last;
        return 0;
    }

    zel_resampler *r_;
    unsigned channels_;
    u64 next_ = 0, input_ = 0;
    bool ended_ = false;
};

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "The zel resampler's C API for NumPy arrays; use the zel package, not this module.";
    py::class_<Stream>(m, "Stream")
        .def(py::init<u64, u64, u64, u64, unsigned, int, double>())
        .def_property_readonly("channels", &Stream::channels)
        .def("output_frames", &Stream::outputFrames)
        .def("seek", &Stream::seek)
        .def("process", &Stream::process);
}
