// Decodes a fuzzer's byte string into operands. Every byte string is valid: missing bytes read as zero.
#ifndef ZEL_FUZZ_FUZZ_INPUT_H
#define ZEL_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>

#include "random_operands.h"

namespace zel_fuzz {

using u64 = unsigned long long;

class FuzzInput {
public:
    FuzzInput(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    // One operand: a shape byte, then a boundary value nudged by -2..+2, or a value of a chosen bit width.
    // Choosing the width first lets mutations reach tiny, boundary and huge values equally easily.
    u64 operand() {
        const std::uint8_t shape = byte();
        if (shape % 4 == 0) {
            const u64 base = zel_test::kBoundaryValues[byte() % zel_test::kBoundaryValues.size()];
            return base + byte() % 5 - 2;
        }
        const unsigned width = byte() % 65U;
        u64 raw = 0;
        for (int i = 0; i < 8; ++i) raw |= static_cast<u64>(byte()) << (8 * i);
        if (width == 0) return 0;
        const u64 top = 1ULL << (width - 1);
        return top | (raw & (top - 1));
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace zel_fuzz

#endif
