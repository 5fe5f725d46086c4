// resample: converts an audio file, or a stream on stdin, to another sample rate with a band-limited filter at
// exact positions. It never writes over its input, never leaves a partial output, refuses before any count
// could wrap, and says what went wrong in one line: exit 0 on success, 1 on a failure, 2 on a usage error.
#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zel/math.h>
#include <zel/resampling_mapper.h>
#include <zel/version.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dither.h"
#include "engine.h"
#include "rate_text.h"
#include "stream.h"

namespace {

using resample::u64;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr u64 kMaxBlock = 65536;              // output frames per block
constexpr u64 kMaxBlockSamples = 1ULL << 24;  // block x channels: 64 MB of floats
constexpr u64 kMaxThreads = 64;
constexpr u64 kWavLimit = 0xFFFFFFFFULL;  // RIFF sizes are 32 bits; past this, RF64

const char kUsage[] =
    "Usage: resample [OPTIONS] IN OUT --rate R\n"
    "Converts the audio file IN (any format libsndfile reads; - for stdin) to the sample rate R and writes "
    "OUT\n"
    "(- for stdout). Every output frame is computed at its exact position t * S / T in the input with a\n"
    "linear-phase band-limited filter, so the output does not depend on the block size, the start frame or\n"
    "the number of threads, bit for bit.\n"
    "\n"
    "  -r, --rate R        the output rate: a whole number (48000) or an exact fraction (30000/1001)\n"
    "  -q, --quality Q     linear, medium, high (default) or very-high (see the README for their figures)\n"
    "  -f, --format F      sample format of OUT: same (default, as IN), float, pcm16 or pcm24\n"
    "  -t, --type T        container of OUT: wav (default, or from OUT's extension), rf64, w64, aiff, au,\n"
    "                      caf or flac; WAV switches to RF64 when the output will pass 4 GiB\n"
    "  -b, --block N       output frames per block, 1 to 65536 (default 512)\n"
    "  -j, --threads K     convert K segments in parallel, 1 to 64 (default 1; IN must be a file)\n"
    "      --start N       begin at output frame N (default 0)\n"
    "      --frames M      write at most M output frames (default: to the end)\n"
    "      --dither        add triangular dither of one step of the output (pcm16 or pcm24 output only)\n"
    "      --quiet         no progress line and no summary on stderr\n"
    "  -h, --help          show this help;  --version  show the version\n"
    "\n"
    "A regular OUT is written beside its destination and renamed into place only when complete; a device,\n"
    "a pipe or stdout is written through. IN and OUT may not be the same file. An interrupted run removes\n"
    "its partial output. Exit status: 0 success, 1 failure (one line on stderr), 2 usage error.\n";

// The temporary output, removed on any exit but success, by the signal handler too.
char gTemporary[4096];
volatile sig_atomic_t gHaveTemporary = 0;

extern "C" void onSignal(int signal) {
    if (gHaveTemporary != 0) unlink(gTemporary);
    static const char kLimit[] =
        "resample: the output passed the file-size limit; removed the partial output\n";
    static const char kStopped[] = "resample: interrupted; removed the partial output\n";
    const bool limit = signal == SIGXFSZ;
    (void)!write(STDERR_FILENO, limit ? kLimit : kStopped, limit ? sizeof kLimit - 1 : sizeof kStopped - 1);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void removeTemporary() {
    if (gHaveTemporary != 0) unlink(gTemporary);
    gHaveTemporary = 0;
}

int fail(const std::string &message) {
    removeTemporary();
    std::fprintf(stderr, "resample: %s\n", message.c_str());
    return kExitFailure;
}

int usage(const std::string &message) {
    std::fprintf(stderr, "resample: %s (see --help)\n", message.c_str());
    return kExitUsage;
}

struct Args {
    std::string in, out, rate, quality = "high", format = "same", type;
    u64 block = 512, threads = 1, start = 0, frames = ~0ULL;
    bool quiet = false, help = false, version = false, dither = false;
};

// Parses the command line; on a usage error returns false with the message.
bool parseArgs(int argc, char **argv, Args &a, std::string &error) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        const size_t equals = arg.find('=');
        const bool inline_ = arg.compare(0, 2, "--") == 0 && equals != std::string::npos;
        if (inline_) value = arg.substr(equals + 1), arg = arg.substr(0, equals);
        const auto take = [&](std::string &into) {
            if (inline_) return into = value, true;
            if (i + 1 >= argc) return error = arg + " needs a value", false;
            return into = argv[++i], true;
        };
        const auto number = [&](u64 &into, u64 low, u64 high) {
            std::string text, why;
            if (!take(text)) return false;
            if (!zel_cli::parseUnsigned(text, into, why))
                return error = arg + " '" + text + "' " + why, false;
            if (into < low || into > high)
                return error = arg + " must be " + std::to_string(low) + " to " + std::to_string(high), false;
            return true;
        };
        bool ok = true;
        if (arg == "-h" || arg == "--help") {
            a.help = true;
        } else if (arg == "--version") {
            a.version = true;
        } else if (arg == "--quiet") {
            a.quiet = true;
        } else if (arg == "--dither") {
            a.dither = true;
        } else if (arg == "-r" || arg == "--rate") {
            ok = take(a.rate);
        } else if (arg == "-q" || arg == "--quality") {
            ok = take(a.quality);
        } else if (arg == "-f" || arg == "--format") {
            ok = take(a.format);
        } else if (arg == "-t" || arg == "--type") {
            ok = take(a.type);
        } else if (arg == "-b" || arg == "--block") {
            ok = number(a.block, 1, kMaxBlock);
        } else if (arg == "-j" || arg == "--threads") {
            ok = number(a.threads, 1, kMaxThreads);
        } else if (arg == "--start") {
            ok = number(a.start, 0, ~0ULL - 1);
        } else if (arg == "--frames") {
            ok = number(a.frames, 0, ~0ULL);
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option '" + arg + "'";
            return false;
        } else {
            positional.push_back(arg);
        }
        if (!ok) return false;
    }
    if (a.help || a.version) return true;
    if (positional.size() != 2 || a.rate.empty()) {
        error = positional.size() > 2 ? "unexpected extra argument '" + positional[2] + "'"
                                      : "needs IN, OUT and --rate";
        return false;
    }
    a.in = positional[0];
    a.out = positional[1];
    return true;
}

// The container OUT is written as: --type, else OUT's extension, else WAV.
bool containerFor(const Args &a, int &major, std::string &error) {
    static const struct {
        const char *name;
        int major;
    } kTypes[] = {{"wav", SF_FORMAT_WAV},   {"rf64", SF_FORMAT_RF64}, {"w64", SF_FORMAT_W64},
                  {"aiff", SF_FORMAT_AIFF}, {"aif", SF_FORMAT_AIFF},  {"au", SF_FORMAT_AU},
                  {"caf", SF_FORMAT_CAF},   {"flac", SF_FORMAT_FLAC}};
    std::string type = a.type;
    if (type.empty()) {
        const size_t dot = a.out.rfind('.'), slash = a.out.rfind('/');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
            type = a.out.substr(dot + 1);
        for (char &c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        major = SF_FORMAT_WAV;
        for (const auto &t : kTypes) {
            if (type == t.name) major = t.major;
        }
        return true;
    }
    for (const auto &t : kTypes) {
        if (type == t.name) return major = t.major, true;
    }
    error = "unknown type '" + a.type + "' (use wav, rf64, w64, aiff, au, caf or flac)";
    return false;
}

class SndfileSource : public resample::FrameSource {
public:
    SndfileSource(SNDFILE *file, bool seekable) : file_(file), seekable_(seekable) {}
    u64 read(float *out, u64 frames) override {
        const sf_count_t got = sf_readf_float(file_, out, static_cast<sf_count_t>(frames));
        return got > 0 ? static_cast<u64>(got) : 0;
    }
    // Only a seekable file seeks; the driver reads and drops otherwise.
    bool seek(u64 frame) override {
        return seekable_ && frame < static_cast<u64>(std::numeric_limits<sf_count_t>::max()) &&
               sf_seek(file_, static_cast<sf_count_t>(frame), SEEK_SET) >= 0;
    }

private:
    SNDFILE *file_;
    bool seekable_;
};

// Counts frames as they pass, for the progress line.
class CountingSink : public resample::FrameSink {
public:
    CountingSink(resample::FrameSink &next, std::atomic<u64> &count) : next_(next), count_(count) {}
    bool write(const float *data, u64 frames) override {
        if (!next_.write(data, frames)) return false;
        count_ += frames;
        return true;
    }

private:
    resample::FrameSink &next_;
    std::atomic<u64> &count_;
};

class SndfileSink : public resample::FrameSink {
public:
    explicit SndfileSink(SNDFILE *file) : file_(file) {}
    bool write(const float *data, u64 frames) override {
        return sf_writef_float(file_, data, static_cast<sf_count_t>(frames)) ==
               static_cast<sf_count_t>(frames);
    }

private:
    SNDFILE *file_;
};

// A segment's frames, as raw floats in an unnamed temporary file: bounded memory whatever its length.
class SpoolSink : public resample::FrameSink {
public:
    explicit SpoolSink(u64 channels) : file_(std::tmpfile()), channels_(channels) {}
    ~SpoolSink() override {
        if (file_ != nullptr) std::fclose(file_);
    }
    bool write(const float *data, u64 frames) override {
        return file_ != nullptr && std::fwrite(data, sizeof(float) * channels_, frames, file_) == frames;
    }
    // Copies every frame into `out`, in order.
    bool drainInto(resample::FrameSink &out) {
        if (file_ == nullptr || std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) return false;
        std::vector<float> buffer(4096 * channels_);
        for (;;) {
            const size_t got = std::fread(buffer.data(), sizeof(float) * channels_, 4096, file_);
            if (got > 0 && !out.write(buffer.data(), got)) return false;
            if (got < 4096) return std::ferror(file_) == 0;
        }
    }

private:
    std::FILE *file_;
    u64 channels_;
};

// Where OUT really goes: a regular file (or a new one) is written to a temporary file beside its destination,
// following symbolic links, and renamed at the end; anything else is written through.
struct Destination {
    bool throughStdout = false, direct = false;
    std::string final;  // the path renamed into, for a regular file
};

bool resolveDestination(const std::string &out, Destination &d, std::string &error) {
    if (out == "-") return d.throughStdout = true, true;
    struct stat st {};
    if (stat(out.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) return error = "cannot write '" + out + "': it is a directory", false;
        return d.direct = true, true;
    }
    // Follows symbolic links, even to a file not yet there, so that the link stays and its target is replaced.
    d.final = out;
    for (int hops = 0; hops < 40; ++hops) {
        char link[4096];
        const ssize_t n = readlink(d.final.c_str(), link, sizeof link - 1);
        if (n < 0) return true;
        link[n] = '\0';
        const size_t slash = d.final.rfind('/');
        d.final = link[0] == '/' || slash == std::string::npos ? std::string(link)
                                                               : d.final.substr(0, slash + 1) + link;
    }
    error = "cannot write '" + out + "': too many levels of symbolic links";
    return false;
}

// Refuses an output that is the input itself, before anything is opened for writing.
bool sameFile(const std::string &in, const std::string &out) {
    if (in == "-" || out == "-") return false;
    struct stat a {
    }, b{};
    return stat(in.c_str(), &a) == 0 && stat(out.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Bytes per sample of the sample formats the tool writes: PCM16, PCM24, else float.
u64 sampleBytes(int subtype) { return subtype == SF_FORMAT_PCM_16 ? 2 : subtype == SF_FORMAT_PCM_24 ? 3 : 4; }

// Creates a temporary file beside the destination, with the mode a new file would get; returns its descriptor.
int createTemporary(const Destination &d, std::string &error) {
    const size_t slash = d.final.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : d.final.substr(0, slash);
    const std::string base = slash == std::string::npos ? d.final : d.final.substr(slash + 1);
    const std::string pattern = dir + "/." + base + ".resample-XXXXXX";
    if (pattern.size() >= sizeof gTemporary) return error = "the path is too long", -1;
    std::memcpy(gTemporary, pattern.c_str(), pattern.size() + 1);
    const int fd = mkstemp(gTemporary);
    if (fd < 0) return error = std::strerror(errno), -1;
    gHaveTemporary = 1;
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) return error = std::strerror(errno), -1;
    return fd;
}

// WAV written by the tool itself, since libsndfile can write it neither to a pipe nor from several threads: a
// header whose 36-byte JUNK chunk becomes RF64's ds64 when the file passes the 4 GiB of RIFF's 32-bit sizes,
// then the samples, converted as libsndfile converts them. More than two channels or 24-bit PCM take the
// extensible fmt chunk that readers expect for them, and float data a fact chunk, as non-PCM data requires. On a
// seekable output the header is rewritten with the final sizes at the end and each segment is written at its
// own offset; on a pipe the header carries the sizes known in advance.
class WavWriter {
public:
    static constexpr u64 kMaxHeaderBytes = 12 + 36 + 48 + 12 + 8;

    WavWriter(int fd, const SF_INFO &info, bool seekable, u64 rf64Threshold, bool forceRf64)
        : fd_(fd),
          seekable_(seekable),
          channels_(static_cast<u64>(info.channels)),
          rate_(static_cast<u64>(info.samplerate)),
          threshold_(rf64Threshold),
          forceRf64_(forceRf64) {
        bytes_ = sampleBytes(info.format & SF_FORMAT_SUBMASK);
        extensible_ = channels_ > 2 || bytes_ == 3;
        headerBytes_ = 12 + 36 + (extensible_ ? 48ULL : 24ULL) + (bytes_ == 4 ? 12ULL : 0ULL) + 8;
    }

    u64 frameBytes() const { return channels_ * bytes_; }

    // Writes the header for `frames` frames (counts were checked: frames * frameBytes fits with room).
    bool header(u64 frames) {
        const u64 data = frames * frameBytes(), pad = data & 1;
        const bool rf64 = forceRf64_ || headerBytes_ + data + pad > threshold_;
        std::string h;
        const auto field = [&h](u64 v, int n) {
            for (int i = 0; i < n; ++i) h += static_cast<char>((v >> (8 * i)) & 0xFF);
        };
        const u64 riff = headerBytes_ - 8 + data + pad, tag = bytes_ == 4 ? 3 : 1;
        h += rf64 ? "RF64" : "RIFF";
        field(rf64 ? 0xFFFFFFFFULL : riff, 4);
        h += rf64 ? "WAVEds64" : "WAVEJUNK";
        field(28, 4);
        field(rf64 ? riff : 0, 8), field(rf64 ? data : 0, 8), field(rf64 ? frames : 0, 8), field(0, 4);
        h += "fmt ";
        field(extensible_ ? 40 : 16, 4), field(extensible_ ? 0xFFFE : tag, 2), field(channels_, 2);
        field(rate_, 4), field(rate_ * frameBytes(), 4), field(frameBytes(), 2), field(8 * bytes_, 2);
        if (extensible_) {
            // All bits valid; front centre for mono, front left and right for stereo, else no speaker positions;
            // then the format as a GUID: the tag, then the fixed tail of every such GUID.
            field(22, 2), field(8 * bytes_, 2), field(channels_ == 1 ? 0x4 : channels_ == 2 ? 0x3 : 0, 4);
            field(tag, 2), h.append("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
        }
        if (bytes_ == 4) {
            h += "fact";
            field(4, 4), field(rf64 ? 0xFFFFFFFFULL : frames, 4);  // RF64 keeps the frame count in ds64
        }
        h += "data";
        field(rf64 ? 0xFFFFFFFFULL : data, 4);
        return put(0, h.data(), h.size());
    }

    // Writes frames at frame offset `at` of the data (in order on a pipe); several threads may write at once.
    bool write(u64 at, const float *data, u64 frames, std::vector<char> &buffer) {
        buffer.resize(frames * frameBytes());
        char *p = buffer.data();
        for (u64 i = 0; i < frames * channels_; ++i) {
            if (bytes_ == 4) {
                std::memcpy(p, &data[i], 4);  // every target of this tool is little-endian
                p += 4;
                continue;
            }
            // As libsndfile converts with clipping on: to 32 bits, rounded, then the top 16 or 24 bits.
            const double v = static_cast<double>(data[i]) * 2147483648.0;
            const long long full = v >= 2147483647.0    ? 2147483647LL
                                   : v <= -2147483648.0 ? -2147483648LL
                                                        : std::llrint(v);
            const auto q = static_cast<unsigned long long>(full >> (bytes_ == 2 ? 16 : 8));
            for (u64 b = 0; b < bytes_; ++b) *p++ = static_cast<char>((q >> (8 * b)) & 0xFF);
        }
        return put(headerBytes_ + at * frameBytes(), buffer.data(), buffer.size());
    }

    // Ends the data after `frames` frames: the pad byte of an odd size, and on a seekable output the sizes.
    bool finish(u64 frames) {
        const char zero = 0;
        const u64 data = frames * frameBytes();
        if ((data & 1) != 0 && !put(headerBytes_ + data, &zero, 1)) return false;
        return !seekable_ || header(frames);
    }

    int error() const { return error_; }

private:
    bool put(u64 offset, const char *p, size_t n) {
        while (n > 0) {
            const ssize_t w =
                seekable_ ? ::pwrite(fd_, p, n, static_cast<off_t>(offset)) : ::write(fd_, p, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return error_ = w < 0 ? errno : EIO, false;
            p += w, n -= static_cast<size_t>(w), offset += static_cast<u64>(w);
        }
        return true;
    }

    int fd_;
    bool seekable_;
    u64 channels_, rate_, bytes_ = 4, threshold_, headerBytes_ = kMaxHeaderBytes;
    bool forceRf64_, extensible_ = false;
    std::atomic<int> error_{0};
};

// Dithers frames on their way to `next`, the first being output frame `first`; passes them as they are when
// `step` is 0.
class DitherSink : public resample::FrameSink {
public:
    DitherSink(resample::FrameSink &next, u64 channels, u64 first, double step)
        : next_(next), channels_(channels), nextFrame_(first), step_(step) {}
    bool write(const float *data, u64 frames) override {
        if (step_ == 0) return next_.write(data, frames);
        buffer_.assign(data, data + frames * channels_);
        resample::addDither(buffer_.data(), frames, channels_, nextFrame_, step_);
        nextFrame_ += frames;
        return next_.write(buffer_.data(), frames);
    }

private:
    resample::FrameSink &next_;
    u64 channels_, nextFrame_;
    double step_;
    std::vector<float> buffer_;
};

// One segment's frames into a WavWriter, from its first frame's offset on.
class WavSink : public resample::FrameSink {
public:
    WavSink(WavWriter *writer, u64 at) : writer_(writer), at_(at) {}
    bool write(const float *data, u64 frames) override {
        if (!writer_->write(at_, data, frames, buffer_)) return false;
        at_ += frames;
        return true;
    }

private:
    WavWriter *writer_;
    u64 at_;
    std::vector<char> buffer_;
};

}  // namespace

int main(int argc, char **argv) {
    Args a;
    std::string why;
    if (!parseArgs(argc, argv, a, why)) return usage(why);
    if (a.help) return std::fputs(kUsage, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : kExitFailure;
    if (a.version) return std::printf("resample (zel) %s\n", ZEL_VERSION_STRING) > 0 ? 0 : kExitFailure;
    zel_cli::Rate target;
    if (!zel_cli::parseRate(a.rate, target, why)) return usage("rate '" + a.rate + "' " + why);
    const resample::Preset *preset = resample::findPreset(a.quality);
    if (preset == nullptr)
        return usage("unknown quality '" + a.quality + "' (use " + resample::presetNames() + ")");
    int subtype = 0, major = 0;
    if (a.format == "float") subtype = SF_FORMAT_FLOAT;
    if (a.format == "pcm16") subtype = SF_FORMAT_PCM_16;
    if (a.format == "pcm24") subtype = SF_FORMAT_PCM_24;
    if (subtype == 0 && a.format != "same")
        return usage("unknown format '" + a.format + "' (use same, float, pcm16 or pcm24)");
    if (!containerFor(a, major, why)) return usage(why);
    if (a.threads > 1 && a.in == "-") return usage("--threads above 1 needs a file to read, not a pipe");
    if (a.in == "-" && a.out == "-" && isatty(STDIN_FILENO))
        return usage("will not read audio from a terminal");
    if (sameFile(a.in, a.out)) return usage("'" + a.out + "' is the input; choose another output");

    // The input.
    SF_INFO inInfo{};
    SNDFILE *in = a.in == "-" ? sf_open_fd(STDIN_FILENO, SFM_READ, &inInfo, SF_FALSE)
                              : sf_open(a.in.c_str(), SFM_READ, &inInfo);
    if (in == nullptr) return fail("cannot read '" + a.in + "': " + sf_strerror(nullptr));
    const std::unique_ptr<SNDFILE, int (*)(SNDFILE *)> inGuard(in, sf_close);
    const int inSubtype = inInfo.format & SF_FORMAT_SUBMASK;
    if (subtype == 0) {
        if (inSubtype != SF_FORMAT_PCM_16 && inSubtype != SF_FORMAT_PCM_24 && inSubtype != SF_FORMAT_FLOAT)
            return fail("'" + a.in + "' is neither 16/24-bit PCM nor float; choose --format");
        subtype = inSubtype;
    }
    if (a.dither && subtype == SF_FORMAT_FLOAT) return usage("--dither needs pcm16 or pcm24 output");
    const double ditherStep = !a.dither ? 0 : subtype == SF_FORMAT_PCM_16 ? 0x1p-15 : 0x1p-23;
    const auto channels = static_cast<u64>(inInfo.channels);
    if (a.block * channels > kMaxBlockSamples)
        return usage("--block " + std::to_string(a.block) + " x " + std::to_string(channels) +
                     " channels is more than a block may hold");
    zel_cli::Rate source;
    source.numerator = static_cast<u64>(inInfo.samplerate);
    source.text = std::to_string(inInfo.samplerate);
    mirelo::ResamplingMapper check;
    if (!zel_cli::configureMapper(check, source, target, why)) return usage(why);
    resample::Engine engine;
    if (!engine.configure({source.numerator, 1}, {target.numerator, target.denominator}, inInfo.channels,
                          *preset, why)) {
        return fail("'" + a.in + "': " + why);
    }

    // The output range: frames start .. end - 1 of the whole conversion, when the input's length is known.
    const bool lengthKnown = inInfo.frames >= 0 && inInfo.frames < std::numeric_limits<sf_count_t>::max();
    u64 total = ~0ULL;
    if (lengthKnown) {
        total = 0;
        if (inInfo.frames > 0 && safe_muldiv_llong_with_remainder(
                                     static_cast<u64>(inInfo.frames) - 1, engine.mapper().targetCommonRate,
                                     engine.mapper().sourceCommonRate, &total, nullptr) == 0)
            ++total;
    }
    const u64 begin = std::min(a.start, total);
    const u64 count = std::min(a.frames, total - begin);  // ~0 - begin when the length is unknown
    if (a.threads > 1 && !(inInfo.seekable && lengthKnown))
        return usage("--threads above 1 needs a seekable input of known length");

    // The output's format. WAV becomes RF64 when its size would not fit the 32-bit RIFF fields; a test may lower
    // that threshold through ZEL_RESAMPLE_RF64_THRESHOLD to take the same path with a small file.
    const u64 bytesPerFrame = channels * sampleBytes(subtype);
    u64 threshold = kWavLimit;
    if (const char *env = std::getenv("ZEL_RESAMPLE_RF64_THRESHOLD"))
        threshold = std::strtoull(env, nullptr, 10);
    const bool ownWav = major == SF_FORMAT_WAV || major == SF_FORMAT_RF64;
    if (lengthKnown && count > (~0ULL - 2 * WavWriter::kMaxHeaderBytes) / bytesPerFrame)
        return usage("the output would have more bytes than 64 bits can count");
    const double exactRate = static_cast<double>(target.numerator) / static_cast<double>(target.denominator);
    if (exactRate < 1 || exactRate > 2147483647.0)
        return usage("rate " + a.rate + " does not fit a file header");
    SF_INFO outInfo{};
    outInfo.samplerate = static_cast<int>(std::lround(exactRate));
    outInfo.channels = inInfo.channels;
    outInfo.format = (ownWav ? SF_FORMAT_WAV : major) | subtype;
    if (!sf_format_check(&outInfo)) return usage("cannot write this sample format in this container");

    // A regular destination gets a temporary file beside it, renamed at the end; a device, a pipe or stdout is
    // written through.
    Destination dest;
    if (!resolveDestination(a.out, dest, why)) return fail(why);
    if (dest.throughStdout && isatty(STDOUT_FILENO)) return usage("will not write audio to a terminal");
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) signal(s, onSignal);
    signal(SIGPIPE, SIG_IGN);  // a closed pipe is a failed write, reported as such
    int fd = STDOUT_FILENO;
    if (dest.direct) fd = open(a.out.c_str(), O_WRONLY | O_CLOEXEC);
    if (!dest.direct && !dest.throughStdout) fd = createTemporary(dest, why);
    if (fd < 0) return fail("cannot write '" + a.out + "': " + (why.empty() ? std::strerror(errno) : why));
    const bool seekable = lseek(fd, 0, SEEK_CUR) >= 0;
    std::unique_ptr<WavWriter> wav;
    SNDFILE *out = nullptr;
    if (ownWav) {
        if (!seekable && !lengthKnown)
            return fail("cannot stream WAV of unknown length to a pipe; choose --type au");
        wav = std::make_unique<WavWriter>(fd, outInfo, seekable, threshold, major == SF_FORMAT_RF64);
        if (!wav->header(lengthKnown ? count : 0))
            return fail("cannot write '" + a.out + "': " + std::strerror(wav->error()));
    } else {
        out = sf_open_fd(fd, SFM_WRITE, &outInfo, SF_FALSE);
        if (out == nullptr) return fail("cannot write '" + a.out + "': " + sf_strerror(nullptr));
        sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    }
    std::unique_ptr<SNDFILE, int (*)(SNDFILE *)> outGuard(out,
                                                          [](SNDFILE *f) { return f ? sf_close(f) : 0; });

    // The conversion, in segments: each thread reads its own part of the input. Seekable WAV takes every
    // segment at its own offset; otherwise segment 0 goes out as it comes and the others are spooled to
    // temporary files and written after it, in order.
    std::atomic<u64> written{0};
    const u64 segments = std::min<u64>(a.threads, std::max<u64>(count, 1));
    const bool positional = wav != nullptr && seekable;
    std::vector<std::unique_ptr<SpoolSink>> spools(segments);
    std::vector<resample::RunResult> results(segments);
    const auto segmentStart = [&](u64 k) {
        return begin + count / segments * k + std::min(k, count % segments);
    };
    SndfileSink fileSink(out);
    WavSink wavSink(wav.get(), 0);
    resample::FrameSink &sink = wav ? static_cast<resample::FrameSink &>(wavSink) : fileSink;
    CountingSink counted(sink, written);
    std::vector<std::thread> workers;
    for (u64 k = 1; k < segments; ++k) {
        if (!positional) spools[k] = std::make_unique<SpoolSink>(channels);
        workers.emplace_back([&, k] {
            SF_INFO info{};
            SNDFILE *file = sf_open(a.in.c_str(), SFM_READ, &info);
            if (file == nullptr) return static_cast<void>(results[k].error = "cannot reopen the input");
            SndfileSource src(file, true);
            resample::RunOptions options;
            options.blockSize = a.block;
            options.firstTarget = segmentStart(k);
            options.frameLimit = segmentStart(k + 1) - segmentStart(k);
            WavSink atOffset(wav.get(), segmentStart(k) - begin);  // used only when positional
            CountingSink counting(atOffset, written);
            resample::FrameSink &segmentSink =
                positional ? static_cast<resample::FrameSink &>(counting) : *spools[k];
            DitherSink dithered(segmentSink, channels, segmentStart(k), ditherStep);
            results[k] = resample::resampleStream(engine, src, dithered, options);
            sf_close(file);
        });
    }
    std::atomic<bool> done{false};
    std::thread progress;
    if (!a.quiet && isatty(STDERR_FILENO)) {
        progress = std::thread([&] {
            const auto start = std::chrono::steady_clock::now();
            bool shown = false;
            while (!done) {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                const double seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                if (seconds < 1 || done) continue;
                const double frames = static_cast<double>(written.load());
                std::fprintf(stderr, "\rresample: %.0f frames", frames);
                if (lengthKnown && count > 0)
                    std::fprintf(stderr, " (%.0f%%)", 100.0 * frames / static_cast<double>(count));
                std::fprintf(stderr, ", %.0fx real time   ", frames / exactRate / seconds);
                shown = true;
            }
            if (shown) std::fputs("\n", stderr);
        });
    }
    SndfileSource src(in, inInfo.seekable != 0);
    resample::RunOptions options;
    options.blockSize = a.block;
    options.firstTarget = begin;
    options.frameLimit = segments > 1 ? segmentStart(1) - begin : count;
    DitherSink dithered(counted, channels, begin, ditherStep);
    results[0] = count == 0 ? resample::RunResult{true, 0, ""}
                            : resample::resampleStream(engine, src, dithered, options);
    for (u64 k = 1; k < segments; ++k) {
        workers[k - 1].join();
        if (!positional && results[0].ok && results[k].ok && !spools[k]->drainInto(counted))
            results[k] = {false, 0, "cannot write the output"};
    }
    done = true;
    if (progress.joinable()) progress.join();
    for (const resample::RunResult &r : results) {
        if (r.ok) continue;
        std::string reason = r.error;
        if (r.error == "cannot write the output")
            reason = wav ? std::strerror(wav->error()) : sf_strerror(out);
        return fail("cannot write '" + a.out + "': " + reason);
    }
    if (wav != nullptr) {
        if (!seekable && written.load() != count) return fail("'" + a.in + "' ended before its header said");
        if (!wav->finish(written.load()))
            return fail("cannot write '" + a.out + "': " + std::strerror(wav->error()));
    }
    if (out != nullptr && sf_close(outGuard.release()) != 0) return fail("cannot finish '" + a.out + "'");
    if (fd != STDOUT_FILENO && close(fd) != 0)
        return fail("cannot finish '" + a.out + "': " + std::strerror(errno));
    if (gHaveTemporary != 0) {
        if (std::rename(gTemporary, dest.final.c_str()) != 0)
            return fail("cannot create '" + a.out + "': " + std::strerror(errno));
        gHaveTemporary = 0;
    }
    if (!a.quiet) {
        std::fprintf(stderr, "resample: %s: %lld frames at %d Hz -> %s: %llu frames at %s Hz\n", a.in.c_str(),
                     static_cast<long long>(inInfo.frames), inInfo.samplerate, a.out.c_str(), written.load(),
                     a.rate.c_str());
    }
    return 0;
}
