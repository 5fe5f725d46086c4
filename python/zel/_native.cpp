// The zel module's native part: the resampler's C API for NumPy arrays. The arrays' samples go to the C API as
// they are, in the formats the stream was made with (an int16 array as ZEL_FORMAT_INT16, and so on), so that the
// library loads and stores them itself: "max" keeps double precision for every dtype, and integer results are
// rounded and clipped by the library's own rule. The interpreter lock is released while samples are converted, so
// that threads converting different arrays run at once. A long conversion goes in pieces, with a check for
// signals between them, so that Ctrl-C stops it promptly.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <zel/resampler.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

using u64 = unsigned long long;

// Samples fed to the C API between two checks for signals: a few milliseconds at the slowest preset.
constexpr u64 kPieceSamples = u64{1} << 16;

// Raises the exception for an errno: OverflowError when a frame index or count leaves the range a stream keeps
// exact, ValueError for a bad argument, MemoryError, else RuntimeError.
[[noreturn]] void raise(int code, const std::string &message) {
    if (code == ENOMEM) {
        PyErr_SetString(PyExc_MemoryError, message.c_str());
        throw py::error_already_set();
    }
    if (code == EOVERFLOW) throw std::overflow_error(message);
    if (code == EINVAL || code == EDOM) throw py::value_error(message);
    throw std::runtime_error(message);
}

// Raises the exception for a failed C API call, with the library's own reason; called on the failing thread.
[[noreturn]] void failed(int code) { raise(code, zel_resampler_error_message()); }

// The C API's sample format for a dtype, or -1 for one it has none for.
int formatOf(const py::dtype &d) {
    const auto size = d.itemsize();
    if (d.kind() == 'f') return size == 4 ? ZEL_FORMAT_FLOAT32 : size == 8 ? ZEL_FORMAT_FLOAT64 : -1;
    if (d.kind() == 'i') return size == 2 ? ZEL_FORMAT_INT16 : size == 4 ? ZEL_FORMAT_INT32 : -1;
    return -1;
}

// Copies frames x channels samples of B bytes, frame f of channel c at base + f * frameStride + c *
// channelStride, into `to` as the C API reads them: interleaved, or channel after channel.
template <size_t B>
void gather(const char *base, py::ssize_t frameStride, py::ssize_t channelStride, u64 frames, u64 channels,
            bool planar, char *to) {
    for (u64 f = 0; f < frames; ++f)
        for (u64 c = 0; c < channels; ++c)
            std::memcpy(to + (planar ? c * frames + f : f * channels + c) * B,
                        base + static_cast<py::ssize_t>(f) * frameStride +
                            static_cast<py::ssize_t>(c) * channelStride,
                        B);
}

class Stream {
public:
    // bandwidth 0 keeps the preset's passband edge. `planar` suits time-last arrays: each channel's frames are
    // then read where they lie, and the result is written channel after channel, as such an array holds it.
    Stream(u64 sn, u64 sd, u64 tn, u64 td, unsigned channels, int quality, double bandwidth,
           const py::dtype &in, const py::dtype &out, bool planar, bool dither, double sourceRateRange)
        : channels_(channels), planar_(planar), in_(in), out_(out) {
        zel_resampler_options options;
        zel_resampler_options_init(&options);
        options.bandwidth = bandwidth;
        options.input_format = formatOf(in);
        options.output_format = formatOf(out);
        options.layout = planar ? ZEL_LAYOUT_PLANAR : ZEL_LAYOUT_INTERLEAVED;
        options.dither = dither ? 1 : 0;
        options.source_rate_range = sourceRateRange;
        for (const py::dtype *d : {&in, &out})
            if (formatOf(*d) < 0 || !d->attr("isnative").cast<bool>())
                throw py::type_error(
                    "samples must be float32, float64, int16 or int32 in the machine's byte "
                    "order, not " +
                    std::string(py::str(py::handle(*d))));
        r_ = zel_resampler_create_with_options(sn, sd, tn, td, channels, quality, &options);
        // Every refusal here is of an argument (rates too large to map are EOVERFLOW), so ValueError.
        if (r_ == nullptr) failed(errno == ENOMEM ? ENOMEM : EINVAL);
    }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;
    ~Stream() { zel_resampler_destroy(r_); }
    unsigned channels() const { return channels_; }

    // Reads only the rates, so it needs no claim on the stream.
    u64 outputFrames(u64 inputFrames) const {
        u64 n = 0;
        if (zel_resampler_output_frames(r_, inputFrames, &n) != 0) failed(errno);
        return n;
    }

    // Reads the position of the last seek, so it is claimed like the calls that set it.
    u64 inputNeeded(u64 outputFrames) {
        const auto claim = claimed();
        u64 n = 0;
        if (zel_resampler_input_needed(r_, outputFrames, &n) != 0) failed(errno);
        return n;
    }

    // From the next output frame on, the source rate is numerator / the denominator the stream was made with.
    void setSourceRate(u64 numerator) {
        const auto claim = claimed();
        if (zel_resampler_set_source_rate(r_, numerator) != 0) failed(errno);
    }

    u64 clipped() {
        const auto claim = claimed();
        u64 n = 0;
        if (zel_resampler_clipped(r_, &n) != 0) failed(errno);
        return n;
    }

    u64 seek(u64 outputFrame) {
        const auto claim = claimed();
        u64 input = 0;
        if (zel_resampler_seek(r_, outputFrame, &input) != 0) failed(errno);
        next_ = outputFrame, input_ = input, stopped_ = nullptr;
        return input;
    }

    // The frames `a` (frames, or frames x channels) completes, or with `last` every frame left, as a flat array of
    // the output dtype holding frame f of channel c at (c / inner) * frames * inner + f * inner + c % inner: inner
    // is `channels` for frames first, 1 for time last, so that the caller's reshape to its own layout copies
    // nothing. A planar stream writes channel after channel, so it takes inner 1 only.
    py::array process(const py::array &a, bool last, unsigned inner) {
        const auto claim = claimed();
        if (stopped_ != nullptr) throw py::value_error(std::string(stopped_) + "; seek() to start again");
        // Checked here too, so that no caller of this module reads or writes out of bounds.
        if (a.ndim() < 1 || a.ndim() > 2 || (a.ndim() == 2 ? a.shape(1) : 1) != channels_)
            throw py::value_error("samples must be frames or frames x " + std::to_string(channels_));
        if (inner == 0 || channels_ % inner != 0 || (planar_ && inner != 1))
            throw py::value_error("inner must divide " + std::to_string(channels_) + " (1 for time last)");
        if (!a.dtype().equal(in_))
            throw py::type_error("this stream takes " + std::string(py::str(in_)) + " samples, not " +
                                 std::string(py::str(a.dtype())));
        const u64 frames = static_cast<u64>(a.shape(0)), inSize = static_cast<u64>(in_.itemsize()),
                  outSize = static_cast<u64>(out_.itemsize());
        const py::ssize_t frameStride = a.strides(0), channelStride = a.ndim() == 2 ? a.strides(1) : 0;
        const char *base = static_cast<const char *>(a.data());
        // Room for the frames whose position lies before the input's end, all that this input can complete.
        u64 bound = 0;
        if (frames > ~0ULL - input_)
            raise(EOVERFLOW, std::to_string(frames) + " frames after input frame " + std::to_string(input_) +
                                 " pass 2^64 - 1");
        if (zel_resampler_output_frames(r_, input_ + frames, &bound) != 0) failed(errno);
        bound = bound > next_ ? bound - next_ : 0;
        if (bound > static_cast<u64>(PTRDIFF_MAX) / channels_ / outSize)
            raise(ENOMEM, "the output is too large");
        py::array out(out_, static_cast<py::ssize_t>(bound * channels_));
        char *y = static_cast<char *>(out.mutable_data());
        // Frames laid out as the C API reads them are used in place; anything else is gathered piece by piece.
        const auto aligned = [&](py::ssize_t stride) {
            return stride % static_cast<py::ssize_t>(inSize) == 0;
        };
        const auto frameSize = static_cast<py::ssize_t>(planar_ ? inSize : inSize * channels_);
        const bool inPlace =
            aligned(reinterpret_cast<std::intptr_t>(base)) && (frames <= 1 || frameStride == frameSize) &&
            (channels_ == 1 ||
             (planar_ ? aligned(channelStride) : channelStride == static_cast<py::ssize_t>(inSize)));
        const auto gatherAny = inSize == 2 ? gather<2> : inSize == 4 ? gather<4> : gather<8>;
        std::vector<char> gathered;
        ins_.assign(planar_ ? channels_ : 1, nullptr), outs_.assign(planar_ ? channels_ : 1, nullptr);
        const u64 firstInput = input_;
        u64 done = 0, written = 0;
        const u64 step = std::max<u64>(1, kPieceSamples / channels_);
        do {  // once for a chunk of no frames
            const u64 n = std::min(step, frames - done);
            int failure = 0;
            {
                py::gil_scoped_release unlocked;
                const char *at = base + static_cast<py::ssize_t>(done) * frameStride;
                py::ssize_t channelAt = channelStride;
                if (!inPlace) {
                    gathered.resize(n * channels_ * inSize);
                    gatherAny(at, frameStride, channelStride, n, channels_, planar_, gathered.data());
                    at = gathered.data(), channelAt = static_cast<py::ssize_t>(n * inSize);
                }
                for (u64 c = 0; c < ins_.size(); ++c) ins_[c] = at + static_cast<py::ssize_t>(c) * channelAt;
                failure = feed(n, last && done + n == frames, y, bound, outSize, written);
            }
            // A failed call changes nothing, but what went in before it is gone with its output.
            if (failure != 0) {
                if (input_ != firstInput || written > 0)
                    stopped_ = "the stream failed part-way through a chunk";
                failed(failure);
            }
            done += n;
            if (done < frames && PyErr_CheckSignals() != 0) {
                stopped_ = "the stream was interrupted part-way through a chunk";
                throw py::error_already_set();
            }
        } while (done < frames);
        return result(std::move(out), bound, written, inner, outSize);
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

    // Feeds `frames` frames from ins_ and appends what they complete to the first `written` frames of y, which
    // has room for `bound` (a planar stream's channel c at c * bound): all frames whose position lies before the
    // input given so far, as far as the filter's reach allows, or with `last` every frame left, so every frame
    // is consumed. Returns 0 or an errno.
    int feed(u64 frames, bool last, char *y, u64 bound, u64 outSize, u64 &written) {
        const auto call = [&](const void *const *in, u64 n, size_t &got) {
            for (u64 c = 0; c < outs_.size(); ++c)
                outs_[c] = y + (planar_ ? c * bound + written : written * channels_) * outSize;
            size_t used = 0;
            return zel_resampler_process_buffers(r_, in, n, &used, outs_.data(), bound - written, &got);
        };
        size_t got = 0;
        // ins_ is never null, so a chunk of no frames is not the end.
        if (call(ins_.data(), frames, got) != 0) return errno;
        written += got, input_ += frames, next_ += got;
        while (last) {  // the filter's tail
            if (call(nullptr, 0, got) != 0) return errno;
            if (got == 0) break;
            written += got, next_ += got;
        }
        if (last) stopped_ = "the stream has ended";
        return 0;
    }

    // The `written` frames of `out` (room for `bound`, in the stream's layout) in the layout process() returns.
    py::array result(py::array out, u64 bound, u64 written, unsigned inner, u64 outSize) {
        const char *from = static_cast<const char *>(out.data());
        if (!planar_ && inner != channels_) {  // groups of `inner` channels, one after another
            py::array y(out_, static_cast<py::ssize_t>(written * channels_));
            char *to = static_cast<char *>(y.mutable_data());
            {
                py::gil_scoped_release unlocked;
                const u64 groups = channels_ / inner, run = inner * outSize;
                for (u64 f = 0; f < written; ++f)
                    for (u64 g = 0; g < groups; ++g)
                        std::memcpy(to + (g * written + f) * run, from + (f * groups + g) * run, run);
            }
            return y;
        }
        if (planar_ && written < bound) {  // the channels closed up, in place
            char *to = static_cast<char *>(out.mutable_data());
            py::gil_scoped_release unlocked;
            for (u64 c = 1; c < channels_; ++c)
                std::memmove(to + c * written * outSize, to + c * bound * outSize, written * outSize);
        }
        if (written < bound) out.resize({static_cast<py::ssize_t>(written * channels_)}, false);
        return out;
    }

    zel_resampler *r_ = nullptr;
    unsigned channels_;
    bool planar_;
    py::dtype in_, out_;
    std::vector<const void *> ins_;  // a piece's input: one pointer, or one per channel
    std::vector<void *> outs_;
    u64 next_ = 0, input_ = 0;
    const char *stopped_ = nullptr;  // why process() needs a seek() first, if it does
    std::mutex busy_;
};

// The whole of `x` (frames, or frames x channels, C-contiguous) into `y` (its output frames, likewise) by
// zel_resample_oneshot on `threads` threads, the interpreter lock released: the same samples as a stream gives.
// A conversion this way runs to its end: Ctrl-C is seen when it returns.
void oneshot(u64 sn, u64 sd, u64 tn, u64 td, unsigned channels, int quality, double bandwidth, bool dither,
             unsigned threads, const py::array &x, py::array &y) {
    const auto layout = [channels](const py::array &a) {
        return (a.flags() & py::array::c_style) != 0 && a.ndim() >= 1 && a.ndim() <= 2 &&
               (a.ndim() == 2 ? a.shape(1) : 1) == channels && formatOf(a.dtype()) >= 0 &&
               a.dtype().attr("isnative").cast<bool>();
    };
    if (!layout(x) || !layout(y) || !y.writeable())
        throw py::value_error("oneshot takes C-contiguous frames x " + std::to_string(channels) +
                              " arrays in a native sample format, the output writable");
    zel_resampler_options options;
    zel_resampler_options_init(&options);
    options.bandwidth = bandwidth;
    options.input_format = formatOf(x.dtype());
    options.output_format = formatOf(y.dtype());
    options.dither = dither ? 1 : 0;
    options.threads = threads;
    const void *const in[1] = {x.data()};
    void *const out[1] = {y.mutable_data()};
    size_t written = 0;
    int result = 0;
    {
        py::gil_scoped_release unlocked;
        result = zel_resample_oneshot(sn, sd, tn, td, channels, quality, &options, in,
                                      static_cast<size_t>(x.shape(0)), out, static_cast<size_t>(y.shape(0)),
                                      &written);
    }
    if (result != 0) failed(errno == ENOMEM || errno == EAGAIN ? errno : EINVAL);
    if (written != static_cast<size_t>(y.shape(0)))
        throw std::runtime_error("oneshot wrote fewer frames than asked");
}

}  // namespace

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
    m.attr("VERSION") = zel_resampler_version();
    m.def("oneshot", &oneshot, py::arg("sn"), py::arg("sd"), py::arg("tn"), py::arg("td"),
          py::arg("channels"), py::arg("quality"), py::arg("bandwidth"), py::arg("dither"),
          py::arg("threads"), py::arg("x"), py::arg("y"),
          "The whole of x into y (C-contiguous frames x channels, y as many frames as the output has) by "
          "zel_resample_oneshot on `threads` threads; raises ValueError with the library's reason.");
    py::class_<Stream>(m, "Stream", "A zel_resampler stream for NumPy arrays; zel.Resampler wraps it.")
        .def(py::init<u64, u64, u64, u64, unsigned, int, double, py::dtype, py::dtype, bool, bool, double>(),
             py::arg("sn"), py::arg("sd"), py::arg("tn"), py::arg("td"), py::arg("channels"),
             py::arg("quality"), py::arg("bandwidth"), py::arg("dtype"), py::arg("out_dtype"),
             py::arg("planar"), py::arg("dither"), py::arg("source_rate_range"),
             "A stream from sn/sd to tn/td frames per second, as zel_resampler_create_with_options makes it; "
             "raises ValueError with the library's reason.")
        .def(
            "set_source_rate", &Stream::setSourceRate, py::arg("numerator"),
            "From the next output frame on, the source rate is numerator over the denominator the stream was "
            "made with.")
        .def_property_readonly("channels", &Stream::channels, "The channels of every frame.")
        .def("output_frames", &Stream::outputFrames, py::arg("n"),
             "The exact output frames of n input frames.")
        .def("input_needed", &Stream::inputNeeded, py::arg("n"),
             "The input frames to give, from the start or the last seek, before n frames are returned.")
        .def("clipped", &Stream::clipped, "The integer output samples clipped so far.")
        .def("seek", &Stream::seek, py::arg("output_frame"),
             "Restarts the stream at output_frame; returns the input frame to feed next.")
        .def("process", &Stream::process, py::arg("frames"), py::arg("last"), py::arg("inner"),
             "The output frames `frames` (frames, or frames x channels) completes, or with last every frame "
             "left, as a flat array in groups of `inner` channels.");
}
