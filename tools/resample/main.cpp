// resample: converts an audio file, or a stream on stdin, to another sample rate with the zel resampler. It
// never writes over its input, never leaves a partial output, refuses before any count could wrap, treats a
// short or damaged input as an error, and says what went wrong in one line: exit 0 on success, 1 on a failure,
// 2 on a usage error, 3 when the output could not be written.
#include <sndfile.h>
#include <unistd.h>
#include <zel/resampler.h>
#include <zel/resampling_mapper.h>
#include <zel/version.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio_io.h"
#include "command_line.h"
#include "convert.h"
#include "options.h"
#include "output_file.h"
#include "quality_names.h"
#include "rate_text.h"

namespace {

using resample::u64;

constexpr u64 kMaxBlockSamples = 1ULL << 24;  // block x channels: 64 MB of floats
constexpr u64 kWavLimit = 0xFFFFFFFFULL;      // RIFF sizes are 32 bits; past this, RF64

int usage(const std::string &message) { return zel_cli::usageError("resample", message); }

int fail(int status, const std::string &message) {
    std::fprintf(stderr, "resample: %s\n", message.c_str());
    return status;
}

// The container OUT is written as: --type, else OUT's extension, else WAV. 0 for an unknown name.
int containerFor(const resample::Options &o, std::string &error) {
    static const struct {
        const char *name;
        int major;
    } kTypes[] = {{"wav", SF_FORMAT_WAV},   {"rf64", SF_FORMAT_RF64}, {"w64", SF_FORMAT_W64},
                  {"aiff", SF_FORMAT_AIFF}, {"aif", SF_FORMAT_AIFF},  {"au", SF_FORMAT_AU},
                  {"snd", SF_FORMAT_AU},    {"caf", SF_FORMAT_CAF},   {"flac", SF_FORMAT_FLAC}};
    std::string type = o.type;
    const size_t dot = o.out.rfind('.'), slash = o.out.rfind('/');
    const bool fromName = type.empty() && o.out != "-" && dot != std::string::npos &&
                          (slash == std::string::npos || dot > slash + 1);
    if (fromName) type = o.out.substr(dot + 1);
    if (type.empty()) return SF_FORMAT_WAV;
    for (char &c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto &t : kTypes) {
        if (type == t.name) return t.major;
    }
    error = fromName ? "cannot tell the container from '" + o.out + "'; name it with --type"
                     : "unknown type '" + o.type + "'";
    error += " (wav, rf64, w64, aiff, au, caf or flac)";
    return 0;
}

// The progress line on a terminal: frames, percent, speed; ends at 100% when the run completes.
class Progress {
public:
    Progress(bool show, const std::atomic<u64> &frames, u64 total, double rate)
        : frames_(frames), total_(total), rate_(rate) {
        if (show) thread_ = std::thread([this] { loop(); });
    }
    ~Progress() { stop(false); }
    void stop(bool complete) {
        if (!thread_.joinable()) return;
        done_ = true;
        thread_.join();
        if (shown_ && complete) print();
        if (shown_) std::fputs("\n", stderr);
    }

private:
    void loop() {
        while (!done_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            if (!done_ && seconds() >= 1) print(), shown_ = true;
        }
    }
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    void print() const {
        const auto frames = static_cast<double>(frames_.load());
        std::fprintf(stderr, "\rresample: %.0f frames", frames);
        if (total_ != ~0ULL && total_ > 0)
            std::fprintf(stderr, " (%.0f%%)", 100.0 * frames / static_cast<double>(total_));
        std::fprintf(stderr, ", %.0fx real time   ", frames / rate_ / seconds());
    }

    const std::atomic<u64> &frames_;
    u64 total_;
    double rate_;
    std::atomic<bool> done_{false};
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::thread thread_;
};

}  // namespace

int main(int argc, char **argv) {
    resample::Options a;
    std::string why;
    if (!resample::parseOptions(argc, argv, a, why)) return usage(why);
    if (a.help || a.version) {
        const std::string text =
            a.help ? resample::kUsage : std::string("resample (zel) ") + ZEL_VERSION_STRING + "\n";
        if (zel_cli::printAll(text)) return 0;
        return fail(zel_cli::kExitWriteError,
                    std::string("cannot write the output: ") + std::strerror(errno));
    }
    zel_cli::Rate target;
    if (!zel_cli::parseRate(a.rate, target, why)) return usage("rate '" + a.rate + "' " + why);
    const int quality = zel_cli::qualityFromName(a.quality);
    if (quality < 0)
        return usage("unknown quality '" + a.quality + "' (use linear, medium, high, very-high or max)");
    if (quality == ZEL_QUALITY_LINEAR && a.bandwidth > 0)
        return usage("--bandwidth needs a filtered quality, not linear");
    int bits = -1, floatBits = 32;
    if (a.format == "float" || a.format == "double") bits = 0, floatBits = a.format == "float" ? 32 : 64;
    if (a.format == "pcm16") bits = 16;
    if (a.format == "pcm24") bits = 24;
    if (a.format == "pcm32") bits = 32;
    if (bits < 0 && a.format != "same")
        return usage("unknown format '" + a.format + "' (use same, float, double, pcm16, pcm24 or pcm32)");
    const int major = containerFor(a, why);
    if (major == 0) return usage(why);
    if (a.in == "-" && isatty(STDIN_FILENO)) return usage("will not read audio from a terminal");
    if (a.out == "-" && isatty(STDOUT_FILENO)) return usage("will not write audio to a terminal");
    // The output may not be the input, however either is named: a path, or stdin or stdout redirected.
    const bool same = a.in == "-" ? (a.out == "-" ? resample::sameFile(STDIN_FILENO, STDOUT_FILENO)
                                                  : resample::sameFile(STDIN_FILENO, a.out))
                                  : (a.out == "-" ? resample::sameFile(STDOUT_FILENO, a.in)
                                                  : resample::sameFile(a.in, a.out));
    if (same) return usage("'" + a.out + "' is the input; choose another output");

    // The input. From here a closed pipe is a failed write, not a signal, for the thread relaying stdin too.
    resample::OutputFile::handleSignals();
    resample::Input input;
    if (!resample::openInput(a.in, input, why)) return fail(1, "cannot read '" + a.in + "': " + why);
    const int inSubtype = input.info.format & SF_FORMAT_SUBMASK;
    if (bits < 0) {
        bits = inSubtype == SF_FORMAT_PCM_16   ? 16
               : inSubtype == SF_FORMAT_PCM_24 ? 24
               : inSubtype == SF_FORMAT_PCM_32 ? 32
                                               : 0;
        floatBits = inSubtype == SF_FORMAT_DOUBLE ? 64 : 32;
        if (bits == 0 && inSubtype != SF_FORMAT_FLOAT && inSubtype != SF_FORMAT_DOUBLE)
            return fail(1, "'" + a.in + "' is neither 16/24/32-bit PCM nor float; choose --format");
    }
    if (a.dither && bits == 0) return usage("--dither needs pcm16, pcm24 or pcm32 output");
    const auto channels = static_cast<u64>(input.info.channels);
    if (a.block * channels > kMaxBlockSamples)
        return usage("--block " + std::to_string(a.block) + " x " + std::to_string(channels) +
                     " channels is more than a block may hold");
    zel_cli::Rate source;
    source.numerator = static_cast<u64>(input.info.samplerate);
    source.text = std::to_string(input.info.samplerate);
    mirelo::ResamplingMapper mapper;
    if (!zel_cli::configureMapper(mapper, source, target, why)) return usage(why);
    const double exactRate = static_cast<double>(target.numerator) / static_cast<double>(target.denominator);
    if (exactRate < 1 || exactRate > 2147483647.0)
        return usage("rate " + a.rate + " does not fit a file header");
    resample::ConversionSetup setup{
        source.numerator, target.numerator, target.denominator, static_cast<unsigned>(channels), quality,
        a.bandwidth,      a.block};
    // Segment 0's resampler, made before any output exists so that a refusal leaves nothing behind. With a
    // bandwidth, EINVAL can only mean a filter too long for these rates.
    const resample::ResamplerPtr first = resample::makeResampler(setup);
    if (first == nullptr && errno == EINVAL && a.bandwidth > 0)
        return usage("--bandwidth " + std::to_string(a.bandwidth).substr(0, 4) + " at quality " + a.quality +
                     " needs a longer filter than the resampler allows from " + source.text + " to " +
                     a.rate + " Hz");
    if (first == nullptr) return fail(1, "'" + a.in + "': cannot convert: " + std::strerror(errno));

    // The output range: frames begin .. begin + count - 1 of the whole conversion, ceil(N * T / S) frames when
    // the input's length N is known.
    u64 total = ~0ULL;
    if (input.lengthKnown &&
        zel_resampler_output_frames(first.get(), static_cast<u64>(input.info.frames), &total))
        return usage("the output would have more frames than 64 bits can count");
    const u64 begin = std::min(a.start, total);
    const u64 count = std::min(a.frames, total - begin);  // ~0 - begin when the length is unknown
    // A start the resampler cannot reach exactly is refused before any output exists.
    if (unsigned long long at = 0; zel_resampler_seek(first.get(), begin, &at) != 0)
        return fail(1, "'" + a.in + "': " + resample::seekError(begin));
    if (a.threads > 1 && (input.reopenPath.empty() || !input.lengthKnown))
        return usage("--threads above 1 needs a seekable input of known length, not a pipe");
    const u64 bytesPerFrame = channels * static_cast<u64>(bits == 0 ? floatBits : bits) / 8;
    if (input.lengthKnown && count > (~0ULL - 2 * resample::WavWriter::kMaxHeaderBytes) / bytesPerFrame)
        return usage("the output would have more bytes than 64 bits can count");
    const bool ownWav = major == SF_FORMAT_WAV || major == SF_FORMAT_RF64;
    SF_INFO outInfo{};
    outInfo.samplerate = static_cast<int>(std::lround(exactRate));
    outInfo.channels = input.info.channels;
    outInfo.format = (ownWav ? SF_FORMAT_WAV : major) | (bits == 16        ? SF_FORMAT_PCM_16
                                                         : bits == 24      ? SF_FORMAT_PCM_24
                                                         : bits == 32      ? SF_FORMAT_PCM_32
                                                         : floatBits == 64 ? SF_FORMAT_DOUBLE
                                                                           : SF_FORMAT_FLOAT);
    if (major == SF_FORMAT_FLAC && bits != 16 && bits != 24)
        return usage(std::string("FLAC holds 16- or 24-bit PCM, not ") +
                     (bits == 32        ? "32-bit PCM"
                      : floatBits == 64 ? "double"
                                        : "float") +
                     "; choose --format pcm16 or pcm24");
    if (!sf_format_check(&outInfo)) return usage("cannot write this sample format in this container");

    // The output. WAV becomes RF64 when its size would not fit the 32-bit RIFF fields; a test may lower that
    // threshold through ZEL_RESAMPLE_RF64_THRESHOLD to take the same path with a small file.
    resample::OutputFile out;
    if (!out.open(a.out, why)) return fail(zel_cli::kExitWriteError, "cannot write '" + a.out + "': " + why);
    const auto writeFailed = [&](const std::string &reason) {
        out.abandon();
        return fail(zel_cli::kExitWriteError, "cannot write '" + a.out + "': " + reason);
    };
    resample::Encoding encoding;
    encoding.bits = bits;
    encoding.floatBits = floatBits;
    encoding.dither = a.dither;
    std::unique_ptr<resample::WavWriter> wav;
    std::unique_ptr<resample::FrameWriter> writer;
    std::unique_ptr<SNDFILE, int (*)(SNDFILE *)> sndfile(nullptr, sf_close);
    int spool = -1;  // a libsndfile container that cannot stream is built here, then copied to the output
    if (ownWav) {
        if (!out.positional() && !input.lengthKnown)
            return usage("cannot stream WAV of unknown length; choose --type au or a file");
        u64 threshold = kWavLimit;
        if (const char *env = std::getenv("ZEL_RESAMPLE_RF64_THRESHOLD"))
            threshold = std::strtoull(env, nullptr, 10);
        wav = std::make_unique<resample::WavWriter>(out.fd(), channels, static_cast<u64>(outInfo.samplerate),
                                                    bits == 0 ? floatBits : bits, bits == 0, out.positional(),
                                                    threshold, major == SF_FORMAT_RF64);
        if (!wav->header(input.lengthKnown ? count : 0)) return writeFailed(std::strerror(wav->error()));
        writer = std::make_unique<resample::WavFrameWriter>(*wav, encoding, channels, begin);
    } else {
        int fd = out.fd();
        if (!out.positional() && major != SF_FORMAT_AU && (fd = spool = resample::openSpool(why)) < 0)
            return writeFailed(why);
        sndfile.reset(sf_open_fd(fd, SFM_WRITE, &outInfo, SF_FALSE));
        if (sndfile == nullptr) return writeFailed(sf_strerror(nullptr));
        writer = std::make_unique<resample::SndfileWriter>(sndfile.get(), encoding, channels);
    }

    // The conversion, in segments: each thread reads its own part of the input. Positional WAV takes every
    // segment at its own offset; otherwise segment 0 goes out as it comes and the others are spooled and written
    // after it, in order.
    std::atomic<u64> written{0};
    const u64 segments = std::min<u64>(a.threads, std::max<u64>(count, 1));
    const bool atOffsets = wav != nullptr && out.positional();
    const auto firstOf = [&](u64 k) { return begin + count / segments * k + std::min(k, count % segments); };
    const auto segmentAt = [&](u64 k) { return resample::Segment{firstOf(k), firstOf(k + 1) - firstOf(k)}; };
    std::vector<std::string> errors(segments);
    std::vector<std::unique_ptr<resample::SpoolWriter>> spools(segments);
    std::vector<std::thread> workers;
    for (u64 k = 1; k < segments; ++k) {
        if (!atOffsets) spools[k] = std::make_unique<resample::SpoolWriter>(channels);
        workers.emplace_back([&, k] {
            resample::Input again;
            if (!resample::openInput(input.reopenPath, again, errors[k])) {
                errors[k] = "cannot read '" + a.in + "': " + errors[k];
                return;
            }
            resample::SndfileReader reader(again.file, a.in, channels, static_cast<u64>(input.info.frames),
                                           true);
            std::unique_ptr<resample::FrameWriter> atOffset;
            if (atOffsets)
                atOffset = std::make_unique<resample::WavFrameWriter>(*wav, encoding, channels, begin);
            resample::FrameWriter &to = atOffsets ? *atOffset : *spools[k];
            const resample::ResamplerPtr r = resample::makeResampler(setup);
            u64 done = 0;
            errors[k] = r == nullptr ? std::string("cannot convert: ") + std::strerror(errno)
                                     : resample::convertSegment(r.get(), setup, segmentAt(k), reader, to,
                                                                written, done);
        });
    }
    Progress progress(!a.quiet && isatty(STDERR_FILENO), written, count, exactRate);
    resample::SndfileReader reader(input.file, a.in, channels,
                                   input.lengthKnown ? static_cast<u64>(input.info.frames) : ~0ULL,
                                   input.seekable);
    u64 done = 0;
    if (count > 0)
        errors[0] =
            resample::convertSegment(first.get(), setup, segmentAt(0), reader, *writer, written, done);
    for (u64 k = 1; k < segments; ++k) {
        workers[k - 1].join();
        if (!atOffsets && errors[0].empty() && errors[k].empty() &&
            !spools[k]->drainInto(*writer, segmentAt(k).first))
            errors[k] = spools[k]->error();
    }
    progress.stop(true);
    for (const std::string &e : errors) {
        if (e.compare(0, 7, "write: ") == 0) return writeFailed(e.substr(7));
        if (!e.empty()) {
            out.abandon();
            return fail(1, e);
        }
    }

    // Finishing: the WAV header's sizes; a libsndfile container closed, and copied out from its spool.
    const u64 frames = written.load();
    if (wav != nullptr && !wav->finish(frames)) return writeFailed(std::strerror(wav->error()));
    if (sndfile != nullptr) {
        sf_write_sync(sndfile.get());
        if (sf_close(sndfile.release()) != 0) return writeFailed("cannot finish the container");
        // libsndfile's close does not report a failure to write the last frames or the final header (a full
        // disk), so a file is read back and must hold every frame written.
        u64 held = 0;
        if (resample::framesIn(spool >= 0 ? spool : out.fd(), held) && held != frames)
            return writeFailed("the container could not be finished: it does not read back as the " +
                               std::to_string(frames) + " frames written");
        if (spool >= 0) {
            const bool copied = resample::copyAll(spool, out.fd());
            close(spool);
            if (!copied) return writeFailed(std::strerror(errno != 0 ? errno : EIO));
        }
    }
    if (!out.commit(why)) return fail(zel_cli::kExitWriteError, "cannot write '" + a.out + "': " + why);
    if (encoding.clipped > 0) {
        std::fprintf(stderr, "resample: %llu samples clipped to the %d-bit range\n", encoding.clipped.load(),
                     bits);
    }
    if (!a.quiet) {
        std::fprintf(stderr, "resample: %s: %llu frames at %d Hz -> %s: %llu frames at %s Hz\n", a.in.c_str(),
                     input.lengthKnown ? static_cast<u64>(input.info.frames) : reader.framesRead(),
                     input.info.samplerate, a.out.c_str(), frames, a.rate.c_str());
    }
    return 0;
}
