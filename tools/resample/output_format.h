// What an output is: its sample format, by the names the command lines use or as the input's, and its container,
// named or taken from the output's extension, as the libsndfile format that writes them.
#ifndef ZEL_TOOLS_RESAMPLE_OUTPUT_FORMAT_H
#define ZEL_TOOLS_RESAMPLE_OUTPUT_FORMAT_H

#include <sndfile.h>

#include <string>
#include <vector>

namespace resample {

struct SampleFormat {
    int bits = -1;       // 16, 24 or 32 for PCM; 0 for float; -1 for the input's own ("same")
    int floatBits = 32;  // float: 32 or 64
};

// The sample format `name` names: same, float, double, pcm16, pcm24 or pcm32; false for another name.
bool sampleFormatNamed(const std::string &name, SampleFormat &format);

// The sample format of libsndfile's `format` (its subtype); false when it is neither 16/24/32-bit PCM nor float.
bool sampleFormatOf(int format, SampleFormat &into);

// The resampler's ZEL_FORMAT_* that writes a resolved `format`, and the bytes one of its samples takes in memory
// (24-bit PCM comes in an int32).
int resamplerFormat(const SampleFormat &format);
unsigned sampleBytes(const SampleFormat &format);

// What "same" gives for an input of libsndfile's `format` written to `container`: the input's own 16/24/32-bit PCM
// or float, else float (the decoded samples of a lossy or 8-bit input, kept whole), or 24-bit PCM where the
// container holds no float (FLAC). A lossy container is always given float: its encoder takes float.
SampleFormat sameFormat(int inputFormat, int container);

// The container names --type takes, as libsndfile's major formats; a lossy codec's with its subtype (Ogg Vorbis,
// Ogg Opus, MP3).
const std::vector<std::pair<std::string, int>> &containers();

// The lower-case extension of `path` ("" for none, and for "-").
std::string extensionOf(const std::string &path);

// The container an output is written as: `type` when given, else the extension of `path` ("-" has none), else
// WAV. 0 with the reason for a name it does not know.
int containerFor(const std::string &type, const std::string &path, std::string &error);

// Whether the tool writes the container itself (WAV, becoming RF64) rather than through libsndfile.
bool ownWav(int container);

// Whether the container is a lossy codec's, which encodes the samples rather than storing them.
bool lossy(int container);

// The libsndfile format (container and subtype) for `format` in `container`; WAV and RF64 as WAV; raw samples in
// the byte order `rawEndian`.
int sndfileFormat(int container, const SampleFormat &format, int rawEndian = SF_ENDIAN_LITTLE);

// The bytes a frame of `format` takes in the file (24-bit PCM in three).
unsigned long long storedFrameBytes(const SampleFormat &format, unsigned long long channels);

// Why `container` cannot hold `format` ("" when it can): FLAC holds 16- or 24-bit PCM only.
std::string refusal(int container, const SampleFormat &format);

// Why libsndfile's encoder for a lossy `container` refuses `rate` and `channels` ("" when it takes them), found by
// encoding a frame to nowhere, since some refuse only then.
std::string encoderRefusal(int container, int rate, int channels);
// Why libsndfile cannot write `format` (its format word for `container`) at `rate` with `channels`: too many
// channels for the container (naming the most it holds), else the sample format; "" when it can.
std::string containerRefusal(int container, int format, int rate, int channels);

// The whole rate a file header holds for numerator / denominator frames per second, rounded to nearest; 0 when
// it does not fit a header's 32-bit field.
int headerRate(unsigned long long numerator, unsigned long long denominator);

}  // namespace resample

#endif
