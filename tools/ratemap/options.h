// Command-line options of ratemap and their parsing.
#ifndef ZEL_TOOLS_RATEMAP_OPTIONS_H
#define ZEL_TOOLS_RATEMAP_OPTIONS_H

#include <string>

#include "rate_text.h"

namespace ratemap {

using u64 = unsigned long long;

enum class Format { Table, Csv, JsonLines };

using zel_cli::Rate;

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
    bool samples = false;  // also print every target sample's exact position
    u64 phases = 0;        // with samples: the phase in a bank of this many filter phases (0: none)
    Format format = Format::Table;
    bool help = false;
    bool version = false;
};

// Parses argv; on a usage error returns false with a one-line message in `error`.
bool parseOptions(int argc, char **argv, Options &options, std::string &error);

extern const char kUsage[];

}  // namespace ratemap

#endif
