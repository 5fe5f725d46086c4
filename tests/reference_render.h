// The engine's frames for output frames first .. first + count - 1 of an input held whole: the reference the
// stream is held to. One stage renders them from the source frames; two compute every intermediate frame they read
// first, in one go, and render from those. planes[c][k - planeStart] is source frame k of channel c (modulo 2^64)
// and must exist for every frame the outputs reach: reachBefore() before whole(first), reachAfter() after the last.
#ifndef ZEL_TESTS_REFERENCE_RENDER_H
#define ZEL_TESTS_REFERENCE_RENDER_H

#include <type_traits>
#include <vector>

#include "engine.h"

namespace zel_reference {

using zel::engine::u64;

template <typename M, typename S>
void renderVia(const zel::engine::Engine &e, u64 first, u64 count, const S *const *planes, u64 planeStart,
               S *out) {
    mirelo::ResamplingMapper::sample_mixed_fraction a, b;
    e.stage2().sourceFromTarget(a, first);
    e.stage2().sourceFromTarget(b, first + count - 1);
    const u64 j0 = e.unitOf(a.whole - e.stageBefore());
    const u64 frames = e.unitOf(b.whole + e.stageAfter()) + e.unitFrames() - j0;
    std::vector<std::vector<M>> intermediate(static_cast<size_t>(e.channels()), std::vector<M>(frames));
    std::vector<M *> write;
    std::vector<const M *> read;
    for (std::vector<M> &plane : intermediate) write.push_back(plane.data()), read.push_back(plane.data());
    e.stage1(planes, planeStart, j0, frames, write.data());
    e.renderDecimated(first, count, read.data(), j0, out);
}

}  // namespace zel_reference

template <typename S>
void referenceRender(const zel::engine::Engine &e, zel::engine::u64 first, zel::engine::u64 count,
                     const S *const *planes, zel::engine::u64 planeStart, S *out) {
    if (count == 0) return;
    if (e.firstStage() == zel::engine::FirstStage::kNone)
        return e.renderDecimated(first, count, planes, planeStart, out);
    // Intermediate frames in double for a preset on double samples or with double intermediate frames.
    if constexpr (std::is_same_v<S, double>) {
        zel_reference::renderVia<double>(e, first, count, planes, planeStart, out);
    } else if (e.preset().doubleIntermediate) {
        zel_reference::renderVia<double>(e, first, count, planes, planeStart, out);
    } else {
        zel_reference::renderVia<float>(e, first, count, planes, planeStart, out);
    }
}

#endif
