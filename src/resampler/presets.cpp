#include "presets.h"

namespace zel::engine {

namespace {

const Preset kPresets[] = {
    {"linear", 0, 0, 0, Preset::kDouble, false, false, 0, 0},
    {"medium", 105, 0.9, 1.0, Preset::kFloat, false, false, 832, 832},
    {"high", 132, 0.9, 1.0, Preset::kFloat, false, false, 832, 832},
    {"very-high", 155, 0.9, 1.0, Preset::kDouble, false, true, 832, 1664},
    {"max", 180, 0.9, 1.0, Preset::kDouble, true, true, 832, 1664},
};

}  // namespace

const Preset *findPreset(const std::string &name) {
    for (const Preset &p : kPresets) {
        if (name == p.name) return &p;
    }
    return nullptr;
}

const Preset *presetAt(int quality) {
    constexpr int kCount = sizeof kPresets / sizeof kPresets[0];
    return quality >= 0 && quality < kCount ? &kPresets[quality] : nullptr;
}

std::string presetNames() {
    std::string names;
    for (const Preset &p : kPresets) names += (names.empty() ? "" : ", ") + std::string(p.name);
    return names;
}

}  // namespace zel::engine
