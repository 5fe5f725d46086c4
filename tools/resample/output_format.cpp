#include "output_format.h"

#include <sndfile.h>
#include <zel/resampler.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>

namespace resample {

namespace {

// Where encoderRefusal writes: nowhere, at a position kept for the encoder's seeks.
struct Nowhere {
    sf_count_t at = 0, end = 0;
};
sf_count_t nowhereLength(void *n) { return static_cast<Nowhere *>(n)->end; }
sf_count_t nowhereSeek(sf_count_t offset, int whence, void *n) {
    Nowhere &w = *static_cast<Nowhere *>(n);
    return w.at = std::max<sf_count_t>(0, offset + (whence == SEEK_SET   ? 0
                                                    : whence == SEEK_CUR ? w.at
                                                                         : w.end));
}
sf_count_t nowhereRead(void *, sf_count_t, void *) { return 0; }
sf_count_t nowhereWrite(const void *, sf_count_t n, void *to) {
    Nowhere &w = *static_cast<Nowhere *>(to);
    w.end = std::max(w.end, w.at += n);
    return n;
}
sf_count_t nowhereTell(void *n) { return static_cast<Nowhere *>(n)->at; }

const char *lossyName(int container) {
    return container == (SF_FORMAT_OGG | SF_FORMAT_VORBIS) ? "Ogg Vorbis"
           : container == (SF_FORMAT_OGG | SF_FORMAT_OPUS) ? "Ogg Opus"
                                                           : "MP3";
}

}  // namespace

bool sampleFormatNamed(const std::string &name, SampleFormat &format) {
    static const struct {
        const char *name;
        SampleFormat format;
    } kFormats[] = {{"same", {-1, 32}},  {"float", {0, 32}},  {"double", {0, 64}},
                    {"pcm16", {16, 32}}, {"pcm24", {24, 32}}, {"pcm32", {32, 32}}};
    for (const auto &f : kFormats) {
        if (name == f.name) return format = f.format, true;
    }
    return false;
}

bool sampleFormatOf(int format, SampleFormat &into) {
    const int subtype = format & SF_FORMAT_SUBMASK;
    into.bits = subtype == SF_FORMAT_PCM_16   ? 16
                : subtype == SF_FORMAT_PCM_24 ? 24
                : subtype == SF_FORMAT_PCM_32 ? 32
                                              : 0;
    into.floatBits = subtype == SF_FORMAT_DOUBLE ? 64 : 32;
    return into.bits != 0 || subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
}

SampleFormat sameFormat(int inputFormat, int container) {
    SampleFormat own;
    if (lossy(container) || !sampleFormatOf(inputFormat, own))
        own = {container == SF_FORMAT_FLAC ? 24 : 0, 32};
    return own;
}

int resamplerFormat(const SampleFormat &format) {
    return format.bits == 16        ? ZEL_FORMAT_INT16
           : format.bits == 24      ? ZEL_FORMAT_INT24
           : format.bits == 32      ? ZEL_FORMAT_INT32
           : format.floatBits == 64 ? ZEL_FORMAT_FLOAT64
                                    : ZEL_FORMAT_FLOAT32;
}

unsigned sampleBytes(const SampleFormat &format) {
    return format.bits == 16 ? 2 : format.bits == 0 && format.floatBits == 64 ? 8 : 4;
}

const std::vector<std::pair<std::string, int>> &containers() {
    static const std::vector<std::pair<std::string, int>> kTypes = {
        {"wav", SF_FORMAT_WAV},
        {"rf64", SF_FORMAT_RF64},
        {"w64", SF_FORMAT_W64},
        {"aiff", SF_FORMAT_AIFF},
        {"aif", SF_FORMAT_AIFF},
        {"au", SF_FORMAT_AU},
        {"snd", SF_FORMAT_AU},
        {"caf", SF_FORMAT_CAF},
        {"flac", SF_FORMAT_FLAC},
        {"raw", SF_FORMAT_RAW},
        {"pcm", SF_FORMAT_RAW},
        {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"oga", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
        {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III}};
    return kTypes;
}

std::string extensionOf(const std::string &path) {
    const size_t dot = path.rfind('.'), slash = path.rfind('/');
    if (path == "-" || dot == std::string::npos || (slash != std::string::npos && dot <= slash + 1))
        return "";
    std::string name = path.substr(dot + 1);
    for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

int containerFor(const std::string &type, const std::string &path, std::string &error) {
    std::string name = type;
    const bool fromName = name.empty() && !extensionOf(path).empty();
    if (fromName) name = extensionOf(path);
    if (name.empty()) return SF_FORMAT_WAV;
    for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto &[known, major] : containers()) {
        if (name == known) return major;
    }
    error = fromName ? "cannot tell the container from '" + path + "'; name it with --type"
                     : "unknown type '" + type + "'";
    error += " (wav, rf64, w64, aiff, au, caf, flac, raw, ogg, opus or mp3)";
    return 0;
}

bool ownWav(int container) { return container == SF_FORMAT_WAV || container == SF_FORMAT_RF64; }

bool lossy(int container) { return (container & SF_FORMAT_SUBMASK) != 0; }

int sndfileFormat(int container, const SampleFormat &format, int rawEndian) {
    if (lossy(container)) return container;
    return (ownWav(container) ? SF_FORMAT_WAV : container) | (container == SF_FORMAT_RAW ? rawEndian : 0) |
           (format.bits == 16        ? SF_FORMAT_PCM_16
            : format.bits == 24      ? SF_FORMAT_PCM_24
            : format.bits == 32      ? SF_FORMAT_PCM_32
            : format.floatBits == 64 ? SF_FORMAT_DOUBLE
                                     : SF_FORMAT_FLOAT);
}

unsigned long long storedFrameBytes(const SampleFormat &format, unsigned long long channels) {
    return channels * static_cast<unsigned long long>(format.bits == 0 ? format.floatBits : format.bits) / 8;
}

std::string refusal(int container, const SampleFormat &format) {
    if (container != SF_FORMAT_FLAC || format.bits == 16 || format.bits == 24) return "";
    return std::string("FLAC holds 16- or 24-bit PCM, not ") +
           (format.bits == 32        ? "32-bit PCM"
            : format.floatBits == 64 ? "double"
                                     : "float") +
           "; choose --format pcm16 or pcm24";
}

namespace {
// Whether libsndfile's encoder for `container` takes a frame at `rate` with `channels`; its reason when not.
bool encodes(int container, int rate, int channels, std::string &why) {
    SF_INFO info{};
    info.samplerate = rate, info.channels = channels, info.format = container;
    if (!sf_format_check(&info)) return why.clear(), false;
    SF_VIRTUAL_IO io{nowhereLength, nowhereSeek, nowhereRead, nowhereWrite, nowhereTell};
    Nowhere sink;
    SNDFILE *file = sf_open_virtual(&io, SFM_WRITE, &info, &sink);
    if (file == nullptr) {
        why = sf_strerror(nullptr);
    } else {
        const std::vector<float> frame(static_cast<size_t>(channels));
        if (sf_writef_float(file, frame.data(), 1) != 1) why = sf_strerror(file);
        sf_close(file);
    }
    if (why.rfind("Error : ", 0) == 0) why.erase(0, 8);  // libsndfile's prefix on its codecs' messages
    return why.empty();
}

// The container as messages name it: a lossy one by its codec, the others by their type in capitals.
std::string nameOf(int container) {
    if (lossy(container)) return lossyName(container);
    for (const auto &[type, value] : containers()) {
        if (value != container) continue;
        std::string name = type;
        for (char &ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return name;
    }
    return "this container";
}

// " at R Hz with C channels", as the refusals say it.
std::string atRate(int rate, int channels) {
    return " at " + std::to_string(rate) + " Hz with " + std::to_string(channels) +
           (channels == 1 ? " channel" : " channels");
}

// When `takes` refuses `channels` for their number alone (it takes one), "NAME holds at most N channels, not C",
// the most found by halving between a count it takes and one it does not (libsndfile says only that it does not
// recognise the format); else "".
std::string channelLimit(int container, int channels, const std::function<bool(int)> &takes) {
    if (channels <= 1 || !takes(1)) return "";
    int most = 1, refused = channels;
    while (refused - most > 1) {
        const int middle = most + (refused - most) / 2;
        (takes(middle) ? most : refused) = middle;
    }
    return nameOf(container) + " holds at most " + std::to_string(most) + " channels, not " +
           std::to_string(channels);
}
}  // namespace

std::string encoderRefusal(int container, int rate, int channels) {
    std::string why, ignored;
    if (!lossy(container) || encodes(container, rate, channels, why)) return "";
    const std::string limit =
        channelLimit(container, channels, [&](int c) { return encodes(container, rate, c, ignored); });
    if (!limit.empty()) return limit;
    const std::string what = "cannot encode " + nameOf(container) + atRate(rate, channels);
    return why.empty() ? what : what + ": " + why;
}

std::string containerRefusal(int container, int format, int rate, int channels) {
    SF_INFO info{};
    info.samplerate = rate, info.channels = channels, info.format = format;
    // FLAC's encoder has limits of its own (its rates), found only by starting it.
    std::string why;
    if (sf_format_check(&info) && (container != SF_FORMAT_FLAC || encodes(format, rate, channels, why)))
        return "";
    if (!why.empty()) return "cannot write " + nameOf(container) + atRate(rate, channels) + ": " + why;
    const std::string limit = channelLimit(container, channels, [&](int c) {
        info.channels = c;
        return sf_format_check(&info) != 0;
    });
    return limit.empty() ? "cannot write this sample format in this container" : limit;
}

int headerRate(unsigned long long numerator, unsigned long long denominator) {
    const double exact = static_cast<double>(numerator) / static_cast<double>(denominator);
    return exact < 1 || exact > 2147483647.0 ? 0 : static_cast<int>(std::lround(exact));
}

}  // namespace resample
