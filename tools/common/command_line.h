// Command-line conventions shared by ratemap and resample: GNU-style options (long names abbreviated to any
// unambiguous prefix, --name=value, bundled short flags, -r48000, "--" ending the options), one usage-error
// format, and the exit statuses both tools document.
#ifndef ZEL_TOOLS_COMMON_COMMAND_LINE_H
#define ZEL_TOOLS_COMMON_COMMAND_LINE_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace zel_cli {

constexpr int kExitFailure = 1;     // the work could not be done (a bad input, a refused conversion)
constexpr int kExitUsage = 2;       // the command line is wrong
constexpr int kExitWriteError = 3;  // the output could not be written (a full disk, a closed pipe)

struct OptionSpec {
    char shortName;  // 0 for a long name only
    const char *longName;
    bool takesValue;
};

// Called for each option with its value ("" for a flag); false with a message refuses the command line.
using ApplyOption = std::function<bool(const OptionSpec &, const std::string &value, std::string &error)>;

// Parses argv against `specs`; arguments that are not options go to `positional`, in order. A lone "-" and a
// "-" followed by a digit are positional. On a usage error returns false with a one-line message.
bool parseCommandLine(int argc, char **argv, const std::vector<OptionSpec> &specs, const ApplyOption &apply,
                      std::vector<std::string> &positional, std::string &error);

// Prints "PROGRAM: MESSAGE (see PROGRAM --help)", one line, on stderr; returns kExitUsage.
int usageError(const char *program, const std::string &message);

// Writes text to stdout and flushes it; false when it could not (--help or --version into a full disk).
bool printAll(const std::string &text);

}  // namespace zel_cli

#endif
