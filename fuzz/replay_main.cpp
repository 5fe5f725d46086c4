// Replays the files of the directories given through a fuzz target, so that CTest runs a committed corpus with
// any compiler, without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

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
