// The band stage's plan: its transform length, block and filter spectrum, in cache-aligned tables.
#ifndef ZEL_SRC_RESAMPLER_BAND_PLAN_H
#define ZEL_SRC_RESAMPLER_BAND_PLAN_H

#include <new>
#include <vector>

namespace zel::engine {

using u64 = unsigned long long;

// Allocates on cache-line boundaries, so that the kernels' vector loads of a row never straddle two lines (rows
// are whole multiples of 32 bytes long, the vectors' size).
template <typename T>
struct CacheAligned {
    using value_type = T;
    CacheAligned() = default;
    template <typename U>
    CacheAligned(const CacheAligned<U> &) {}
    T *allocate(std::size_t n) {
        return static_cast<T *>(::operator new(n * sizeof(T), std::align_val_t(64)));
    }
    void deallocate(T *p, std::size_t) { ::operator delete(p, std::align_val_t(64)); }
    bool operator==(const CacheAligned &) const { return true; }
    bool operator!=(const CacheAligned &) const { return false; }
};

// The sharp first stage of a conversion below a downsampling ratio of 4: a long linear-phase lowpass at L times
// the source rate (L = 1, or 2 for upsampling by two), by fast convolution in blocks fixed to absolute
// intermediate frame indices, so that no frame's value depends on where a run started or how it was cut.
// Frame i at L S is sum_k x[k] g[i - L k] over the filter's 2K + 1 taps g[-K .. K]; the band stage keeps every
// D-th (D = 1; 2 for downsampling by 2.5 or more, or by exactly 2; 3 for exactly 3).
struct BandPlan {
    u64 size = 0;        // N: the transform length, a power of two (three times one when D is 3)
    u64 factor = 1;      // L
    u64 decimation = 1;  // D
    u64 half = 0;        // K, even
    u64 block = 0;       // B = N - 2K frames at L S per block (even); a unit is two blocks in one transform
    // Twiddles for N points (span h at [h - 1, 2h - 1), imaginary parts N further; then their cubes for the
    // first half of each span, span h at 2N + [h / 2 - 1, h - 1), imaginary parts N further), and the filter's
    // spectrum (real: the filter is even about tap 0) in the transform's bit-reversed order, scaled by 1 / N. In
    // float for float presets, else in double.
    std::vector<float, CacheAligned<float>> twiddlesF, spectrumF;
    std::vector<double, CacheAligned<double>> twiddlesD, spectrumD;
};

}  // namespace zel::engine

#endif
