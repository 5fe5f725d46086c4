// The resampler's quality presets by the names the command lines use: the library's own names.
#ifndef ZEL_TOOLS_COMMON_QUALITY_NAMES_H
#define ZEL_TOOLS_COMMON_QUALITY_NAMES_H

#include <zel/resampler.h>

#include <string>

namespace zel_cli {

// The ZEL_QUALITY_* value named `name`; -1 for an unknown name.
inline int qualityFromName(const std::string &name) {
    for (int q = 0; zel_resampler_quality_name(q) != nullptr; ++q) {
        if (name == zel_resampler_quality_name(q)) return q;
    }
    return -1;
}

// The names, as a usage message lists them: "linear, medium, high, very-high or max".
inline std::string qualityNames() {
    std::string list = zel_resampler_quality_name(0);
    for (int q = 1; zel_resampler_quality_name(q) != nullptr; ++q)
        list += (zel_resampler_quality_name(q + 1) != nullptr ? ", " : " or ") +
                std::string(zel_resampler_quality_name(q));
    return list;
}

}  // namespace zel_cli

#endif
