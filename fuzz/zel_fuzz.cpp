// Fuzz target: the fuzzer's bytes drive the differential checker's case mix (multiply-divides, gcds, setters,
// reductions, every mapping), each case checked against the oracle.
#include <cstdio>
#include <cstdlib>

#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    zel_check::Draw draw(data, size);
    zel_check::Mapper mapper;
    for (int calls = 0; calls < 64 && !draw.exhausted(); ++calls) {
        const std::string mismatch =
            zel_check::randomCase(draw, mapper, static_cast<int>(draw.below(zel_check::kCaseKinds)));
        if (!mismatch.empty()) {
            std::fprintf(stderr, "mismatch: %s\n", mismatch.c_str());
            std::abort();
        }
    }
    return 0;
}
