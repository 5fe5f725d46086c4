// Fuzz target for the resampler's stream: any rates, preset, band and channel count; process calls of any size in
// either type, ends, seeks anywhere, changes of a moving source rate. Each call is held to the header's contract (errno, counts, nothing written on
// failure, the output's length) and its frames to a second resampler's given the same input in one piece.
#include <zel/resampler.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <tuple>
#include <vector>

namespace {

using u64 = unsigned long long;
__extension__ typedef unsigned __int128 u128;
constexpr u64 kFrameLimit = 1ULL << 61;  // the header's end of the input's range
constexpr u64 kMaxSamples = 1 << 16;     // per run since a seek: keeps every input fast
constexpr int kUntouched = 4321;         // errno before each call
constexpr float kSentinel = -1234.5f;    // where nothing may be written

#define CHECK(condition, ...) \
    if (!(condition)) std::fprintf(stderr, "contract broken (line %d): ", __LINE__), report(__VA_ARGS__)

[[noreturn]] __attribute__((format(printf, 1, 2))) void report(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    std::abort();
}

// Little-endian integers from the fuzzer's bytes, zero once they run out.
struct Bytes {
    const std::uint8_t *data;
    std::size_t size, pos = 0;
    bool empty() const { return pos >= size; }
    u64 take(int bytes) {
        u64 v = 0;
        for (int i = 0; i < bytes && pos < size; ++i) v |= static_cast<u64>(data[pos++]) << (8 * i);
        return v;
    }
};

u64 rate(Bytes &b) {
    static constexpr u64 kCommon[] = {8000, 44100, 48000, 96000, 1, 1ULL << 63, 30000, ~0ULL};
    const u64 kind = b.take(1) % 4;
    return kind == 0   ? kCommon[b.take(1) % 8]
           : kind == 1 ? b.take(8)
           : kind == 2 ? b.take(4) % 400000
                       : b.take(2);
}

u64 denominator(Bytes &b) {
    const u64 kind = b.take(1) % 4;
    return kind == 0 ? 1 : kind == 1 ? 1001 : kind == 2 ? b.take(2) : b.take(8);
}

struct Config {
    u64 sn, sd, tn, td;
    unsigned channels;
    int quality;
    double bandwidth;  // 0: the preset's own
    double range = 0;  // the source rate's range; sn moves within it, made0 is the numerator it was made with
    u64 made0 = 0;
    u128 s = 0, t = 0;  // the current ratio in lowest terms: input frame = output frame * s / t
    zel_resampler *create() const {
        zel_resampler_options o;
        zel_resampler_options_init(&o);
        o.bandwidth = bandwidth, o.source_rate_range = range;
        return zel_resampler_create_with_options(made0, sd, tn, td, channels, quality, &o);
    }
    void reduce() {  // the numerators' and denominators' own common factors count too (44100/4410 to 1/1)
        s = static_cast<u128>(sn) * td, t = static_cast<u128>(tn) * sd;
        u128 a = s, g = t;
        while (a != 0) g %= a, std::swap(a, g);
        s /= g, t /= g;
    }
};

// Input and output since the last seek, kept to check the frames against a second resampler.
struct Run {
    u64 target = 0, firstInput = 0, inputNext = 0;
    std::vector<double> input;   // interleaved, as given (every value a float)
    std::vector<double> output;  // interleaved, as written
    std::vector<bool> single;    // per output frame: written by the float call
    bool ended = false, drained = false, recorded = true;
    u64 written = 0;  // output frames since the seek
    u64 rate = 0;     // the source numerator at the seek, and its changes after (frames written, numerator)
    std::vector<std::pair<u64, u64>> changes;
};

// ceil(frames * t / s), or false when it passes 2^64 - 1.
bool outputsBefore(const Config &c, u64 frames, u64 &count) {
    const u128 n = (static_cast<u128>(frames) * c.t + c.s - 1) / c.s;
    count = static_cast<u64>(n);
    return n <= ~0ULL;
}

// The same input in one piece through a new resampler: every frame the run wrote must be the same, bit for bit.
void compare(const Config &c, const Run &run) {
    // Room for every frame the input gives, so that the piece is taken whole; skipped where that is not cheap.
    const u64 frames = run.input.size() / c.channels;
    // Counted from the seek's input, not from frame 0: after a change of rate, positions are the seek's plus
    // the distance at each rate since, which a far target puts nowhere near frames x s / t.
    const u128 span = (static_cast<u128>(run.inputNext - run.firstInput) * c.t + c.s - 1) / c.s;
    const u128 most = (span + 1) * (run.changes.empty() ? 1 : 2);
    if (!run.recorded || most * c.channels > 4 * kMaxSamples) return;
    zel_resampler *r = c.create();
    CHECK(r != nullptr, "a configuration that worked once failed (errno %d)", errno);
    u64 first = 0;
    CHECK((run.rate == c.made0 || zel_resampler_set_source_rate(r, run.rate) == 0) &&
              zel_resampler_seek(r, run.target, &first) == 0 && first == run.firstInput,
          "seek not repeatable");
    std::vector<double> out(static_cast<size_t>(most) * c.channels);
    size_t used = 0, written = 0, total = 0, at = 0;
    // The input in as few pieces as the rate changes allow: each piece's output ends where a change was made.
    for (size_t k = 0; k <= run.changes.size(); ++k) {
        const size_t upTo = k < run.changes.size() ? run.changes[k].first : out.size() / c.channels;
        CHECK(zel_resampler_process_double(r, run.input.data() + at * c.channels, frames - at, &used,
                                           out.data() + total * c.channels, upTo - total, &written) == 0 &&
                  (k < run.changes.size() ? total + written == upTo : at + used == frames),
              "one piece failed or was not taken whole");
        at += used, total += written;
        if (k < run.changes.size())
            CHECK(zel_resampler_set_source_rate(r, run.changes[k].second) == 0, "a change not repeatable");
    }
    if (run.ended) {  // one call drains it all, given the room
        CHECK(zel_resampler_process_double(r, nullptr, 0, &used, out.data() + total * c.channels,
                                           out.size() / c.channels - total, &written) == 0 ||
                  !run.changes.empty(),
              "the end failed");
        total += written;
    }
    const u64 mine = run.output.size() / c.channels;
    CHECK(run.drained ? total == mine : total >= mine, "one piece wrote %llu frames, the run %llu",
          static_cast<u64>(total), mine);
    for (u64 i = 0; i < mine * c.channels; ++i) {
        const bool same = run.single[i / c.channels]
                              ? static_cast<float>(out[i]) == static_cast<float>(run.output[i])
                              : std::memcmp(&out[i], &run.output[i], sizeof(double)) == 0;
        CHECK(same, "frame %llu channel %llu differs from one piece's: %.17g, %.17g", i / c.channels,
              i % c.channels, run.output[i], out[i]);
    }
    zel_resampler_destroy(r);
}

// One process call: n input frames (nothing, the end, or a count past the input's range) into room for m.
template <typename T>
void step(Bytes &b, const Config &c, zel_resampler *r, Run &run, bool end) {
    const u64 ch = c.channels, budget = kMaxSamples / ch;
    // Each count: two bytes, then one choosing a small count or one up to the budget; then one for a count the
    // range cannot take, which must be refused before anything is read.
    const auto count = [&b, budget] {
        const u64 raw = b.take(2);
        return raw % (b.take(1) % 4 == 0 ? budget + 1 : 64);
    };
    u64 n = count();
    const u64 m = count();
    const bool huge = b.take(1) % 16 == 0 && !end;
    if (end) n = 0;
    if (huge) n = kFrameLimit - run.inputNext + 1 + b.take(1);
    // Never empty: a null input with no frames would mark the end.
    std::vector<T> in(huge || n == 0 ? ch : n * ch), out(m * ch + 1, T(kSentinel));
    for (T &x : in) x = static_cast<T>(static_cast<float>(static_cast<std::int16_t>(b.take(2))) / 16384.0f);
    size_t used = 77, written = 77;
    errno = kUntouched;
    const auto process =
        std::get<int (*)(zel_resampler *, const T *, size_t, size_t *, T *, size_t, size_t *)>(
            std::make_tuple(zel_resampler_process, zel_resampler_process_double));
    const int result = process(r, end ? nullptr : in.data(), n, &used, out.data(), m, &written);
    // What must fail: input after the end or past the range, an end whose output count passes 2^64 - 1.
    u64 endTotal = 0;
    int expected = 0;
    if (!end && n > 0 && run.ended) {
        expected = EINVAL;
    } else if (n > kFrameLimit - run.inputNext || (!end && n > 0 && run.target + run.written == ~0ULL)) {
        expected =
            EOVERFLOW;  // past the input's range, or input for output frame 2^64 - 1, which none reaches
    } else if (end && !run.ended && run.changes.empty() && !outputsBefore(c, run.inputNext, endTotal)) {
        expected = EOVERFLOW;
    }
    if (result != 0 && !run.changes.empty() && errno == EOVERFLOW && end)
        return;  // a count past the changes'
    if (result != 0) {
        CHECK(result == -1 && errno == expected && expected != 0,
              "process failed with %d, errno %d (wanted %d)", result, errno, expected);
        CHECK(used == 77 && written == 77 && out[0] == T(kSentinel), "a failed process wrote");
        return;
    }
    CHECK(expected == 0, "process succeeded where errno %d was due", expected);
    CHECK(errno == kUntouched, "errno changed by a success");
    CHECK(used <= n && written <= m && out[written * ch] == T(kSentinel), "counts %zu of %llu, %zu of %llu",
          used, n, written, m);
    // Output frame 2^64 - 1 is never written, so reaching it is a full output buffer.
    CHECK(end || run.ended || used == n || written == m || run.target + run.written + written == ~0ULL,
          "input left with room for output");
    if (end) run.ended = true;
    run.inputNext += used, run.written += written;
    run.recorded = run.recorded && run.input.size() + used * ch <= kMaxSamples &&
                   run.output.size() + written * ch <= kMaxSamples;
    if (run.recorded) {
        run.input.insert(run.input.end(), in.begin(), in.begin() + static_cast<long>(used * ch));
        run.output.insert(run.output.end(), out.begin(), out.begin() + static_cast<long>(written * ch));
        run.single.insert(run.single.end(), written, sizeof(T) == sizeof(float));
    }
    if (run.ended && m > 0 && written == 0 && run.changes.empty()) {
        // Drained: exactly the frames from the seek's target to ceil(N * T / S).
        outputsBefore(c, run.inputNext, endTotal);
        const u64 want = endTotal > run.target ? endTotal - run.target : 0;
        if (run.recorded)
            CHECK(run.output.size() / ch == want, "drained %llu frames, wanted %llu",
                  static_cast<u64>(run.output.size() / ch), want);
        run.drained = true;
    }
}

// A seek to output frame `target`: anywhere, near the last one the range allows, or near 2^64.
void seek(Bytes &b, const Config &c, zel_resampler *r, Run &run) {
    const u128 last = (static_cast<u128>(kFrameLimit) * c.t + c.s - 1) / c.s;  // first past the range
    const auto nearLast = [&b, last] {
        const u128 near = last + b.take(1) % 5 - 2;
        return near > ~0ULL ? ~0ULL : static_cast<u64>(near);
    };
    const u64 kind = b.take(1) % 4;
    const u64 target = kind == 0   ? b.take(8)
                       : kind == 1 ? b.take(2)
                       : kind == 2 ? ~0ULL - b.take(1)
                                   : nearLast();
    const u128 whole = static_cast<u128>(target) * c.s / c.t;
    u64 input = 77;
    errno = kUntouched;
    const int result = zel_resampler_seek(r, target, &input);
    if (whole >= kFrameLimit || target == ~0ULL) {
        CHECK(result == -1 && errno == EOVERFLOW && input == 77,
              "seek to %llu (input frame %.0f) not refused", target, static_cast<double>(whole));
        return;
    }
    CHECK(result == 0 && errno == kUntouched, "seek to %llu failed, errno %d", target, errno);
    CHECK(input <= whole, "seek to %llu asks for input frame %llu, past its position", target, input);
    compare(c, run);
    run = Run{};
    run.target = target, run.firstInput = run.inputNext = input, run.rate = c.sn;
}

// A change of the source rate: within the range it was made with, past it, or anything.
void change(Bytes &b, Config &c, zel_resampler *r, Run &run) {
    const double reach = c.range * static_cast<double>(c.made0);
    const double wanted =
        static_cast<double>(c.made0) + reach * static_cast<double>(b.take(2)) / 32768.0 - reach;
    const u64 num = b.take(1) % 8 == 0
                        ? b.take(8)
                        : static_cast<u64>(std::clamp(std::round(wanted), 0.0, 0x1p64 - 0x1p11));
    if (run.ended) return;  // a change after the end would need the one piece's end at the same point
    const double off = std::fabs(static_cast<double>(num) - static_cast<double>(c.made0));
    errno = kUntouched;
    const int result = zel_resampler_set_source_rate(r, num);
    if (c.range == 0 || num == 0 || off > reach * 1.001 + 1) {
        CHECK(result == -1 && errno == EINVAL, "rate %llu accepted outside the range, errno %d", num, errno);
    } else if (result != 0) {
        CHECK(errno == EOVERFLOW || (errno == EINVAL && off >= reach * 0.999), "rate %llu: errno %d", num,
              errno);
    }
    if (result != 0) return;
    CHECK(errno == kUntouched, "errno changed by a success");
    c.sn = num, c.reduce();
    run.changes.emplace_back(run.written, num);
}

// The input n output frames need from the last restart, and n + 1's: never fewer, and a refusal for n is one for
// n + 1 too.
void needed(u64 n, const zel_resampler *r) {
    u64 a = 77, b = 77;
    errno = kUntouched;
    const int first = zel_resampler_input_needed(r, n, &a);
    CHECK(first == 0 ? errno == kUntouched && (n > 0 || a == 0) : errno == EOVERFLOW && a == 77,
          "input_needed(%llu): %d, errno %d", n, first, errno);
    if (n == ~0ULL) return;
    const int next = zel_resampler_input_needed(r, n + 1, &b);
    CHECK(first == 0 ? next != 0 || b >= a : next != 0, "input_needed(%llu) %llu, of one more %llu", n, a, b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Bytes b{data, size};
    Config c{};
    c.sn = rate(b), c.sd = denominator(b), c.tn = rate(b), c.td = denominator(b);
    const u64 pick = b.take(1);
    c.channels = pick < 200   ? static_cast<unsigned>(pick % 8 + 1)
                 : pick < 250 ? static_cast<unsigned>(b.take(2) % 1100)
                              : (pick % 2 ? 1024U : 1025U);
    c.quality = static_cast<int>(b.take(1) % 7) - 1;
    const u64 band = b.take(1);
    c.bandwidth = band == 0 ? 0 : 0.78 + static_cast<double>(band % 23) / 100;
    c.range = band < 184 ? 0 : static_cast<double>(band - 184) / 650;  // past 0.10 too
    c.made0 = c.sn;
    errno = kUntouched;
    zel_resampler *r = c.create();
    const bool zero = c.sn == 0 || c.sd == 0 || c.tn == 0 || c.td == 0;
    const bool invalid =
        c.channels < 1 || c.channels > 1024 || c.quality < 0 || c.quality > ZEL_QUALITY_MAX || c.range > 0.1;
    if (r == nullptr) {
        CHECK(errno == EDOM || errno == EOVERFLOW || errno == EINVAL || errno == ENOMEM, "create: errno %d",
              errno);
        CHECK((errno == EDOM) == zero, "EDOM is for a zero term and nothing else");
        return 0;
    }
    CHECK(!zero && !invalid && errno == kUntouched, "created where it should have refused, or touched errno");
    c.reduce();
    CHECK(c.s <= ~0ULL && c.t <= ~0ULL, "rates whose reduced terms pass 64 bits accepted");
    Run run;
    run.rate = c.sn;
    for (int calls = 0; calls < 48 && !b.empty(); ++calls) {
        const u64 op = b.take(1) % 7;
        if (op < 4) {
            (op % 2 ? step<double> : step<float>)(b, c, r, run, op >= 2);  // float or double, input or end
        } else if (op == 4) {
            seek(b, c, r, run);
        } else if (op == 6) {
            change(b, c, r, run);
        } else {
            needed(b.take(1) % 2 ? b.take(2) : ~0ULL - b.take(8) % 4096, r);
        }
    }
    compare(c, run);
    zel_resampler_destroy(r);
    return 0;
}
