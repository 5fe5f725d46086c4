#include "output_format.h"

#include <sndfile.h>
#include <zel/resampler.h>

#include <cctype>
#include <cmath>

namespace resample {

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
        {"wav", SF_FORMAT_WAV},   {"rf64", SF_FORMAT_RF64}, {"w64", SF_FORMAT_W64},
        {"aiff", SF_FORMAT_AIFF}, {"aif", SF_FORMAT_AIFF},  {"au", SF_FORMAT_AU},
        {"snd", SF_FORMAT_AU},    {"caf", SF_FORMAT_CAF},   {"flac", SF_FORMAT_FLAC}};
    return kTypes;
}

int containerFor(const std::string &type, const std::string &path, std::string &error) {
    std::string name = type;
    const size_t dot = path.rfind('.'), slash = path.rfind('/');
    const bool fromName = name.empty() && path != "-" && dot != std::string::npos &&
                          (slash == std::string::npos || dot > slash + 1);
    if (fromName) name = path.substr(dot + 1);
    if (name.empty()) return SF_FORMAT_WAV;
    for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto &[known, major] : containers()) {
        if (name == known) return major;
    }
    error = fromName ? "cannot tell the container from '" + path + "'; name it with --type"
                     : "unknown type '" + type + "'";
    error += " (wav, rf64, w64, aiff, au, caf or flac)";
    return 0;
}

bool ownWav(int container) { return container == SF_FORMAT_WAV || container == SF_FORMAT_RF64; }

int sndfileFormat(int container, const SampleFormat &format) {
    return (ownWav(container) ? SF_FORMAT_WAV : container) | (format.bits == 16        ? SF_FORMAT_PCM_16
                                                              : format.bits == 24      ? SF_FORMAT_PCM_24
                                                              : format.bits == 32      ? SF_FORMAT_PCM_32
                                                              : format.floatBits == 64 ? SF_FORMAT_DOUBLE
                                                                                       : SF_FORMAT_FLOAT);
}

std::string refusal(int container, const SampleFormat &format) {
    if (container != SF_FORMAT_FLAC || format.bits == 16 || format.bits == 24) return "";
    return std::string("FLAC holds 16- or 24-bit PCM, not ") +
           (format.bits == 32        ? "32-bit PCM"
            : format.floatBits == 64 ? "double"
                                     : "float") +
           "; choose --format pcm16 or pcm24";
}

int headerRate(unsigned long long numerator, unsigned long long denominator) {
    const double exact = static_cast<double>(numerator) / static_cast<double>(denominator);
    return exact < 1 || exact > 2147483647.0 ? 0 : static_cast<int>(std::lround(exact));
}

}  // namespace resample
