// ratemap: prints the block plan a resampler gets from ResamplingMapper for given rates and block size.
#include <zel/resampling_mapper.h>
#include <zel/version.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "command_line.h"
#include "options.h"
#include "report.h"

namespace {

using ratemap::u64;
using Mapper = mirelo::ResamplingMapper;

constexpr int kExitBlockDoesNotFit = zel_cli::kExitFailure;
constexpr int kExitWriteError = zel_cli::kExitWriteError;

int usageError(const std::string &message) { return zel_cli::usageError("ratemap", message); }

// Stdout is buffered, so a full disk or a closed pipe shows up as the stream's error flag some rows after the
// failed write; checking it after every row stops a long run at once instead of computing into the void.
bool outputFailed() { return std::ferror(stdout) != 0; }

int writeError() {
    const int error = errno;
    std::fprintf(stderr, "ratemap: cannot write the output: %s\n", std::strerror(error != 0 ? error : EIO));
    return kExitWriteError;
}

// Flushes stdout and turns any write error into the documented exit status.
int finish(int status) {
    if (std::fflush(stdout) != 0 || outputFailed()) return writeError();
    return status;
}

// Reports the exact source position (and phase) of every target sample first..last, in chunks that fit the stack.
bool printSamples(const ratemap::Options &o, const Mapper &m, ratemap::Report &report, u64 first, u64 last) {
    constexpr u64 kChunk = 512;
    u64 whole[kChunk], numerator[kChunk], phase[kChunk] = {}, remainder[kChunk] = {};
    for (u64 start = first;; start += kChunk) {
        const u64 n = std::min(kChunk, last - start + 1);
        // Fails only for a run reaching index 2^64 - 1, whose exclusive end does not fit.
        if (!m.sourcePositionsFromTarget(whole, numerator, start, n)) return false;
        if (o.phases != 0 && !m.sourcePhasesFromTarget(whole, phase, remainder, o.phases, start, n))
            return false;
        for (u64 i = 0; i < n; ++i)
            report.sample(start + i, {whole[i], numerator[i], m.targetCommonRate}, phase[i], remainder[i]);
        if (last - start < kChunk) return true;
    }
}

}  // namespace

// Prints the run's blocks, lastBlock the index of the last, whose last target index is `last`; returns the exit
// status.
int printBlocks(const ratemap::Options &o, Mapper &mapper, u64 last, u64 lastBlock) {
    ratemap::Report report(o, mapper, stdout);
    report.header();
    for (u64 b = 0;; ++b) {
        ratemap::BlockRow row{};
        row.block = b;
        row.targetFirst = o.first + b * o.blockSize;
        row.targetLast = last - row.targetFirst < o.blockSize ? last : row.targetFirst + o.blockSize - 1;
        const bool ok =
            o.hasLast ? mapper.sourceFromTargetFirstAndLast(row.positions, row.targetFirst, row.targetLast)
                      : mapper.sourceFromTargetStartAndCount(row.positions, row.targetFirst, o.blockSize);
        if (!ok) {
            report.finish();
            if (finish(0) != 0) return kExitWriteError;
            std::fprintf(
                stderr,
                "ratemap: block %llu (target samples %llu..%llu): its source position does not fit in "
                "64 bits; stopping\n",
                b, row.targetFirst, row.targetLast);
            return kExitBlockDoesNotFit;
        }
        mapper.getSourceRequestRange(row.request, row.positions);
        report.row(row);
        if (o.samples) {
            if (!printSamples(o, mapper, report, row.targetFirst, row.targetLast)) {
                report.finish();  // the table holds its rows until then, as JSON has printed them
                if (finish(0) != 0) return kExitWriteError;
                std::fprintf(stderr, "ratemap: per-sample positions cannot reach target index %llu\n",
                             row.targetLast);
                return finish(kExitBlockDoesNotFit);
            }
        }
        if (outputFailed()) return writeError();
        if (b == lastBlock) break;
    }
    report.finish();
    return finish(0);
}

int main(int argc, char **argv) {
    // A closed pipe is a failed write, reported with exit status 3, not a silent death by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    ratemap::Options o;
    std::string error;
    if (!ratemap::parseOptions(argc, argv, o, error)) return usageError(error);
    if (o.help) {
        std::fputs(ratemap::kUsage, stdout);
        return finish(0);
    }
    if (o.version) {
        std::printf("ratemap (zel) %s\n", ZEL_VERSION_STRING);
        return finish(0);
    }

    // The run's last target index, and the index of its last block. The block count itself would not fit: a run
    // of all 2^64 target samples in blocks of 1 is valid.
    u64 last = o.last, lastBlock = o.blocks - 1;
    if (o.hasLast) {
        lastBlock = (o.last - o.first) / o.blockSize;
    } else {
        // Whole blocks are mapped by start and count, whose exclusive end must fit in 64 bits.
        const u64 room = ~0ULL - o.first;
        if (o.blocks > room / o.blockSize) {
            return usageError("the run ends past the last representable target index 18446744073709551614");
        }
        last = o.first + o.blocks * o.blockSize - 1;
    }

    Mapper mapper(o.includeNextSample);
    if (!zel_cli::configureMapper(mapper, o.source, o.target, error)) return usageError(error);
    if (o.reduce) mapper.reduce();
    return printBlocks(o, mapper, last, lastBlock);
}
