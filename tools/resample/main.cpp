// resample IN OUT --rate R [--quality Q] [--block N] [--format same|float|pcm16|pcm24]
// Converts an audio file to another sample rate with a band-limited polyphase filter, streaming block by block;
// every position and filter phase comes from ResamplingMapper. On any error it prints one line and leaves no
// output file behind.
#include <sndfile.h>
#include <unistd.h>
#include <zel/resampling_mapper.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "engine.h"
#include "rate_text.h"
#include "stream.h"

namespace {

using resample::u64;

const char kUsage[] =
    "Usage: resample IN OUT --rate R [--quality Q] [--block N] [--format same|float|pcm16|pcm24]\n"
    "Resamples the audio file IN to the rate R (a whole number, or an exact fraction such as 48000/1001)\n"
    "and writes OUT as WAV. --quality is linear, medium, high (default) or very-high; --block sets the\n"
    "output frames per block (default 512); --format the sample format of OUT (default: that of IN).\n";

int fail(const std::string &message) {
    std::fprintf(stderr, "resample: %s\n", message.c_str());
    return 1;
}

class SndfileSource : public resample::FrameSource {
public:
    explicit SndfileSource(SNDFILE *file) : file_(file) {}
    u64 read(float *out, u64 frames) override {
        const sf_count_t got = sf_readf_float(file_, out, static_cast<sf_count_t>(frames));
        return got > 0 ? static_cast<u64>(got) : 0;
    }
    bool seek(u64 frame) override { return sf_seek(file_, static_cast<sf_count_t>(frame), SEEK_SET) >= 0; }

private:
    SNDFILE *file_;
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

// Closes the files and, unless the run committed, removes the partial output.
struct Files {
    SNDFILE *in = nullptr;
    SNDFILE *out = nullptr;
    std::string partial;
    ~Files() {
        if (in != nullptr) sf_close(in);
        if (out != nullptr) sf_close(out);
        if (!partial.empty()) std::remove(partial.c_str());
    }
};

}  // namespace

int main(int argc, char **argv) {
    std::string inPath, outPath, rateText, formatText = "same", qualityText = "high";
    u64 blockSize = 512;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](std::string &into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--rate" || arg == "-r") {
            if (!value(rateText)) return fail("--rate needs a value");
        } else if (arg == "--quality" || arg == "-q") {
            if (!value(qualityText)) return fail("--quality needs a value");
        } else if (arg == "--format" || arg == "-f") {
            if (!value(formatText)) return fail("--format needs a value");
        } else if (arg == "--block" || arg == "-b") {
            std::string why;
            if (!value(text)) return fail("--block needs a value");
            if (!zel_cli::parseUnsigned(text, blockSize, why)) return fail("--block '" + text + "' " + why);
            if (blockSize == 0) return fail("--block must be at least 1");
        } else if (!arg.empty() && arg[0] == '-') {
            return fail("unknown option '" + arg + "' (see --help)");
        } else if (inPath.empty()) {
            inPath = arg;
        } else if (outPath.empty()) {
            outPath = arg;
        } else {
            return fail("unexpected extra argument '" + arg + "'");
        }
    }
    if (inPath.empty() || outPath.empty() || rateText.empty())
        return fail("needs IN, OUT and --rate (see --help)");

    zel_cli::Rate target;
    std::string why;
    if (!zel_cli::parseRate(rateText, target, why)) return fail("rate '" + rateText + "' " + why);
    const resample::Preset *preset = resample::findPreset(qualityText);
    if (preset == nullptr)
        return fail("unknown quality '" + qualityText + "' (use " + resample::presetNames() + ")");
    int subtype = 0;
    if (formatText == "float") {
        subtype = SF_FORMAT_FLOAT;
    } else if (formatText == "pcm16") {
        subtype = SF_FORMAT_PCM_16;
    } else if (formatText == "pcm24") {
        subtype = SF_FORMAT_PCM_24;
    } else if (formatText != "same") {
        return fail("unknown format '" + formatText + "' (use same, float, pcm16 or pcm24)");
    }

    Files files;
    SF_INFO inInfo{};
    files.in = sf_open(inPath.c_str(), SFM_READ, &inInfo);
    if (files.in == nullptr) return fail("cannot read '" + inPath + "': " + sf_strerror(nullptr));
    const int inSubtype = inInfo.format & SF_FORMAT_SUBMASK;
    if (subtype == 0) {
        if (inSubtype != SF_FORMAT_PCM_16 && inSubtype != SF_FORMAT_PCM_24 && inSubtype != SF_FORMAT_FLOAT) {
            return fail("'" + inPath + "' is neither 16/24-bit PCM nor float; choose --format");
        }
        subtype = inSubtype;
    }

    // The mapper's own messages name the rate bounds; the engine then designs the filter.
    mirelo::ResamplingMapper check;
    zel_cli::Rate source;
    source.numerator = static_cast<u64>(inInfo.samplerate);
    source.text = std::to_string(inInfo.samplerate);
    if (!zel_cli::configureMapper(check, source, target, why)) return fail(why);
    resample::Engine engine;
    if (!engine.configure({source.numerator, 1}, {target.numerator, target.denominator}, inInfo.channels,
                          *preset, why)) {
        return fail(why);
    }

    // A file header holds a whole number of frames per second: a fractional rate is rounded there only.
    const double exactRate = static_cast<double>(target.numerator) / static_cast<double>(target.denominator);
    if (exactRate < 1 || exactRate > 2147483647.0)
        return fail("rate " + rateText + " does not fit a file header");
    SF_INFO outInfo{};
    outInfo.samplerate = static_cast<int>(std::lround(exactRate));
    outInfo.channels = inInfo.channels;
    outInfo.format = SF_FORMAT_WAV | subtype;
    if (outInfo.samplerate == 0 || !sf_format_check(&outInfo)) return fail("cannot write this format as WAV");

    // Written beside OUT under a temporary name and renamed at the end, so no partial OUT ever exists.
    files.partial = outPath + ".partial-" + std::to_string(getpid());
    files.out = sf_open(files.partial.c_str(), SFM_WRITE, &outInfo);
    if (files.out == nullptr) {
        const std::string reason = sf_strerror(nullptr);
        files.partial.clear();
        return fail("cannot write '" + outPath + "': " + reason);
    }
    sf_command(files.out, SFC_SET_CLIPPING, nullptr, SF_TRUE);

    SndfileSource reader(files.in);
    SndfileSink writer(files.out);
    resample::RunOptions options;
    options.blockSize = blockSize;
    const resample::RunResult result = resample::resampleStream(engine, reader, writer, options);
    if (!result.ok) return fail(result.error);
    if (sf_close(files.out) != 0) {
        files.out = nullptr;
        return fail("cannot finish '" + outPath + "'");
    }
    files.out = nullptr;
    if (std::rename(files.partial.c_str(), outPath.c_str()) != 0)
        return fail("cannot create '" + outPath + "'");
    files.partial.clear();
    std::printf("%s: %lld frames at %d Hz -> %s: %llu frames at %s Hz\n", inPath.c_str(),
                static_cast<long long>(inInfo.frames), inInfo.samplerate, outPath.c_str(),
                result.framesWritten, rateText.c_str());
    return 0;
}
