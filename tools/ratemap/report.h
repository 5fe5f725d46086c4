// Writes ratemap's block plan as an aligned table, CSV, or JSON lines.
#ifndef ZEL_TOOLS_RATEMAP_REPORT_H
#define ZEL_TOOLS_RATEMAP_REPORT_H

#include <zel/resampling_mapper.h>

#include <cstdio>
#include <string>
#include <vector>

#include "options.h"

namespace ratemap {

struct BlockRow {
    u64 block;
    u64 targetFirst;
    u64 targetLast;
    mirelo::ResamplingMapper::sample_mixed_fraction_range positions;
    mirelo::ResamplingMapper::sample_range request;
};

class Report {
public:
    Report(const Options &options, const mirelo::ResamplingMapper &mapper, std::FILE *out);
    void header();
    void row(const BlockRow &row);
    // One target sample's exact source position and, with --phases, its filter phase and remainder.
    void sample(u64 target, const mirelo::ResamplingMapper::sample_mixed_fraction &position, u64 phase,
                u64 remainder);
    // Writes any buffered table rows (the table aligns columns over batches of rows).
    void finish();

private:
    const Options &options_;
    const mirelo::ResamplingMapper &mapper_;
    std::FILE *out_;
    std::vector<std::vector<std::string>> table_;  // rows not yet written
    std::vector<size_t> width_;                    // column widths so far; they only grow
};

}  // namespace ratemap

#endif
