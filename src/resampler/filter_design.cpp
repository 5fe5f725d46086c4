#include "filter_design.h"

#include <algorithm>
#include <cmath>

#include "kernels.h"

namespace zel::engine {

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr u64 kMaxCoefficients = 1ULL << 22;  // a polyphase table of at most 32 MB
}  // namespace

// sin(pi x) and cos(pi x) from +, - and * alone: libm's sin and cos differ in the last bit between processors
// (glibc picks FMA variants where the processor has FMA), and a filter's taps must be the same on every machine.
// x is reduced exactly to r in [-1/4, 1/4] (|x| < 2^52) and Taylor series in pi r summed in Horner form, their
// coefficients +-1 / k! computed by the compiler (terms to the 18th power leave an error below 1e-19).
namespace {
struct Taylor {
    double sin[9], cos[9];  // the coefficients of y^(2i + 1) and of y^(2i + 2)
    constexpr Taylor() : sin(), cos() {
        double factorial = 1;
        for (int k = 1; k <= 18; ++k) {
            factorial *= k;
            const double term = (k / 2) % 2 == 1 ? -1 / factorial : 1 / factorial;
            if (k >= 2) (k % 2 == 1 ? sin[(k - 3) / 2] : cos[(k - 2) / 2]) = term;
        }
    }
};
constexpr Taylor kTaylor;

// L values at once, each lane computed exactly as it would be alone (the same operations in the same order), so
// that the bits do not depend on L while L chains of dependent operations overlap.
template <u64 L>
void sinPiLanes(const double *x, double *out) {
    double y[L], y2[L], s[L], c[L];
    u64 quadrant[L];
    for (u64 l = 0; l < L; ++l) {
        const double q = std::round(2 * x[l]);                          // x = q / 2 + r, |r| <= 1/4, exactly
        quadrant[l] = static_cast<u64>(static_cast<long long>(q)) % 4;  // two's complement: q mod 4
        y[l] = kPi * (x[l] - q / 2);
        y2[l] = y[l] * y[l], s[l] = 0, c[l] = 0;
    }
    for (int i = 8; i >= 0; --i) {
        for (u64 l = 0; l < L; ++l) {
            if (i < 8) s[l] = (s[l] + kTaylor.sin[i]) * y2[l];
            c[l] = (c[l] + kTaylor.cos[i]) * y2[l];
        }
    }
    for (u64 l = 0; l < L; ++l) {
        const double v = quadrant[l] % 2 == 0 ? y[l] + y[l] * s[l] : 1 + c[l];
        out[l] = quadrant[l] >= 2 ? -v : v;
    }
}

double sinPi(double x) {
    double v;
    sinPiLanes<1>(&x, &v);
    return v;
}

double cosPi(double x) { return sinPi(x + 0.5); }
}  // namespace

// The modified Bessel function I0, by its power series (all terms positive, so no cancellation): term k is term
// k - 1 times (x / 2)^2 / k^2, the reciprocals of the squares a table (a table of millions of taps calls this for
// each). Arguments stay below 64, whose series ends before k = 256.
namespace {
struct InverseSquares {
    double of[256];
    constexpr InverseSquares() : of() {
        for (int k = 1; k < 256; ++k) of[k] = 1.0 / (static_cast<double>(k) * k);
    }
};
constexpr InverseSquares kInverseSquares;
}  // namespace

// L values at once, as sinPiLanes. A lane whose series has ended adds terms too small to change its sum until
// every lane's has (each is below 1e-18 of the sum, far under half its last bit), so its bits are its own.
template <u64 L>
void besselI0Lanes(const double *x, double *out) {
    double q[L], sum[L], term[L];
    for (u64 l = 0; l < L; ++l) q[l] = x[l] * x[l] / 4, sum[l] = 1, term[l] = 1;
    for (int k = 1; k < 256; ++k) {
        bool more = false;
        for (u64 l = 0; l < L; ++l) more = more || term[l] > sum[l] * 1e-18;
        if (!more) break;
        for (u64 l = 0; l < L; ++l) {
            term[l] *= q[l] * kInverseSquares.of[k];
            sum[l] += term[l];
        }
    }
    for (u64 l = 0; l < L; ++l) out[l] = sum[l];
}

double besselI0(double x) {
    double v;
    besselI0Lanes<1>(&x, &v);
    return v;
}

// Half the length of a Kaiser-windowed lowpass attenuating by a dB over a transition of `width` cycles per
// sample (Kaiser's estimate), capped so that memory stays bounded; `capped` is set when the cap applies.
u64 kaiserHalfLength(double a, double width, bool &capped) {
    const double wanted = (a - 7.95) / (14.36 * width) + 1;
    capped = capped || wanted > static_cast<double>(kMaxTaps);
    const double length = std::min(wanted, static_cast<double>(kMaxTaps));
    return static_cast<u64>(std::ceil(length / 2));
}

// Kaiser's window shape for an attenuation of a dB.
double kaiserBeta(double a) { return 0.1102 * (a - 8.7); }

// The taps at distances x[0 .. count - 1] from the centre of a Kaiser-windowed sinc with the given cutoff (cycles
// per sample) whose window reaches `width` either side; 0 outside it. Four at a time, each as it would be alone.
void kaiserTaps(const double *x, u64 count, double width, double cutoff, double beta, double i0Beta,
                double *out, bool closed) {
    constexpr u64 L = 4;
    for (u64 at = 0; at < count; at += L) {
        double arg[L], w[L], sine[L], i0[L];
        bool inside[L];
        for (u64 l = 0; l < L; ++l) {
            const double xl = at + l < count ? x[at + l] : 0;
            const double u = xl / width;
            inside[l] = at + l < count && (closed ? u >= -1 && u <= 1 : u > -1 && u < 1);
            arg[l] = 2 * cutoff * xl;
            w[l] = inside[l] ? beta * std::sqrt(1 - u * u) : 0;
        }
        sinPiLanes<L>(arg, sine);
        besselI0Lanes<L>(w, i0);
        for (u64 l = 0; l < L && at + l < count; ++l) {
            const double sinc = arg[l] == 0 ? 1 : sine[l] / (kPi * arg[l]);
            out[at + l] = inside[l] ? 2 * cutoff * sinc * i0[l] / i0Beta : 0;
        }
    }
}

namespace {
// The taps at distances x[0 .. count - 1], scaled to unit gain at DC (their sum, added in order, divides each).
void unitGainTaps(const double *x, u64 count, double width, double cutoff, double beta, double i0Beta,
                  double *out) {
    kaiserTaps(x, count, width, cutoff, beta, i0Beta, out);
    double sum = 0;
    for (u64 j = 0; j < count; ++j) sum += out[j];
    for (u64 j = 0; j < count; ++j) out[j] /= sum;
}
}  // namespace

// The 2 * half + 1 taps of a linear-phase Kaiser-windowed sinc centred on tap `half`, with unit gain at DC.
std::vector<double> kaiserLowpass(double a, double cutoff, u64 half) {
    const double beta = kaiserBeta(a);
    std::vector<double> x(2 * half + 1), taps(2 * half + 1);
    for (u64 k = 0; k < x.size(); ++k) x[k] = static_cast<double>(k) - static_cast<double>(half);
    unitGainTaps(x.data(), x.size(), static_cast<double>(half + 1), cutoff, beta, besselI0(beta),
                 taps.data());
    return taps;
}

// The band stage for lowpass edges `pass` and `stop` (cycles per intermediate frame) at L times the source rate.
// The transform length minimises the work per frame, N log N / (N - 2K), among those whose unit and filter reach
// fit in `reach` frames at L S.
BandPlan bandPlan(double a, double pass, double stop, u64 factor, u64 decimation, u64 reach,
                  Preset::Precision precision, bool &capped) {
    BandPlan p;
    p.factor = factor, p.decimation = decimation;
    p.half = kaiserHalfLength(a, stop - pass, capped);
    // The transform stays within its largest size.
    capped = capped || p.half > (1ULL << 14);
    if (capped) return p;
    // Even, so that a unit starts on a whole source frame when L is 2; a multiple of D, so that the kept frames
    // are every D-th of the block; of 3 when L is 3. The transform is three times a power of two when D or L is 3.
    const bool thirds = decimation == 3 || factor == 3;
    const u64 grain = thirds ? 6 : 2;
    p.half = (p.half + grain - 1) / grain * grain;
    const auto cost = [&](u64 size) {
        return static_cast<double>(size) * std::log2(static_cast<double>(size)) /
               static_cast<double>(size - 2 * p.half);
    };
    // Powers of two, or three times one (see forwardThirds). Blocks of at least 64 frames; when none fits (a band
    // widened past the preset's), the shortest transform whose block is at least K.
    const u64 first = thirds ? 96 : 64;
    u64 n = 0;
    for (u64 size = first; size <= (1ULL << 16); size *= 2) {
        if (size < 2 * p.half + 64) continue;
        if (2 * (size - 2 * p.half) + p.half > reach) break;
        if (n == 0 || cost(size) < cost(n)) n = size;
    }
    if (n == 0) {
        n = first;
        while (n < 3 * p.half) n *= 2;
    }
    p.size = n, p.block = n - 2 * p.half;
    // Keeping every third frame, or making three per source frame, pays only with blocks of at least half the
    // transform; else no plan (size 0), found before the design is paid for, and the caller takes the plan with a
    // second filter instead.
    if (thirds && 2 * p.block < p.size) return BandPlan{};

    // The twiddles of the power-of-two transforms.
    const u64 m = thirds ? n / 3 : n;
    std::vector<double> twiddles(4 * m, 0.0);
    for (u64 h = 1; h < m; h *= 2) {
        for (u64 j = 0; j < h; ++j) {
            // Exact: h is a power of two.
            const double turn = static_cast<double>(j) / static_cast<double>(h);
            twiddles[h - 1 + j] = cosPi(turn), twiddles[m + h - 1 + j] = -sinPi(turn);
            if (h >= 2 && 2 * j < h) {  // cubes for the radix-4 butterflies: span h at [h / 2 - 1, h - 1)
                const double cube = 3 * turn;
                twiddles[2 * m + h / 2 - 1 + j] = cosPi(cube), twiddles[3 * m + h / 2 - 1 + j] = -sinPi(cube);
            }
        }
    }
    // The taps about tap 0, wrapping around: an even sequence, whose transform is real.
    const std::vector<double> taps = kaiserLowpass(a, (pass + stop) / 2, p.half);
    std::vector<double> re(n, 0.0), im(n, 0.0);
    for (u64 j = 0; j <= p.half; ++j) {
        const double g = taps[p.half + j] * static_cast<double>(factor) / static_cast<double>(n);
        re[j] = g, re[(n - j) % n] = g;
    }
    kernels_generic::forward(re.data(), im.data(), twiddles.data(), n);
    if (precision == Preset::kFloat) {
        // The float transforms' vectors are twice as wide, and so are their runs of places.
        p.twiddlesF.assign(twiddles.begin(), twiddles.end()), p.spectrumF.resize(n);
        for (u64 j = 0; j < n; ++j)
            p.spectrumF[placeInTransform(j, 8)] = static_cast<float>(re[placeInTransform(j, 4)]);
    } else {
        p.twiddlesD.assign(twiddles.begin(), twiddles.end()), p.spectrumD.assign(re.begin(), re.end());
    }
    return p;
}

namespace {
// Tap j of row r reads source frame whole - (half - 1) + j, at this distance from the exact position r / P.
double tapDistance(u64 r, u64 phases, u64 half, u64 j) {
    return static_cast<double>(r) / static_cast<double>(phases) + static_cast<double>(half - 1) -
           static_cast<double>(j);
}

struct Kaiser {
    double width, cutoff, beta, i0Beta;
};

// Tap j of rows 0 .. designed - 1 (phases r / P in [0, 1/2]) as a function of the phase is smooth: the sinc and
// the window's power series are entire, so each column is, on each eighth of a frame, a Chebyshev interpolant of
// low degree through exact taps at its nodes, within 2e-14 of the exact taps (a table of millions of taps then
// costs a few thousand exact ones, and its stopband is untouched). Only tap 2 half - 1 of row 0 lies on the
// window's edge, where the interpolant continues the window: it is zeroed unless the window is closed. Clenshaw's
// recurrence, eight rows side by side, each as it would be alone.
constexpr u64 kPieces = 4, kNodes = 10, kSmoothRows = 256, kSmoothHalf = 4, kRowLanes = 8;
typedef double RowLanes __attribute__((vector_size(kRowLanes * sizeof(double))));

// Rows first .. end - 1 of a piece from its columns' coefficients. Only +, - and * on each lane, so the bits
// are the same on every processor; where it has AVX2, in wider vectors (chosen at the call: an ifunc would run
// before a sanitizer's runtime is up).
[[gnu::always_inline]] inline void evaluateRows(const double *coefficient, u64 n, u64 piece, u64 first,
                                                u64 end, u64 phases, u64 stride, double *rows) {
    for (u64 r0 = first; r0 < end; r0 += kRowLanes) {
        RowLanes t;
        for (u64 l = 0; l < kRowLanes; ++l)
            t[l] = 4 * kPieces * (static_cast<double>(r0 + l) / static_cast<double>(phases)) -
                   static_cast<double>(2 * piece + 1);
        for (u64 j = 0; j < n; ++j) {
            const double *c = &coefficient[j * kNodes];
            RowLanes b1 = {}, b2 = {};
            for (u64 m = kNodes - 1; m >= 1; --m) {
                const RowLanes b0 = c[m] + 2 * t * b1 - b2;
                b2 = b1, b1 = b0;
            }
            const RowLanes value = c[0] + t * b1 - b2;
            for (u64 l = 0; l < kRowLanes && r0 + l < end; ++l) rows[(r0 + l) * stride + j] = value[l];
        }
    }
}

#if defined(__x86_64__) && !defined(ZEL_NO_SIMD)
__attribute__((target("avx2"))) void evaluateRowsAvx2(const double *coefficient, u64 n, u64 piece, u64 first,
                                                      u64 end, u64 phases, u64 stride, double *rows) {
    evaluateRows(coefficient, n, piece, first, end, phases, stride, rows);
}
#endif

void evaluate(const double *coefficient, u64 n, u64 piece, u64 first, u64 end, u64 phases, u64 stride,
              double *rows) {
#if defined(__x86_64__) && !defined(ZEL_NO_SIMD)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return evaluateRowsAvx2(coefficient, n, piece, first, end, phases, stride, rows);
#endif
    evaluateRows(coefficient, n, piece, first, end, phases, stride, rows);
}

void smoothRows(const Kaiser &k, u64 phases, u64 designed, u64 n, u64 stride, bool closed, double *rows) {
    double angle[kNodes];
    for (u64 i = 0; i < kNodes; ++i) angle[i] = (static_cast<double>(i) + 0.5) / kNodes;
    std::vector<double> x(n * kNodes), exact(n * kNodes), coefficient(n * kNodes);
    for (u64 piece = 0; piece < kPieces; ++piece) {
        // Phases [piece / 8, (piece + 1) / 8): t = 16 phase - (2 piece + 1) in [-1, 1).
        const double centre = static_cast<double>(2 * piece + 1) / (4 * kPieces),
                     radius = 1.0 / (4 * kPieces);
        for (u64 j = 0; j < n; ++j) {
            for (u64 i = 0; i < kNodes; ++i)
                x[j * kNodes + i] = centre + radius * cosPi(angle[i]) + static_cast<double>(n / 2 - 1) -
                                    static_cast<double>(j);
        }
        // Nodes lie strictly inside the window: none is on the edge.
        kaiserTaps(x.data(), n * kNodes, k.width, k.cutoff, k.beta, k.i0Beta, exact.data());
        for (u64 j = 0; j < n; ++j) {
            for (u64 m = 0; m < kNodes; ++m) {
                double sum = 0;
                for (u64 i = 0; i < kNodes; ++i)
                    sum += exact[j * kNodes + i] * cosPi(static_cast<double>(m) * angle[i]);
                coefficient[j * kNodes + m] = sum * (m == 0 ? 1.0 : 2.0) / kNodes;
            }
        }
        // The rows whose phase falls in this piece: 8 r / P = piece (the last piece takes phase 1/2).
        const u64 first = (piece * phases + 2 * kPieces - 1) / (2 * kPieces);
        const u64 end =
            piece + 1 == kPieces ? designed : ((piece + 1) * phases + 2 * kPieces - 1) / (2 * kPieces);
        evaluate(coefficient.data(), n, piece, first, end, phases, stride, rows);
    }
    if (!closed) rows[n - 1] = 0;  // on the window's edge
}
}  // namespace

PolyphaseTable polyphaseTable(double a, double pass, double stop, u64 positions, const Preset &preset,
                              bool &capped, bool stopWhenCapped) {
    PolyphaseTable p;
    const double cutoff = (pass + stop) / 2, beta = kaiserBeta(a);
    // Capped, so that memory stays bounded at extreme ratios in one stage (48000 to 1 Hz would want millions of
    // taps): past the cap the transition widens and aliases rise.
    p.half = kaiserHalfLength(a, stop - pass, capped);
    if (capped && stopWhenCapped) return p;
    // Rows of whole vectors: 8 float coefficients or 4 double (a row of 32-byte steps never straddles a cache line).
    const u64 lanes = preset.precision == Preset::kDouble ? 4 : 8;
    p.stride = (2 * p.half + lanes - 1) / lanes * lanes;
    // One phase per position while the table stays within its budget; else phases to interpolate between.
    const u64 rowBudget = kMaxCoefficients / p.stride;
    p.exact = positions <= std::min(kMaxExactPhases, rowBudget);
    // Between two phases the error of a line grows with the square of their spacing, of a parabola through three
    // with its cube: the deepest preset takes the parabola, whose error over half as many phases lies 60 dB
    // lower (lines would need 16 times as many, a table 16 times the cache's size).
    p.quadratic = !p.exact && preset.doubleSamples && preset.doubleIntermediate;  // double frames only
    const u64 interpolated = p.quadratic ? kQuadraticPhases : kInterpolatedPhases;
    p.phases = p.exact ? positions : std::min(interpolated, rowBudget - 1);
    const u64 rowCount = p.phases + (p.exact ? 0 : 1);
    p.rows.assign(rowCount * p.stride, 0.0);
    const Kaiser k{static_cast<double>(p.half), cutoff, beta, besselI0(beta)};
    // Row r is row P - r reversed (tap j of one lies where tap 2 half - 1 - j of the other does, mirrored): rows
    // 0 .. P / 2 are designed and the rest copied, so that the table costs half.
    const u64 designed = p.phases / 2 + 1, n = 2 * p.half;
    if (designed >= kSmoothRows && p.half >= kSmoothHalf) {
        smoothRows(k, p.phases, designed, n, p.stride, p.quadratic, p.rows.data());
    } else {
        std::vector<double> distance(n);
        for (u64 r = 0; r < designed; ++r) {
            for (u64 j = 0; j < n; ++j) distance[j] = tapDistance(r, p.phases, p.half, j);
            kaiserTaps(distance.data(), n, k.width, k.cutoff, k.beta, k.i0Beta, &p.rows[r * p.stride],
                       p.quadratic);
        }
    }
    // Unit gain at DC in every phase, so that no phase modulates the level: each row's taps summed in order,
    // rows side by side.
    for (u64 r0 = 0; r0 < designed; r0 += kRowLanes) {
        const u64 count = std::min(kRowLanes, designed - r0);
        double *row = &p.rows[r0 * p.stride];
        RowLanes sum = {};
        for (u64 j = 0; j < n; ++j) {
            for (u64 l = 0; l < count; ++l) sum[l] += row[l * p.stride + j];
        }
        for (u64 l = 0; l < count; ++l) {
            for (u64 j = 0; j < n; ++j) row[l * p.stride + j] /= sum[l];
        }
    }
    for (u64 r = designed; r < rowCount; ++r) {
        const double *mirror = &p.rows[(p.phases - r) * p.stride];
        for (u64 j = 0; j < n; ++j) p.rows[r * p.stride + j] = mirror[n - 1 - j];
    }
    return p;
}

}  // namespace zel::engine
