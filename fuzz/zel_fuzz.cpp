// Fuzz target: the fuzzer's bytes drive the differential checker's case mix (multiply-divides, gcds, setters,
// reductions, every mapping), each case checked against the oracle. Built with ZEL_FUZZ_REPLAY, it instead
// replays the files of the directories it is given, so that CTest runs the committed corpus with any compiler.
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

#ifdef ZEL_FUZZ_REPLAY
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char **argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto &entry : std::filesystem::directory_iterator(argv[i])) {
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
            count += LLVMFuzzerTestOneInput(bytes.data(), bytes.size()) + 1;
        }
    }
    return std::printf("replayed %d inputs\n", count) < 0 || count == 0;  // an empty corpus checks nothing
}
#endif
