// Fuzz target: a rate configuration followed by a sequence of mapping calls, each checked against the 128-bit
// oracle: results on success, and on failure only what the contract promises (untouched output for rejected
// arguments and the overflowed state, errno EOVERFLOW or unchanged).
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "differential.h"
#include "fuzz_input.h"

namespace {

using zel_check::RunCall;
using zel_fuzz::u64;

void require(const std::string &mismatch) {
    if (mismatch.empty()) return;
    std::fprintf(stderr, "mismatch: %s\n", mismatch.c_str());
    std::abort();
}

// The last target index whose position fits in 64 bits, nudged by `delta` - 2.
u64 nearLastMappable(const mirelo::ResamplingMapper &m, unsigned delta) {
    const zel_oracle::u128 nudged =
        zel_oracle::lastMappableTarget(m.sourceCommonRate, m.targetCommonRate) + delta % 5;
    if (nudged < 2) return 0;
    return nudged - 2 >= zel_oracle::kTwo64 ? ~0ULL : static_cast<u64>(nudged - 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    zel_fuzz::FuzzInput in(data, size);
    mirelo::ResamplingMapper mapper((in.byte() & 1) != 0);
    const bool whole = (in.byte() & 1) != 0;
    const u64 sn = in.operand(), sd = in.operand(), tn = in.operand(), td = in.operand();
    require(zel_check::checkConfiguration(mapper, whole, sn, sd, tn, td));

    for (int calls = 0; !in.empty() && calls < 64; ++calls) {
        const std::uint8_t op = in.byte();
        u64 a = in.operand(), b = in.operand();
        // The high bit aims the run's last sample at the edge of the mappable range.
        if ((op & 0x80) != 0) {
            const u64 last = nearLastMappable(mapper, static_cast<unsigned>(a));
            a = last - (b % 65536 > last ? last : b % 65536);
            b = last;
        }
        switch (op % 6) {
            case 0:
                require(zel_check::checkSourceFromTarget(mapper, b));
                break;
            case 1:
                require(
                    zel_check::checkRun(mapper, RunCall::StartAndCount, a, (op & 0x80) != 0 ? b - a + 1 : b));
                break;
            case 2:
                require(zel_check::checkRun(mapper, RunCall::FirstAndLast, a, b));
                break;
            case 3:
                // The internal step trusts its caller to keep start + offset within 64 bits.
                require(zel_check::checkRun(mapper, RunCall::Internal, a,
                                            (op & 0x80) != 0 ? b - a : std::min(b, ~a)));
                break;
            case 4:
                require(zel_check::checkReduce(mapper));
                break;
            default:
                require(zel_check::checkConfiguration(mapper, (op & 0x40) != 0, a, b, in.operand(),
                                                      in.operand()));
        }
    }
    return 0;
}
