#include "rate_text.h"

#include <stdexcept>

namespace zel_cli {

namespace {

constexpr u64 kMaxU64 = ~0ULL;
constexpr u64 kMaxRateTerm = 0x7FFFFFFFFFFFFFFEULL;

bool isDigits(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace

bool parseUnsigned(const std::string &text, u64 &value, std::string &error) {
    if (!text.empty() && text[0] == '-' && isDigits(text.substr(1))) return error = "is negative", false;
    if (text.empty() || text[0] < '0' || text[0] > '9') return error = "is not a number", false;
    u64 v = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return error = "has trailing characters '" + text.substr(i) + "'", false;
        const auto digit = static_cast<u64>(c - '0');
        if (v > (kMaxU64 - digit) / 10) return error = "does not fit in 64 bits", false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

bool parseRate(const std::string &text, Rate &rate, std::string &error) {
    rate = Rate{};
    rate.text = text;
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return parseUnsigned(text, rate.numerator, error);
    rate.isFraction = true;
    std::string why;
    if (!parseUnsigned(text.substr(0, slash), rate.numerator, why)) {
        return error = "has a numerator that " + why, false;
    }
    if (!parseUnsigned(text.substr(slash + 1), rate.denominator, why)) {
        return error = "has a denominator that " + why, false;
    }
    return true;
}

bool configureMapper(mirelo::ResamplingMapper &mapper, const Rate &source, const Rate &target,
                     std::string &error) {
    using Fraction = mirelo::ResamplingMapper::sample_fraction;
    try {
        if (source.isFraction || target.isFraction) {
            mapper.setSourceAndTargetSampleRate(Fraction{source.numerator, source.denominator},
                                                Fraction{target.numerator, target.denominator});
        } else {
            mapper.setSourceAndTargetSampleRate(source.numerator, target.numerator);
        }
    } catch (const std::domain_error &e) {
        error = std::string("invalid rates: ") + e.what();
        return false;
    }
    if (!mapper.rateOverflow) return true;
    const u64 terms = source.numerator | source.denominator | target.numerator | target.denominator;
    error =
        terms > kMaxRateTerm
            ? "rates too large to map exactly: every rate term, and their bitwise OR, must be at most "
              "9223372036854775806 (2^63 - 2)"
            : "rates too large to map exactly: each common rate (a rate's numerator times the other rate's "
              "denominator, after reducing) must be below 9223372036854775807 (2^63 - 1)";
    return false;
}

}  // namespace zel_cli
