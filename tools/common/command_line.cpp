#include "command_line.h"

#include <cstdio>

namespace zel_cli {

namespace {

const OptionSpec *findShort(const std::vector<OptionSpec> &specs, char c) {
    for (const OptionSpec &o : specs) {
        if (o.shortName != 0 && o.shortName == c) return &o;
    }
    return nullptr;
}

// Long options may be abbreviated to any unambiguous prefix, as GNU tools allow.
const OptionSpec *findLong(const std::vector<OptionSpec> &specs, const std::string &name,
                           std::string &error) {
    const OptionSpec *match = nullptr;
    for (const OptionSpec &o : specs) {
        const std::string full = o.longName;
        if (full == name) return &o;
        if (full.compare(0, name.size(), name) == 0) {
            if (match != nullptr) return error = "option '--" + name + "' is ambiguous", nullptr;
            match = &o;
        }
    }
    if (match == nullptr) error = "unrecognized option '--" + name + "'";
    return match;
}

// A '-' followed by a digit is a (negative) number, not an option, so that it gets a clear message.
bool isOption(const std::string &arg) {
    return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

}  // namespace

bool parseCommandLine(int argc, char **argv, const std::vector<OptionSpec> &specs, const ApplyOption &apply,
                      std::vector<std::string> &positional, std::string &error) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || !isOption(arg)) {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionSpec *option = nullptr;
        std::string value;
        bool hasValue = false;
        if (arg[1] == '-') {
            const size_t eq = arg.find('=');
            option =
                findLong(specs, arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2), error);
            if (option == nullptr) return false;
            if (eq != std::string::npos) {
                if (!option->takesValue)
                    return error = "option '--" + std::string(option->longName) + "' takes no value", false;
                value = arg.substr(eq + 1);
                hasValue = true;
            }
        } else {
            // Short options may be bundled (-ir); one that takes a value consumes the rest of the word.
            for (size_t k = 1; k < arg.size(); ++k) {
                option = findShort(specs, arg[k]);
                if (option == nullptr)
                    return error = std::string("invalid option -- '") + arg[k] + "'", false;
                if (option->takesValue) {
                    if (k + 1 < arg.size()) value = arg.substr(k + 1), hasValue = true;
                    break;
                }
                if (k + 1 < arg.size() && !apply(*option, "", error)) return false;
            }
        }
        if (option->takesValue && !hasValue) {
            if (i + 1 >= argc)
                return error = "option '--" + std::string(option->longName) + "' requires a value", false;
            value = argv[++i];
        }
        if (!apply(*option, value, error)) return false;
    }
    return true;
}

int usageError(const char *program, const std::string &message) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", program, message.c_str(), program);
    return kExitUsage;
}

bool printAll(const std::string &text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

}  // namespace zel_cli
