// Rates as command-line text, shared by ratemap and the resample example: parsing "44100" and "30000/1001",
// and configuring a mapper from them with messages a user can act on.
#ifndef ZEL_TOOLS_COMMON_RATE_TEXT_H
#define ZEL_TOOLS_COMMON_RATE_TEXT_H

#include <zel/resampling_mapper.h>

#include <string>

namespace zel_cli {

using u64 = unsigned long long;

// A rate as the user wrote it: a whole number, or an exact fraction numerator/denominator.
struct Rate {
    bool isFraction = false;
    u64 numerator = 0;
    u64 denominator = 1;
    std::string text;
};

// Parses an unsigned 64-bit decimal number; on failure returns false with the reason ("is negative", ...).
bool parseUnsigned(const std::string &text, u64 &value, std::string &error);

// Parses "44100" or "30000/1001"; on failure returns false with the reason.
bool parseRate(const std::string &text, Rate &rate, std::string &error);

// Configures the mapper as a client would: the whole-number setter unless a rate is a fraction. On a zero rate
// (the library's exception text) or rates too large to map exactly (naming the bound), returns false.
bool configureMapper(mirelo::ResamplingMapper &mapper, const Rate &source, const Rate &target,
                     std::string &error);

}  // namespace zel_cli

#endif
