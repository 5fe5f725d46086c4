// ratemap: prints the block plan a resampler gets from ResamplingMapper for given rates and block size.
#include <zel/resampling_mapper.h>
#include <zel/version.h>

#include <cstdio>
#include <string>

#include "options.h"
#include "report.h"

namespace {

using ratemap::u64;
using Mapper = mirelo::ResamplingMapper;

constexpr int kExitBlockDoesNotFit = 1;
constexpr int kExitUsage = 2;

int usageError(const std::string &message) {
    std::fprintf(stderr, "ratemap: %s\nTry 'ratemap --help' for more information.\n", message.c_str());
    return kExitUsage;
}

}  // namespace

int main(int argc, char **argv) {
    ratemap::Options o;
    std::string error;
    if (!ratemap::parseOptions(argc, argv, o, error)) return usageError(error);
    if (o.help) {
        std::fputs(ratemap::kUsage, stdout);
        return 0;
    }
    if (o.version) {
        std::printf("ratemap (zel) %s\n", ZEL_VERSION_STRING);
        return 0;
    }

    // The run's last target index, and the number of blocks it splits into.
    u64 last = o.last, blocks = o.blocks;
    if (o.hasLast) {
        blocks = (o.last - o.first) / o.blockSize + 1;
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

    ratemap::Report report(o, mapper, stdout);
    report.header();
    for (u64 b = 0; b < blocks; ++b) {
        ratemap::BlockRow row{};
        row.block = b;
        row.targetFirst = o.first + b * o.blockSize;
        row.targetLast = last - row.targetFirst < o.blockSize ? last : row.targetFirst + o.blockSize - 1;
        const bool ok =
            o.hasLast ? mapper.sourceFromTargetFirstAndLast(row.positions, row.targetFirst, row.targetLast)
                      : mapper.sourceFromTargetStartAndCount(row.positions, row.targetFirst, o.blockSize);
        if (!ok) {
            report.finish();
            std::fflush(stdout);
            std::fprintf(
                stderr,
                "ratemap: block %llu (target samples %llu..%llu): its source position does not fit in "
                "64 bits; stopping\n",
                b, row.targetFirst, row.targetLast);
            return kExitBlockDoesNotFit;
        }
        mapper.getSourceRequestRange(row.request, row.positions);
        report.row(row);
    }
    report.finish();
    return std::fflush(stdout) == 0 ? 0 : 1;
}
