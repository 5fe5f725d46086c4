// Fuzz target: safe_muldiv_llong_with_remainder against the 128-bit oracle, including errno and untouched
// outputs on failure.
#include <cstdio>
#include <cstdlib>

#include "differential.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    zel_fuzz::FuzzInput in(data, size);
    const std::uint8_t flags = in.byte();
    zel_fuzz::u64 value = in.operand();
    const zel_fuzz::u64 multiplier = in.operand(), divisor = in.operand();
    // Optionally aim the quotient at 2^64 - 3 .. 2^64 + 1, where overflow detection matters most.
    if ((flags & 1) != 0 && multiplier != 0 && divisor >> 63 == 0) {
        const zel_oracle::u128 target = zel_oracle::kTwo64 + (flags >> 4) % 5 - 3;
        const zel_oracle::u128 wanted = target * divisor / multiplier;
        if (wanted < zel_oracle::kTwo64) value = static_cast<zel_fuzz::u64>(wanted);
    }
    const bool withRemainder = (flags & 2) == 0;
    const bool nullQuotient = (flags & 0x0C) == 0x0C;
    const std::string mismatch =
        zel_check::checkMulDiv(value, multiplier, divisor, withRemainder, nullQuotient);
    if (!mismatch.empty()) {
        std::fprintf(stderr, "mismatch: %s\n", mismatch.c_str());
        std::abort();
    }
    return 0;
}
