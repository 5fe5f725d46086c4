// Long-run differential check: `zel_soak [CASES] [--threads N] [--seed S]` draws CASES random calls of every
// kind (multiply-divide, both setters, reduce, every mapping), checks each against the oracle, and reports
// the count checked and the mismatches found. Exits 1 on any mismatch.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "differential.h"
#include "random_operands.h"

namespace {

using u64 = unsigned long long;
using zel_check::RunCall;

std::atomic<u64> mismatches{0};
std::mutex printLock;

void record(const std::string &mismatch) {
    if (mismatch.empty()) return;
    if (mismatches.fetch_add(1) < 20) {
        const std::lock_guard<std::mutex> lock(printLock);
        std::fprintf(stderr, "mismatch: %s\n", mismatch.c_str());
    }
}

// One case of each kind in turn keeps the mix fixed whatever the random draws.
void soak(u64 seed, u64 cases) {
    zel_test::OperandSource src(seed);
    mirelo::ResamplingMapper mapper = src.mapper();
    for (u64 i = 0; i < cases; ++i) {
        switch (i % 8) {
            case 0:
            case 1: {
                u64 value = src.operand(), multiplier = src.operand(), divisor = src.operand();
                if (i % 8 == 1) src.quotientNearTop(value, multiplier, divisor);
                record(zel_check::checkMulDiv(value, multiplier, divisor, src.below(8) != 0,
                                              src.below(256) == 0));
                break;
            }
            case 2:
                // Mostly configured mappers; now and then raw terms, which may overflow or be zero.
                if (src.below(16) != 0) {
                    mapper = src.mapper();
                } else {
                    record(zel_check::checkConfiguration(mapper, src.below(2) == 0, src.operand(),
                                                         src.operand(), src.operand(), src.operand()));
                }
                break;
            case 3:
                record(zel_check::checkSourceFromTarget(
                    mapper, src.below(2) == 0 ? src.nearLastMappable(mapper) : src.operand()));
                break;
            default: {
                const u64 last = src.below(2) == 0 ? src.nearLastMappable(mapper) : src.operand();
                const u64 first = last - std::min(last, src.below(2) == 0 ? src.operand() : src.below(4096));
                const RunCall call = i % 8 == 4   ? RunCall::StartAndCount
                                     : i % 8 == 5 ? RunCall::FirstAndLast
                                                  : RunCall::Internal;
                if (call == RunCall::StartAndCount) {
                    record(zel_check::checkRun(mapper, call, first, last - first + 1));
                } else if (call == RunCall::FirstAndLast) {
                    record(zel_check::checkRun(mapper, call, first, src.below(32) == 0 ? first - 1 : last));
                } else if (i % 8 == 6) {
                    record(zel_check::checkRun(mapper, call, first, last - first));
                } else {
                    mirelo::ResamplingMapper copy = mapper;
                    record(zel_check::checkReduce(copy));
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    u64 cases = 10000000, seed = zel_test::testSeed();
    unsigned threads = std::max(1U, std::thread::hardware_concurrency());
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
            threads = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 0));
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 0);
        } else {
            cases = std::strtoull(argv[i], nullptr, 0);
        }
    }
    if (threads == 0 || cases == 0) {
        std::fprintf(stderr, "usage: zel_soak [CASES] [--threads N] [--seed S]\n");
        return 2;
    }

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        const u64 share = cases / threads + (t < cases % threads ? 1 : 0);
        workers.emplace_back(soak, seed + 0x9E3779B97F4A7C15ULL * t, share);
    }
    for (std::thread &w : workers) w.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("soak: %llu cases checked, %llu mismatches (seed %#llx, %u threads, %.1f s)\n", cases,
                mismatches.load(), seed, threads, seconds);
    return mismatches.load() == 0 ? 0 : 1;
}
