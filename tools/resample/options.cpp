#include "options.h"

#include <zel/resampler.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "command_line.h"
#include "rate_text.h"

namespace resample {

const char kUsage[] =
    "Usage: resample [OPTIONS] IN OUT --rate R\n"
    "Converts the audio file IN (any format libsndfile reads; - for stdin) to the sample rate R and writes "
    "OUT\n"
    "(- for stdout). Every output frame is computed at its exact position t * S / T in the input with a\n"
    "linear-phase band-limited filter, so the output does not depend on the block size, the start frame or\n"
    "the number of threads, bit for bit; N input frames give exactly ceil(N * T / S) output frames.\n"
    "\n"
    "  -r, --rate R        the output rate: a whole number (48000) or an exact fraction (30000/1001)\n"
    "  -q, --quality Q     linear, medium, high (default), very-high or max (computed in double; see the\n"
    "                      README for their figures)\n"
    "      --bandwidth B   keep B of the lower Nyquist frequency, 0.80 to 0.99 (default 0.90); a wider band\n"
    "                      costs a longer filter\n"
    "  -f, --format F      sample format of OUT: same (default, as IN), float, double, pcm16, pcm24 or\n"
    "                      pcm32; integer samples are rounded to nearest, and the samples clipped are "
    "counted.\n"
    "                      same is float where IN has no 16/24/32-bit PCM or float (Vorbis, Opus, MP3,\n"
    "                      8-bit, ADPCM) and for lossy OUT, whose encoder takes float; pcm24 for FLAC\n"
    "  -t, --type T        container of OUT: wav (default, or from OUT's extension), rf64, w64, aiff, au,\n"
    "                      caf, flac, ogg (Vorbis), opus (at 8000, 12000, 16000, 24000 or 48000 Hz), mp3\n"
    "                      or raw (bare samples; also pcm); WAV switches to RF64 when the output will pass\n"
    "                      4 GiB, and says in its header that its length is not known when it is not\n"
    "      --endian E      byte order of raw OUT: little (default), big or native\n"
    "      --input-type raw  IN is bare samples (so is IN named *.raw or *.pcm), described by all of:\n"
    "      --input-rate S  --input-channels C  --input-format F (float, double, pcm16, pcm24 or pcm32)\n"
    "      --input-endian E  byte order of raw IN: little (default), big or native\n"
    "  -b, --block N       output frames per block, 1 to 65536 (default 512)\n"
    "  -j, --threads K     convert K segments in parallel, 1 to 64 (default 1; IN must be seekable)\n"
    "      --start N       begin at output frame N (default 0)\n"
    "      --frames M      write at most M output frames (default: to the end)\n"
    "      --dither        add triangular dither of one step of the output (integer output only)\n"
    "      --quiet         no progress line and no summary on stderr\n"
    "  -h, --help          show this help\n"
    "  -V, --version       show the version\n"
    "\n"
    "A WAV whose header gives no length (sizes 0 or 0xFFFFFFFF, as written to a pipe) is read to its end.\n"
    "A regular OUT is written beside its destination and put in place only when complete, keeping the mode\n"
    "and owner of a file it replaces; a device, a pipe or stdout is written through. IN and OUT may not be\n"
    "the same file. An interrupted run removes its partial output. Spool files go to $TMPDIR (or /tmp).\n"
    "Exit status: 0 success, 1 failure (one line on stderr), 2 usage error, 3 the output could not be "
    "written.\n";

namespace {

using zel_cli::OptionSpec;

const std::vector<OptionSpec> kOptions = {
    {'r', "rate", true},         {'q', "quality", true},    {'f', "format", true},
    {'t', "type", true},         {'b', "block", true},      {'j', "threads", true},
    {0, "start", true},          {0, "frames", true},       {0, "dither", false},
    {0, "quiet", false},         {'h', "help", false},      {'V', "version", false},
    {0, "bandwidth", true},      {0, "input-type", true},   {0, "input-rate", true},
    {0, "input-channels", true}, {0, "input-format", true}, {0, "input-endian", true},
    {0, "endian", true},
};

// The bandwidths the library takes, as "0.80 to 0.99".
std::string bandwidthRange() {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f to %.2f", ZEL_MIN_BANDWIDTH, ZEL_MAX_BANDWIDTH);
    return text;
}

}  // namespace

bool parseOptions(int argc, char **argv, Options &o, std::string &error) {
    const auto apply = [&o](const OptionSpec &option, const std::string &value, std::string &why) {
        const std::string name = std::string("--") + option.longName;
        const auto number = [&](u64 &into, u64 low, u64 high) {
            std::string reason;
            if (!zel_cli::parseUnsigned(value, into, reason))
                return why = name + ": '" + value + "' " + reason, false;
            if (into < low || into > high)
                return why = name + " must be " + std::to_string(low) + " to " + std::to_string(high), false;
            return true;
        };
        const std::string id = option.longName;
        if (id == "rate") o.rate = value;
        if (id == "quality") o.quality = value;
        if (id == "format") o.format = value;
        if (id == "type") o.type = value;
        if (id == "input-type") o.inputType = value;
        if (id == "input-format") o.inputFormat = value;
        if (id == "input-endian") o.inputEndian = value;
        if (id == "endian") o.endian = value;
        if (id == "input-rate") return number(o.inputRate, 1, 0x7FFFFFFF);  // libsndfile's int
        if (id == "input-channels") return number(o.inputChannels, 1, ZEL_MAX_CHANNELS);
        if (id == "block") return number(o.block, 1, kMaxBlock);
        if (id == "threads") return number(o.threads, 1, kMaxThreads);
        if (id == "start") return number(o.start, 0, ~0ULL);
        if (id == "frames") return number(o.frames, 0, ~0ULL);
        if (id == "bandwidth") {
            char *end = nullptr;
            o.bandwidth = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' ||
                !(o.bandwidth >= ZEL_MIN_BANDWIDTH && o.bandwidth <= ZEL_MAX_BANDWIDTH))
                return why = name + " must be " + bandwidthRange() + ", not '" + value + "'", false;
        }
        o.dither |= id == "dither";
        o.quiet |= id == "quiet";
        o.help |= id == "help";
        o.version |= id == "version";
        return true;
    };
    std::vector<std::string> positional;
    if (!zel_cli::parseCommandLine(argc, argv, kOptions, apply, positional, error)) return false;
    if (o.help || o.version) return true;
    if (positional.size() > 2) return error = "unexpected extra argument '" + positional[2] + "'", false;
    if (positional.size() < 2 || o.rate.empty()) return error = "needs IN, OUT and --rate", false;
    o.in = positional[0];
    o.out = positional[1];
    return true;
}

}  // namespace resample
