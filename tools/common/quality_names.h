// The resampler's quality presets by the names the command lines use, in the order of the ZEL_QUALITY_* values.
#ifndef ZEL_TOOLS_COMMON_QUALITY_NAMES_H
#define ZEL_TOOLS_COMMON_QUALITY_NAMES_H

#include <string>

namespace zel_cli {

constexpr const char *kQualityNames[] = {"linear", "medium", "high", "very-high", "max"};

// The ZEL_QUALITY_* value named `name`; -1 for an unknown name.
inline int qualityFromName(const std::string &name) {
    for (int q = 0; q < 5; ++q) {
        if (name == kQualityNames[q]) return q;
    }
    return -1;
}

}  // namespace zel_cli

#endif
