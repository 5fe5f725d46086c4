#include "report.h"

#include <zel/math.h>

#include <algorithm>
#include <string>

namespace ratemap {

namespace {

using Mapper = mirelo::ResamplingMapper;

std::string num(u64 v) { return std::to_string(v); }

// request.last - request.first + 1, which is 2^64 for the whole index range.
std::string requestLength(const Mapper::sample_range &r) {
    const u64 span = r.last - r.first;
    return span == ~0ULL ? "18446744073709551616" : num(span + 1);
}

// whole + numerator/denominator to six decimals, truncated: exact digits, computed without floating point.
std::string approximate(const Mapper::sample_mixed_fraction &p) {
    u64 micro = 0;
    if (safe_muldiv_llong_with_remainder(p.numerator, 1000000, p.denominator, &micro, nullptr) != 0)
        return "?";
    std::string digits = num(micro);
    digits.insert(0, 6 - std::min<size_t>(6, digits.size()), '0');
    return "~" + num(p.whole) + "." + digits;
}

std::string mixed(const Mapper::sample_mixed_fraction &p) {
    return num(p.whole) + "+" + num(p.numerator) + "/" + num(p.denominator);
}

std::string jsonPosition(const Mapper::sample_mixed_fraction &p) {
    return "{\"whole\":" + num(p.whole) + ",\"numerator\":" + num(p.numerator) +
           ",\"denominator\":" + num(p.denominator) + "}";
}

std::string jsonString(const std::string &s) {
    std::string quoted = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

Report::Report(const Options &options, const Mapper &mapper, std::FILE *out)
    : options_(options), mapper_(mapper), out_(out) {}

void Report::header() {
    const std::string source = options_.source.text, target = options_.target.text;
    const std::string sc = num(mapper_.sourceCommonRate), tc = num(mapper_.targetCommonRate);
    const char *next = options_.includeNextSample ? "true" : "false";
    switch (options_.format) {
        case Format::Table:
            std::fprintf(out_, "# source rate %s, target rate %s; common rates %s:%s%s; next sample %s\n",
                         source.c_str(), target.c_str(), sc.c_str(), tc.c_str(),
                         options_.reduce ? " (reduced)" : "",
                         options_.includeNextSample ? "included" : "excluded");
            table_.push_back(
                {"block", "target", "source_first", "approx", "source_last", "approx", "request", "length"});
            break;
        case Format::Csv:
            std::fprintf(out_,
                         "# source_rate=%s,target_rate=%s,source_common_rate=%s,target_common_rate=%s\n",
                         source.c_str(), target.c_str(), sc.c_str(), tc.c_str());
            std::fprintf(out_,
                         "block,target_first,target_last,source_first_whole,source_first_numerator,"
                         "source_first_denominator,source_last_whole,source_last_numerator,"
                         "source_last_denominator,request_first,request_last,request_length\n");
            break;
        case Format::JsonLines:
            std::fprintf(
                out_,
                "{\"type\":\"config\",\"source_rate\":%s,\"target_rate\":%s,\"source_common_rate\":%s,"
                "\"target_common_rate\":%s,\"reduced\":%s,\"include_next_sample\":%s}\n",
                jsonString(source).c_str(), jsonString(target).c_str(), sc.c_str(), tc.c_str(),
                options_.reduce ? "true" : "false", next);
            break;
    }
}

void Report::row(const BlockRow &r) {
    const Mapper::sample_mixed_fraction &first = r.positions.first, &last = r.positions.last;
    switch (options_.format) {
        case Format::Table:
            table_.push_back({num(r.block), num(r.targetFirst) + ".." + num(r.targetLast), mixed(first),
                              approximate(first), mixed(last), approximate(last),
                              num(r.request.first) + ".." + num(r.request.last), requestLength(r.request)});
            // Batches keep memory bounded however many blocks are asked for.
            if (table_.size() >= 4096) finish();
            break;
        case Format::Csv:
            std::fprintf(out_, "%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s\n", num(r.block).c_str(),
                         num(r.targetFirst).c_str(), num(r.targetLast).c_str(), num(first.whole).c_str(),
                         num(first.numerator).c_str(), num(first.denominator).c_str(),
                         num(last.whole).c_str(), num(last.numerator).c_str(), num(last.denominator).c_str(),
                         num(r.request.first).c_str(), num(r.request.last).c_str(),
                         requestLength(r.request).c_str());
            break;
        case Format::JsonLines:
            std::fprintf(out_,
                         "{\"type\":\"block\",\"block\":%s,\"target_first\":%s,\"target_last\":%s,"
                         "\"source_first\":%s,\"source_last\":%s,\"request_first\":%s,\"request_last\":%s,"
                         "\"request_length\":%s}\n",
                         num(r.block).c_str(), num(r.targetFirst).c_str(), num(r.targetLast).c_str(),
                         jsonPosition(first).c_str(), jsonPosition(last).c_str(),
                         num(r.request.first).c_str(), num(r.request.last).c_str(),
                         requestLength(r.request).c_str());
            break;
    }
}

void Report::sample(u64 target, const Mapper::sample_mixed_fraction &p, u64 phase, u64 remainder) {
    const bool phases = options_.phases != 0;
    std::string line;
    switch (options_.format) {
        case Format::Table:
            finish();  // the block rows buffered for alignment go first
            line = "  sample " + num(target) + "  source " + mixed(p);
            if (phases)
                line += "  phase " + mixed({phase, remainder, p.denominator}) + " of " + num(options_.phases);
            break;
        case Format::Csv:
            line = "sample," + num(target) + "," + num(p.whole) + "," + num(p.numerator) + "," +
                   num(p.denominator);
            if (phases) line += "," + num(phase) + "," + num(remainder);
            break;
        case Format::JsonLines:
            line = "{\"type\":\"sample\",\"target\":" + num(target) + ",\"source\":" + jsonPosition(p);
            if (phases) line += ",\"phase\":" + num(phase) + ",\"phase_remainder\":" + num(remainder);
            line += "}";
            break;
    }
    std::fprintf(out_, "%s\n", line.c_str());
}

void Report::finish() {
    if (table_.empty()) return;
    width_.resize(table_.front().size(), 0);
    for (const auto &cells : table_) {
        for (size_t c = 0; c < cells.size(); ++c) width_[c] = std::max(width_[c], cells[c].size());
    }
    for (const auto &cells : table_) {
        std::string line;
        for (size_t c = 0; c < cells.size(); ++c) {
            // Positions and ranges read best left-aligned; plain numbers right-aligned.
            const bool left = c >= 1 && c <= 6;
            const std::string pad(width_[c] - cells[c].size(), ' ');
            line += (c == 0 ? "" : "  ") + (left ? cells[c] + pad : pad + cells[c]);
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::fprintf(out_, "%s\n", line.c_str());
    }
    table_.clear();
}

}  // namespace ratemap
