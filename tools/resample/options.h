// The resample tool's command line.
#ifndef ZEL_TOOLS_RESAMPLE_OPTIONS_H
#define ZEL_TOOLS_RESAMPLE_OPTIONS_H

#include <string>

namespace resample {

using u64 = unsigned long long;

struct Options {
    std::string in, out, rate, quality = "high", format = "same", type;
    u64 block = 512, threads = 1, start = 0, frames = ~0ULL;
    // Raw samples: what raw input is (0 or "" where not given), and the byte orders of raw input and output.
    std::string inputType, inputFormat, inputEndian, endian;
    u64 inputRate = 0, inputChannels = 0;
    double bandwidth = 0;  // the preset's own
    bool quiet = false, help = false, version = false, dither = false;
};

constexpr u64 kMaxBlock = 65536;  // output frames per block
constexpr u64 kMaxThreads = 64;

// Parses argv; on a usage error returns false with a one-line message.
bool parseOptions(int argc, char **argv, Options &options, std::string &error);

extern const char kUsage[];

}  // namespace resample

#endif
