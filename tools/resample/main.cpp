// resample: converts an audio file, or a stream on stdin, to another sample rate with the zel resampler. It
// never writes over its input, never leaves a partial output, refuses before any count could wrap, treats a
// short or damaged input as an error, and says what went wrong in one line: exit 0 on success, 1 on a failure,
// 2 on a usage error, 3 when the output could not be written.
#include <sndfile.h>
#include <unistd.h>
#include <zel/resampler.h>
#include <zel/version.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "command_line.h"
#include "convert.h"
#include "input.h"
#include "options.h"
#include "output_file.h"
#include "output_format.h"
#include "progress.h"
#include "quality_names.h"
#include "rate_text.h"
#include "segments.h"
#include "sink.h"

namespace resample {

namespace {

constexpr u64 kMaxBlockSamples = 1ULL << 24;  // block x channels: 64 MB of floats

// What the command line asks for, completed from the input.
struct Plan {
    Options options;
    zel_cli::Rate target;
    int quality = 0;
    SampleFormat format;
    int container = 0;
    RawFormat raw;  // raw input, as the --input-* options describe it
    int rawEndian = SF_ENDIAN_LITTLE;
    ConversionSetup setup;
    u64 total = ~0ULL, begin = 0, count = 0;  // output frames: all (~0 when unknown), and those written
};

Error usage(const std::string &message) { return {Error::kUsage, message}; }

int report(const Error &e) {
    if (e.kind == Error::kUsage) return zel_cli::usageError("resample", e.message);
    std::fprintf(stderr, "resample: %s\n", e.message.c_str());
    return e.kind == Error::kWrite ? zel_cli::kExitWriteError : zel_cli::kExitFailure;
}

// --help or --version.
int about(const Options &o) {
    const std::string text = o.help ? kUsage : std::string("resample (zel) ") + ZEL_VERSION_STRING + "\n";
    if (zel_cli::printAll(text)) return 0;
    return report({Error::kWrite, std::string("cannot write the output: ") + std::strerror(errno)});
}

// The names on the command line: rate, quality, sample format and container.
Error checkNames(Plan &p) {
    const Options &o = p.options;
    std::string why;
    if (!zel_cli::parseRate(o.rate, p.target, why)) return usage("rate '" + o.rate + "' " + why);
    p.quality = zel_cli::qualityFromName(o.quality);
    if (p.quality < 0)
        return usage("unknown quality '" + o.quality + "' (use " + zel_cli::qualityNames() + ")");
    if (p.quality == ZEL_QUALITY_LINEAR && o.bandwidth > 0)
        return usage("--bandwidth needs a filtered quality, not linear");
    if (!sampleFormatNamed(o.format, p.format))
        return usage("unknown format '" + o.format + "' (use same, float, double, pcm16, pcm24 or pcm32)");
    p.container = containerFor(o.type, o.out, why);
    if (p.container == 0) return usage(why);
    return {};
}

// The byte order named E: little, big or native.
bool endianNamed(const std::string &name, int &endian) {
    endian = name.empty() || name == "little" ? SF_ENDIAN_LITTLE
             : name == "big"                  ? SF_ENDIAN_BIG
             : name == "native"               ? SF_ENDIAN_CPU
                                              : 0;
    return endian != 0;
}

// Raw input, named by --input-type raw or by a .raw or .pcm name, needs all of its description, which no other
// input takes; the byte order of raw output.
Error checkRaw(Plan &p) {
    const Options &o = p.options;
    if (!o.inputType.empty() && o.inputType != "raw")
        return usage("unknown input type '" + o.inputType +
                     "' (raw; other inputs are known by their contents)");
    const std::string extension = extensionOf(o.in);
    const bool raw = o.inputType == "raw" || extension == "raw" || extension == "pcm";
    int endian = 0;
    SampleFormat format;
    if (!raw) {
        const char *given = o.inputRate > 0          ? "--input-rate"
                            : o.inputChannels > 0    ? "--input-channels"
                            : !o.inputFormat.empty() ? "--input-format"
                            : !o.inputEndian.empty() ? "--input-endian"
                                                     : nullptr;
        if (given != nullptr) return usage(std::string(given) + " describes raw input; add --input-type raw");
    } else if (o.inputRate == 0) {
        return usage("raw input needs --input-rate");
    } else if (o.inputChannels == 0) {
        return usage("raw input needs --input-channels");
    } else if (o.inputFormat.empty()) {
        return usage("raw input needs --input-format");
    } else if (!sampleFormatNamed(o.inputFormat, format) || format.bits < 0) {
        return usage("unknown input format '" + o.inputFormat +
                     "' (use float, double, pcm16, pcm24 or pcm32)");
    } else if (!endianNamed(o.inputEndian, endian)) {
        return usage("unknown byte order '" + o.inputEndian + "' (use little, big or native)");
    } else {
        p.raw = {static_cast<int>(o.inputRate), static_cast<int>(o.inputChannels),
                 sndfileFormat(SF_FORMAT_RAW, format, endian)};
    }
    if (!o.endian.empty() && p.container != SF_FORMAT_RAW)
        return usage("--endian is for raw output (-t raw)");
    if (!endianNamed(o.endian, p.rawEndian))
        return usage("unknown byte order '" + o.endian + "' (use little, big or native)");
    return {};
}

// Audio is not read from or written to a terminal, and the output may not be the input, however either is
// named: a path, or stdin or stdout redirected.
Error checkStreams(const Options &o) {
    if (o.in == "-" && isatty(STDIN_FILENO)) return usage("will not read audio from a terminal");
    if (o.out == "-" && isatty(STDOUT_FILENO)) return usage("will not write audio to a terminal");
    const bool same =
        o.in == "-" ? (o.out == "-" ? sameFile(STDIN_FILENO, STDOUT_FILENO) : sameFile(STDIN_FILENO, o.out))
                    : (o.out == "-" ? sameFile(STDOUT_FILENO, o.in) : sameFile(o.in, o.out));
    if (same) return usage("'" + o.out + "' is the input; choose another output");
    return {};
}

// The sample format "same" takes from the input, and what the format and the channels allow.
Error checkSamples(Plan &p, const Input &input) {
    const Options &o = p.options;
    if (p.format.bits < 0) p.format = sameFormat(input.info.format, p.container);
    if (o.dither && p.format.bits == 0) return usage("--dither needs pcm16, pcm24 or pcm32 output");
    const auto channels = static_cast<u64>(input.info.channels);
    if (channels > ZEL_MAX_CHANNELS)
        return {Error::kInput, "'" + o.in + "' has " + std::to_string(channels) +
                                   " channels; the resampler takes " + "at most " +
                                   std::to_string(ZEL_MAX_CHANNELS)};
    if (o.block * channels > kMaxBlockSamples)
        return usage("--block " + std::to_string(o.block) + " x " + std::to_string(channels) +
                     " channels is more than a block may hold");
    return {};
}

// Segment 0's resampler, made before any output exists so that a refusal leaves nothing behind. The library
// checks the rates and the band, and says why it refuses them.
Error createResampler(Plan &p, const Input &input, ResamplerPtr &r) {
    const Options &o = p.options;
    p.setup = {static_cast<u64>(input.info.samplerate),
               p.target.numerator,
               p.target.denominator,
               static_cast<unsigned>(input.info.channels),
               p.quality,
               o.bandwidth,
               p.format,
               o.dither,
               o.block,
               o.in,
               o.out};
    r = makeResampler(p.setup);
    const int code = errno;
    // What the command line asked for (rates, a band) is a usage error; the rest, such as memory, a failure.
    if (r == nullptr && (code == EDOM || code == EOVERFLOW || (code == EINVAL && o.bandwidth > 0)))
        return usage(libraryReason(code));
    if (r == nullptr) return cannotConvert(o.in, code);
    if (headerRate(p.target.numerator, p.target.denominator) == 0)
        return usage("rate " + o.rate + " does not fit a file header");
    return {};
}

// The output range: frames begin .. begin + count - 1 of the whole conversion, ceil(N * T / S) frames when the
// input's length N is known.
Error planRange(Plan &p, const Input &input, zel_resampler *r) {
    const Options &o = p.options;
    if (input.lengthKnown && zel_resampler_output_frames(r, static_cast<u64>(input.info.frames), &p.total))
        return usage(libraryReason(errno));
    p.begin = std::min(o.start, p.total);
    p.count = std::min(o.frames, p.total - p.begin);  // ~0 - begin when the length is unknown
    // A start the resampler cannot reach exactly is refused before any output exists.
    if (unsigned long long at = 0; zel_resampler_seek(r, o.start, &at) != 0)
        return cannotConvert(o.in, errno);
    if (o.threads > 1 && (input.reopenPath.empty() || !input.lengthKnown))
        return usage("--threads above 1 needs a seekable input of known length, not a pipe");
    const u64 bytesPerFrame =
        p.setup.channels * static_cast<u64>(p.format.bits == 0 ? p.format.floatBits : p.format.bits) / 8;
    if (input.lengthKnown && p.count > (~0ULL - 2 * WavWriter::kMaxHeaderBytes) / bytesPerFrame)
        return usage("the output would have more bytes than 64 bits can count");
    return {};
}

// Whether the container holds the sample format.
Error checkContainer(const Plan &p) {
    if (const std::string why = refusal(p.container, p.format); !why.empty()) return usage(why);
    SF_INFO info{};
    info.samplerate = headerRate(p.target.numerator, p.target.denominator);
    info.channels = static_cast<int>(p.setup.channels);
    info.format = sndfileFormat(p.container, p.format, p.rawEndian);
    // A lossy encoder's limits (Opus's rates, MP3's channels) are refused here, before any output exists.
    if (const std::string why = encoderRefusal(p.container, info.samplerate, info.channels); !why.empty())
        return usage(why);
    if (const std::string why = containerRefusal(p.container, info.format, info.samplerate, info.channels);
        !why.empty())
        return usage(why);
    return {};
}

// Writes the output: the conversion in segments, then the output put in place; the summary on stderr.
int convert(const Plan &p, const Input &input, zel_resampler *first) {
    const Options &o = p.options;
    Sink sink;
    const u64 rate = static_cast<u64>(headerRate(p.target.numerator, p.target.denominator));
    if (Error e = sink.open({o.out, p.container, p.format, p.setup.channels, rate, p.begin,
                             input.lengthKnown ? p.count : ~0ULL, p.rawEndian}))
        return report(e);
    std::atomic<u64> written{0};
    u64 read = 0, clipped = 0;
    const double exactRate =
        static_cast<double>(p.target.numerator) / static_cast<double>(p.target.denominator);
    Progress progress(!o.quiet && isatty(STDERR_FILENO), written, p.count, exactRate);
    const Error failed =
        convertSegments({p.setup, p.begin, p.count, o.threads}, first, input, sink, written, read, clipped);
    progress.stop(true);
    if (failed) return sink.abandon(), report(failed);
    if (Error e = sink.finish(written.load())) return report(e);
    if (clipped > 0)
        std::fprintf(stderr, "resample: %llu samples clipped to the %d-bit range\n", clipped, p.format.bits);
    if (!o.quiet) {
        std::fprintf(stderr, "resample: %s: %llu frames at %d Hz -> %s: %llu frames at %s Hz\n", o.in.c_str(),
                     input.lengthKnown ? static_cast<u64>(input.info.frames) : read, input.info.samplerate,
                     o.out.c_str(), written.load(), o.rate.c_str());
    }
    return 0;
}

}  // namespace

}  // namespace resample

int main(int argc, char **argv) {
    using namespace resample;
    Plan p;
    std::string why;
    if (!parseOptions(argc, argv, p.options, why)) return report(usage(why));
    if (p.options.help || p.options.version) return about(p.options);
    if (Error e = checkNames(p)) return report(e);
    if (Error e = checkRaw(p)) return report(e);
    if (Error e = checkStreams(p.options)) return report(e);
    // From here a closed pipe is a failed write, not a signal, for the thread relaying stdin too.
    OutputFile::handleSignals();
    Input input;
    ResamplerPtr first;
    Error e = openInput(p.options.in, p.options.in, input, p.raw);
    if (!e) e = checkSamples(p, input);
    if (!e) e = createResampler(p, input, first);
    if (!e) e = planRange(p, input, first.get());
    if (!e) e = checkContainer(p);
    return e ? report(e) : convert(p, input, first.get());
}
