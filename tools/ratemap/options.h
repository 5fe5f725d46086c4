// Command-line options of ratemap and their parsing.
#ifndef ZEL_TOOLS_RATEMAP_OPTIONS_H
#define ZEL_TOOLS_RATEMAP_OPTIONS_H

#include <string>

namespace ratemap {

using u64 = unsigned long long;

enum class Format { Table, Csv, JsonLines };

// A rate as the user wrote it: a whole number, or an exact fraction numerator/denominator.
struct Rate {
    bool isFraction = false;
    u64 numerator = 0;
    u64 denominator = 1;
    std::string text;
};

struct Options {
    Rate source;
    Rate target;
    u64 blockSize = 512;
    u64 blocks = 8;
    u64 first = 0;
    bool hasLast = false;  // an explicit run first..last instead of a number of blocks
    u64 last = 0;
    bool includeNextSample = false;
    bool reduce = false;
    Format format = Format::Table;
    bool help = false;
    bool version = false;
};

// Parses argv; on a usage error returns false with a one-line message in `error`.
bool parseOptions(int argc, char **argv, Options &options, std::string &error);

// Parses an unsigned 64-bit decimal number; on failure returns false with the reason in `error`.
bool parseUnsigned(const std::string &text, u64 &value, std::string &error);

// Parses "44100" or "30000/1001"; on failure returns false with the reason in `error`.
bool parseRate(const std::string &text, Rate &rate, std::string &error);

extern const char kUsage[];

}  // namespace ratemap

#endif
