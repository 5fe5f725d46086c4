// Benchmarks of the multiply-divide, the mapper and the gcd family against baselines written here: native
// unsigned __int128 arithmetic, the x86-64 mul+div instructions (the hardware limit), a classic 64-step
// shift-and-subtract division, and an exact native-128-bit mapper. After the runs it prints the ratios that
// the performance targets are stated in, all measured in the same process.
#include <benchmark/benchmark.h>
#include <zel/math.h>
#include <zel/resampling_mapper.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using u64 = unsigned long long;
__extension__ typedef unsigned __int128 u128;

constexpr size_t kItems = 4096;  // operands per iteration; large enough to defeat branch-history memorisation

void setItems(benchmark::State &state) {
    state.SetItemsProcessed(state.iterations() * static_cast<benchmark::IterationCount>(kItems));
}

struct Operands {
    std::vector<u64> value, multiplier, divisor;
};

u64 ofWidth(std::mt19937_64 &rng, unsigned width) {
    if (width == 0) return 0;
    const u64 top = 1ULL << (width - 1);
    return top | (rng() & (top - 1));
}

// Target indices up to 2^40 and common audio rates: what a resampler passes per block.
const Operands &audioOperands() {
    static const Operands ops = [] {
        const u64 rates[] = {44100, 48000, 96000, 30000, 44100ULL * 1001, 88200, 32000, 22050};
        std::mt19937_64 rng(1);
        Operands o;
        for (size_t i = 0; i < kItems; ++i) {
            o.value.push_back(ofWidth(rng, 1 + static_cast<unsigned>(rng() % 40)));
            o.multiplier.push_back(rates[rng() % 8]);
            o.divisor.push_back(rates[rng() % 8]);
        }
        return o;
    }();
    return ops;
}

// Divisors of 33 to 63 bits with quotients that fit in 64 bits.
const Operands &wideOperands() {
    static const Operands ops = [] {
        std::mt19937_64 rng(2);
        Operands o;
        while (o.value.size() < kItems) {
            const u64 d = ofWidth(rng, 33 + static_cast<unsigned>(rng() % 31));
            const u64 m = ofWidth(rng, 1 + static_cast<unsigned>(rng() % 64));
            const u64 v = rng();
            if ((static_cast<u128>(v) * m) / d >> 64 != 0) continue;
            o.value.push_back(v);
            o.multiplier.push_back(m);
            o.divisor.push_back(d);
        }
        return o;
    }();
    return ops;
}

// Identity (multiplier 1, divisor 1) and zero-multiplier calls, mixed.
const Operands &shortcutOperands() {
    static const Operands ops = [] {
        std::mt19937_64 rng(3);
        Operands o;
        for (size_t i = 0; i < kItems; ++i) {
            const bool identity = rng() % 2 == 0;
            o.value.push_back(rng());
            o.multiplier.push_back(identity ? 1 : 0);
            o.divisor.push_back(identity ? 1 : 1 + rng() % 48000);
        }
        return o;
    }();
    return ops;
}

// ---- multiply-divide implementations under test -------------------------------------------------------

struct Zel {
    static bool muldiv(u64 v, u64 m, u64 d, u64 &q, u64 &r) {
        return safe_muldiv_llong_with_remainder(v, m, d, &q, &r) == 0;
    }
};

struct Native128 {
    static bool muldiv(u64 v, u64 m, u64 d, u64 &q, u64 &r) {
        if (d == 0) return false;
        const u128 p = static_cast<u128>(v) * m;
        const u128 quotient = p / d;
        if (quotient >> 64 != 0) return false;
        q = static_cast<u64>(quotient);
        r = static_cast<u64>(p % d);
        return true;
    }
};

#if defined(__x86_64__)
struct HardwareMulDiv {
    static bool muldiv(u64 v, u64 m, u64 d, u64 &q, u64 &r) {
        u64 lo, hi;
        __asm__("mulq %3" : "=a"(lo), "=d"(hi) : "a"(v), "rm"(m) : "cc");
        if (hi >= d) return false;  // also excludes d == 0; divq would fault
        __asm__("divq %4" : "=a"(q), "=d"(r) : "a"(lo), "d"(hi), "rm"(d) : "cc");
        return true;
    }
};
#endif

// The classic way: one bit of quotient per step over the low 64 bits, after checking the high half.
struct ShiftSubtract64 {
    static bool muldiv(u64 v, u64 m, u64 d, u64 &q, u64 &r) {
        const u128 p = static_cast<u128>(v) * m;
        u64 hi = static_cast<u64>(p >> 64), lo = static_cast<u64>(p);
        if (hi >= d) return false;
        for (int i = 0; i < 64; ++i) {
            const u64 carry = hi >> 63;
            hi = (hi << 1) | (lo >> 63);
            lo <<= 1;
            if (carry != 0 || hi >= d) {
                hi -= d;
                lo |= 1;
            }
        }
        q = lo;
        r = hi;
        return true;
    }
};

template <typename Impl>
void runMulDiv(benchmark::State &state, const Operands &ops) {
    for (auto _ : state) {
        u64 sum = 0;
        for (size_t i = 0; i < kItems; ++i) {
            u64 q = 0, r = 0;
            const bool ok = Impl::muldiv(ops.value[i], ops.multiplier[i], ops.divisor[i], q, r);
            sum += ok ? q ^ r : 1;
        }
        benchmark::DoNotOptimize(sum);
    }
    setItems(state);
}

template <typename Impl>
void BM_MulDivAudio(benchmark::State &state) {
    runMulDiv<Impl>(state, audioOperands());
}
template <typename Impl>
void BM_MulDivWide(benchmark::State &state) {
    runMulDiv<Impl>(state, wideOperands());
}
template <typename Impl>
void BM_MulDivShortcuts(benchmark::State &state) {
    runMulDiv<Impl>(state, shortcutOperands());
}

BENCHMARK_TEMPLATE(BM_MulDivAudio, Zel);
BENCHMARK_TEMPLATE(BM_MulDivAudio, Native128);
BENCHMARK_TEMPLATE(BM_MulDivWide, Zel);
BENCHMARK_TEMPLATE(BM_MulDivWide, Native128);
BENCHMARK_TEMPLATE(BM_MulDivWide, ShiftSubtract64);
BENCHMARK_TEMPLATE(BM_MulDivShortcuts, Zel);
#if defined(__x86_64__)
BENCHMARK_TEMPLATE(BM_MulDivAudio, HardwareMulDiv);
BENCHMARK_TEMPLATE(BM_MulDivWide, HardwareMulDiv);
#endif

// ---- one 512-sample block: map the run, then the request range ------------------------------------------

constexpr u64 kBlock = 512;

// Block starts spread over the first 2^40 target samples, so positions have realistic magnitudes.
const std::vector<u64> &blockStarts() {
    static const std::vector<u64> starts = [] {
        std::mt19937_64 rng(4);
        std::vector<u64> s;
        for (size_t i = 0; i < kItems; ++i) s.push_back((rng() & ((1ULL << 40) - 1)) / kBlock * kBlock);
        return s;
    }();
    return starts;
}

// An exact mapper with native 128-bit arithmetic: what the library's block mapping is measured against.
struct NativeMapper {
    u64 s, t;
    bool includeNext;

    bool block(u64 start, u64 count, u64 &first, u64 &last) const {
        const u128 pf = static_cast<u128>(start) * s, pl = static_cast<u128>(start + count - 1) * s;
        const u128 wf = pf / t, wl = pl / t;
        if (wl >> 64 != 0) return false;
        const u64 nl = static_cast<u64>(pl % t);
        first = static_cast<u64>(wf);
        last = static_cast<u64>(wl) + (includeNext && nl != 0 && static_cast<u64>(wl) != ~0ULL ? 1 : 0);
        return true;
    }
};

void runZelBlocks(benchmark::State &state, u64 source, u64 target) {
    mirelo::ResamplingMapper mapper(true);
    mapper.setSourceAndTargetSampleRate(source, target);
    const std::vector<u64> &starts = blockStarts();
    for (auto _ : state) {
        u64 sum = 0;
        for (size_t i = 0; i < kItems; ++i) {
            mirelo::ResamplingMapper::sample_mixed_fraction_range positions;
            mirelo::ResamplingMapper::sample_range request;
            if (mapper.sourceFromTargetStartAndCount(positions, starts[i], kBlock)) {
                mapper.getSourceRequestRange(request, positions);
                sum += request.first ^ request.last ^ positions.last.numerator;
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    setItems(state);
}

void BM_BlockZel(benchmark::State &state) { runZelBlocks(state, 44100, 48000); }
void BM_BlockZelEqualRates(benchmark::State &state) { runZelBlocks(state, 48000, 48000); }

void BM_BlockNative128(benchmark::State &state) {
    // Rates read through an opaque value, so that the compiler cannot turn the divisions into multiplications.
    u64 source = 44100, target = 48000;
    benchmark::DoNotOptimize(source);
    benchmark::DoNotOptimize(target);
    const NativeMapper mapper{source, target, true};
    const std::vector<u64> &starts = blockStarts();
    for (auto _ : state) {
        u64 sum = 0;
        for (size_t i = 0; i < kItems; ++i) {
            u64 first = 0, last = 0;
            if (mapper.block(starts[i], kBlock, first, last)) sum += first ^ last;
        }
        benchmark::DoNotOptimize(sum);
    }
    setItems(state);
}

// The floor under any block through the shared library: two calls that return at once (gcd(x, 0) == x),
// the same number of calls a block makes.
void BM_TwoLibraryCalls(benchmark::State &state) {
    const std::vector<u64> &starts = blockStarts();
    for (auto _ : state) {
        u64 sum = 0;
        for (size_t i = 0; i < kItems; ++i)
            sum += math_gcd_llong(starts[i], 0) ^ math_gcd_llong(0, starts[i]);
        benchmark::DoNotOptimize(sum);
    }
    setItems(state);
}

BENCHMARK(BM_BlockZel);
BENCHMARK(BM_BlockNative128);
BENCHMARK(BM_BlockZelEqualRates);
BENCHMARK(BM_TwoLibraryCalls);

// ---- gcd, for reference: it runs at configuration time, not per block --------------------------------

void runGcd(benchmark::State &state, bool audio) {
    std::mt19937_64 rng(5);
    const u64 rates[] = {44100, 48000, 96000, 30000, 44100ULL * 1001, 88200, 32000, 22050};
    std::vector<u64> a, b;
    for (size_t i = 0; i < kItems; ++i) {
        a.push_back(audio ? rates[rng() % 8] : rng());
        b.push_back(audio ? rates[rng() % 8] * 1001 : rng());
    }
    for (auto _ : state) {
        u64 sum = 0;
        for (size_t i = 0; i < kItems; ++i) sum += math_gcd_llong(a[i], b[i]);
        benchmark::DoNotOptimize(sum);
    }
    setItems(state);
}

void BM_GcdAudioRates(benchmark::State &state) { runGcd(state, true); }
void BM_GcdRandom64(benchmark::State &state) { runGcd(state, false); }
BENCHMARK(BM_GcdAudioRates);
BENCHMARK(BM_GcdRandom64);

// ---- per-sample positions and phases: 8 blocks of 512 per iteration, so items are positions ----------------

constexpr u64 kPhases = 256;  // a typical polyphase bank

// Per-sample loops written plainly, as resamplers do by hand; the rates come through an opaque value so that the
// compiler cannot fold the steps. Each fills whole[] and numerator[] (or phase[]) for one block.
struct Stepping {
    u64 s, t;
    u64 start(u64 n) const { return static_cast<u64>(static_cast<u128>(n) * s % t); }
};

// The classic integer stepping: whole step, fractional step, and a branch on the carry.
void plainLoop(const Stepping &r, u64 first, u64 *whole, u64 *numerator) {
    u64 w = static_cast<u64>(static_cast<u128>(first) * r.s / r.t), n = r.start(first);
    const u64 stepWhole = r.s / r.t, stepNumerator = r.s % r.t;
    for (u64 i = 0; i < kBlock; ++i) {
        whole[i] = w;
        numerator[i] = n;
        w += stepWhole;
        n += stepNumerator;
        if (n >= r.t) {
            n -= r.t;
            ++w;
        }
    }
}

// The same, extended with a phase stepped the same way (its own remainder and carry).
void plainPhaseLoop(const Stepping &r, u64 first, u64 *whole, u64 *phase, u64 *remainder) {
    u64 w = static_cast<u64>(static_cast<u128>(first) * r.s / r.t), n = r.start(first);
    const u64 stepWhole = r.s / r.t, stepNumerator = r.s % r.t;
    u64 p = n * kPhases / r.t, q = n * kPhases % r.t;
    const u64 phaseStep = stepNumerator * kPhases / r.t, remainderStep = stepNumerator * kPhases % r.t;
    for (u64 i = 0; i < kBlock; ++i) {
        whole[i] = w;
        phase[i] = p;
        remainder[i] = q;
        w += stepWhole;
        n += stepNumerator;
        p += phaseStep;
        q += remainderStep;
        if (q >= r.t) {
            q -= r.t;
            ++p;
        }
        if (n >= r.t) {
            n -= r.t;
            ++w;
            p -= kPhases;
        }
    }
}

// A double-precision accumulator, pos += step: fast, and it drifts.
void doubleLoop(const Stepping &r, u64 first, u64 *whole, double *fraction, bool phases) {
    double pos = static_cast<double>(first) * static_cast<double>(r.s) / static_cast<double>(r.t);
    const double step = static_cast<double>(r.s) / static_cast<double>(r.t);
    for (u64 i = 0; i < kBlock; ++i) {
        const double floor = static_cast<double>(static_cast<u64>(pos));
        whole[i] = static_cast<u64>(floor);
        fraction[i] = phases ? static_cast<double>(static_cast<u64>((pos - floor) * kPhases)) : pos - floor;
        pos += step;
    }
}

enum class PerSample { Zel, ZelPhases, Plain, PlainPhases, Double, DoublePhases, MulDivEach };

template <PerSample kind>
void BM_PerSample(benchmark::State &state) {
    u64 source = static_cast<u64>(state.range(0)), target = static_cast<u64>(state.range(1));
    benchmark::DoNotOptimize(source);
    benchmark::DoNotOptimize(target);
    mirelo::ResamplingMapper mapper;
    mapper.setSourceAndTargetSampleRate(source, target);
    const Stepping rates{source, target};
    const std::vector<u64> &starts = blockStarts();
    std::vector<u64> whole(kBlock), second(kBlock), third(kBlock);
    std::vector<double> fraction(kBlock);
    size_t next = 0;
    for (auto _ : state) {
        for (u64 b = 0; b < kItems / kBlock; ++b, next = (next + 1) % kItems) {
            const u64 first = starts[next];
            if (kind == PerSample::Zel)
                mapper.sourcePositionsFromTarget(whole.data(), second.data(), first, kBlock);
            if (kind == PerSample::ZelPhases)
                mapper.sourcePhasesFromTarget(whole.data(), second.data(), third.data(), kPhases, first,
                                              kBlock);
            if (kind == PerSample::Plain) plainLoop(rates, first, whole.data(), second.data());
            if (kind == PerSample::PlainPhases)
                plainPhaseLoop(rates, first, whole.data(), second.data(), third.data());
            if (kind == PerSample::Double || kind == PerSample::DoublePhases)
                doubleLoop(rates, first, whole.data(), fraction.data(), kind == PerSample::DoublePhases);
            if (kind == PerSample::MulDivEach) {
                for (u64 i = 0; i < kBlock; ++i)
                    safe_muldiv_llong_with_remainder(first + i, source, target, &whole[i], &second[i]);
            }
            benchmark::DoNotOptimize(whole.data());
            benchmark::DoNotOptimize(second.data());
            benchmark::DoNotOptimize(fraction.data());
            benchmark::ClobberMemory();
        }
    }
    setItems(state);
}

#define ZEL_PER_SAMPLE(kind) \
    BENCHMARK_TEMPLATE(BM_PerSample, kind)->Args({44100, 48000})->Args({48000, 44100})
ZEL_PER_SAMPLE(PerSample::Zel);
ZEL_PER_SAMPLE(PerSample::Plain);
ZEL_PER_SAMPLE(PerSample::Double);
ZEL_PER_SAMPLE(PerSample::MulDivEach);
ZEL_PER_SAMPLE(PerSample::ZelPhases);
ZEL_PER_SAMPLE(PerSample::PlainPhases);
ZEL_PER_SAMPLE(PerSample::DoublePhases);

// ---- ratio report ----------------------------------------------------------------------------------------

// Keeps the median time per item of each benchmark (or its only run, without repetitions).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration && perItem_.count(run.run_name.str()) == 0) {
                perItem_[run.run_name.str()] = nsPerItem(run);
            } else if (median) {
                perItem_[run.run_name.str()] = nsPerItem(run);
            }
        }
    }

    void printRatios() const {
        std::printf("\nns per call (median) and ratios, measured in this run:\n");
        for (const auto &[name, ns] : perItem_) std::printf("  %-40s %8.2f ns\n", name.c_str(), ns);
        std::printf("\n");
        ratio("audio-rate multiply-divide / native 128-bit", "BM_MulDivAudio<Zel>",
              "BM_MulDivAudio<Native128>", 1.2);
        ratio("audio-rate multiply-divide / hardware mul+div", "BM_MulDivAudio<Zel>",
              "BM_MulDivAudio<HardwareMulDiv>", 0);
        ratio("wide-divisor multiply-divide / 64-step shift-subtract", "BM_MulDivWide<Zel>",
              "BM_MulDivWide<ShiftSubtract64>", 0.6);
        ratio("wide-divisor multiply-divide / hardware mul+div", "BM_MulDivWide<Zel>",
              "BM_MulDivWide<HardwareMulDiv>", 0);
        ratio("512-sample block / exact native-128-bit mapper", "BM_BlockZel", "BM_BlockNative128", 1.5);
        ratio("equal-rates block / unequal-rates block", "BM_BlockZelEqualRates", "BM_BlockZel", 1.0 / 3);
        for (const char *rates : {"44100/48000", "48000/44100"}) {
            const auto name = [rates](const char *kind) {
                return std::string("BM_PerSample<PerSample::") + kind + ">/" + rates;
            };
            std::printf("  per-sample positions, %s:\n", rates);
            ratio("    library / plain stepping loop", name("Zel"), name("Plain"), 1.0);
            ratio("    library / double accumulator", name("Zel"), name("Double"), 1.2);
            ratio("    library / one multiply-divide per sample", name("Zel"), name("MulDivEach"), 0.2);
            ratio("    library phases / plain stepping loop with phase", name("ZelPhases"),
                  name("PlainPhases"), 1.5);
            ratio("    library phases / double accumulator with phase", name("ZelPhases"),
                  name("DoublePhases"), 1.5);
        }
        ratio("equal-rates block / two library calls doing nothing", "BM_BlockZelEqualRates",
              "BM_TwoLibraryCalls", 0);
    }

private:
    static double nsPerItem(const Run &run) {
        return run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit) /
               static_cast<double>(kItems);
    }

    void ratio(const char *what, const std::string &num, const std::string &den, double target) const {
        const auto n = perItem_.find(num), d = perItem_.find(den);
        if (n == perItem_.end() || d == perItem_.end()) return;
        const double r = n->second / d->second;
        if (target > 0) {
            std::printf("  %-56s %6.2fx  (target <= %.2fx: %s)\n", what, r, target,
                        r <= target ? "met" : "NOT MET");
        } else {
            std::printf("  %-56s %6.2fx\n", what, r);
        }
    }

    std::map<std::string, double> perItem_;
};

}  // namespace

int main(int argc, char **argv) {
    // Defaults suited to a shared, noisy machine: repeated runs, randomly interleaved so that a slow spell hits
    // every benchmark alike, and medians. Flags given on the command line come later and override these.
    std::vector<char *> args(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=15";
    char minTime[] = "--benchmark_min_time=0.1";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char aggregates[] = "--benchmark_report_aggregates_only=true";
    args.insert(args.begin() + 1, {repetitions, minTime, interleave, aggregates});
    argc = static_cast<int>(args.size());
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
