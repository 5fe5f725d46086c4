// Helpers shared by the mapper tests: whole-state comparison and printing.
#ifndef ZEL_TESTS_MAPPER_TEST_UTIL_H
#define ZEL_TESTS_MAPPER_TEST_UTIL_H

#include <ostream>

#include "differential.h"

namespace mirelo {

using Mapper = ResamplingMapper;

inline bool operator==(const Mapper::sample_fraction &a, const Mapper::sample_fraction &b) {
    return a.numerator == b.numerator && a.denominator == b.denominator;
}
inline bool operator==(const Mapper::sample_mixed_fraction &a, const Mapper::sample_mixed_fraction &b) {
    return a.whole == b.whole && a.numerator == b.numerator && a.denominator == b.denominator;
}
inline bool operator==(const Mapper::sample_mixed_fraction_range &a,
                       const Mapper::sample_mixed_fraction_range &b) {
    return a.first == b.first && a.last == b.last;
}
inline bool operator==(const Mapper &a, const Mapper &b) { return zel_check::sameState(a, b); }

inline std::ostream &operator<<(std::ostream &os, const Mapper::sample_fraction &f) {
    return os << f.numerator << '/' << f.denominator;
}
inline std::ostream &operator<<(std::ostream &os, const Mapper::sample_mixed_fraction &p) {
    return os << '{' << p.whole << ", " << p.numerator << ", " << p.denominator << '}';
}
inline std::ostream &operator<<(std::ostream &os, const Mapper::sample_mixed_fraction_range &r) {
    return os << '[' << r.first << " .. " << r.last << ']';
}
inline std::ostream &operator<<(std::ostream &os, const Mapper &m) { return os << zel_check::describe(m); }

}  // namespace mirelo

#endif
