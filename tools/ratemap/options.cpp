#include "options.h"

#include <vector>

#include "command_line.h"

namespace ratemap {

using zel_cli::parseRate;
using zel_cli::parseUnsigned;

const char kUsage[] =
    "Usage: ratemap [OPTIONS] SOURCE_RATE TARGET_RATE\n"
    "Show, block by block, the exact source positions and source sample ranges that a resampler\n"
    "converting SOURCE_RATE to TARGET_RATE needs. Rates are whole numbers (44100) or exact\n"
    "fractions (30000/1001).\n"
    "\n"
    "  -b, --block N         target samples per block (default 512)\n"
    "  -n, --blocks N        number of blocks (default 8)\n"
    "  -f, --first N         first target sample (default 0)\n"
    "  -l, --last M          map the run FIRST..M (inclusive) instead of a number of blocks\n"
    "  -i, --include-next    request the source sample after a fractional last position\n"
    "  -r, --reduce          reduce the common rates to lowest terms first\n"
    "  -s, --samples         after each block, print every target sample's exact source position\n"
    "  -p, --phases P        with --samples, also its filter phase in a bank of P phases (and the "
    "remainder)\n"
    "  -o, --format FORMAT   table (default), csv, or json (one JSON object per line)\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "Exit status: 0 on success, 1 if a block's position does not fit in 64 bits (the rows before it\n"
    "are printed), 2 on a usage error, 3 if the output cannot be written (the run stops at once).\n";

namespace {

using zel_cli::OptionSpec;

const std::vector<OptionSpec> kOptions = {
    {'b', "block", true},         {'n', "blocks", true},   {'f', "first", true},  {'l', "last", true},
    {'i', "include-next", false}, {'r', "reduce", false},  {'o', "format", true}, {'h', "help", false},
    {'V', "version", false},      {'s', "samples", false}, {'p', "phases", true},
};

bool applyOption(const OptionSpec &option, const std::string &value, Options &o, bool &blocksGiven,
                 std::string &error) {
    const std::string name = std::string("--") + option.longName;
    std::string why;
    const auto number = [&](u64 &out) {
        if (parseUnsigned(value, out, why)) return true;
        error = name + ": '" + value + "' " + why;
        return false;
    };
    switch (option.shortName) {
        case 'b':
            if (!number(o.blockSize)) return false;
            if (o.blockSize == 0) return error = "--block: the block size must be at least 1", false;
            return true;
        case 'n':
            blocksGiven = true;
            if (!number(o.blocks)) return false;
            if (o.blocks == 0) return error = "--blocks: the number of blocks must be at least 1", false;
            return true;
        case 'f':
            return number(o.first);
        case 'l':
            o.hasLast = true;
            return number(o.last);
        case 'i':
            o.includeNextSample = true;
            return true;
        case 'r':
            o.reduce = true;
            return true;
        case 'o':
            if (value == "table") {
                o.format = Format::Table;
            } else if (value == "csv") {
                o.format = Format::Csv;
            } else if (value == "json" || value == "jsonl") {
                o.format = Format::JsonLines;
            } else {
                return error = "--format: unknown format '" + value + "' (use table, csv or json)", false;
            }
            return true;
        case 's':
            o.samples = true;
            return true;
        case 'p':
            o.samples = true;
            if (!number(o.phases)) return false;
            if (o.phases == 0) return error = "--phases: the number of phases must be at least 1", false;
            return true;
        case 'h':
            o.help = true;
            return true;
        default:
            o.version = true;
            return true;
    }
}

}  // namespace

bool parseOptions(int argc, char **argv, Options &o, std::string &error) {
    std::vector<std::string> positional;
    bool blocksGiven = false;
    const auto apply = [&](const OptionSpec &option, const std::string &value, std::string &why) {
        return applyOption(option, value, o, blocksGiven, why);
    };
    if (!zel_cli::parseCommandLine(argc, argv, kOptions, apply, positional, error)) return false;
    if (o.help || o.version) return true;
    if (o.hasLast && blocksGiven) return error = "--blocks cannot be combined with --last", false;
    if (o.hasLast && o.last < o.first) return error = "--last must not be before --first", false;
    if (positional.size() < 2) {
        return error = positional.empty() ? "missing SOURCE_RATE and TARGET_RATE" : "missing TARGET_RATE",
               false;
    }
    if (positional.size() > 2) return error = "unexpected extra argument '" + positional[2] + "'", false;
    std::string why;
    if (!parseRate(positional[0], o.source, why))
        return error = "source rate '" + positional[0] + "' " + why, false;
    if (!parseRate(positional[1], o.target, why))
        return error = "target rate '" + positional[1] + "' " + why, false;
    return true;
}

}  // namespace ratemap
