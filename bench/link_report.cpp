#include "link_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <utility>

namespace linkbench {

void Report::Add(Row row) {
    std::fprintf(stderr, "  %-44s %-8s %-7s %s\n", row.operation.c_str(), row.size.c_str(),
                 row.baud.c_str(), row.measured.c_str());
    rows_.push_back(std::move(row));
}
void Report::Fail(const std::string& what) {
    std::fprintf(stderr, "qx_link_bench: FAILED: %s\n", what.c_str());
    failures_.push_back(what);
}

void Report::Print(bool markdown) const {
    static const char* const kHead[] = {"operation",         "size",  "baud",   "measured",
                                        "limit or baseline", "ratio", "target", "met?"};
    std::vector<std::vector<std::string>> cells;
    cells.push_back(std::vector<std::string>(std::begin(kHead), std::end(kHead)));
    for (const Row& r : rows_)
        cells.push_back(
            {r.operation, r.size, r.baud, r.measured, r.limit, r.ratio, r.target, r.met});
    if (markdown) {
        for (size_t i = 0; i < cells.size(); ++i) {
            std::string line = "|";
            for (const std::string& c : cells[i]) line += " " + c + " |";
            std::printf("%s\n", line.c_str());
            if (i == 0) std::printf("|---|---|---|---|---|---|---|---|\n");
        }
    } else {
        std::vector<size_t> width(cells[0].size(), 0);
        for (const auto& row : cells)
            for (size_t c = 0; c < row.size(); ++c)
                width[c] = std::max(width[c], Utf8Length(row[c]));
        for (const auto& row : cells) {
            std::string line;
            for (size_t c = 0; c < row.size(); ++c) {
                line += row[c];
                if (c + 1 < row.size()) line += std::string(width[c] - Utf8Length(row[c]) + 2, ' ');
            }
            std::printf("%s\n", line.c_str());
        }
    }
    if (markdown && !notes_.empty()) std::printf("\n");
    for (const std::string& n : notes_)
        std::printf("%s%s\n", markdown ? "- " : "note: ", n.c_str());
    for (const std::string& f : failures_) std::printf("FAILED: %s\n", f.c_str());
}

size_t Report::Utf8Length(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string AtLeast(double ratio) {
    return Format("%.3f", std::floor(ratio * 1000.0) / 1000.0);
}
std::string AtMost(double ratio) {
    return Format("%.2f", std::ceil(ratio * 100.0 - 1e-9) / 100.0);
}

std::string Duration(double seconds) {
    if (seconds >= 1.0) return Format("%.2f s", seconds);
    return Format("%.1f ms", seconds * 1000.0);
}

std::string SizeText(uint32_t bytes) {
    return bytes % KiB == 0 ? std::to_string(bytes / KiB) + " KiB" : std::to_string(bytes) + " B";
}

std::string Met(bool ok) {
    return ok ? "yes" : "no";
}

double WireSeconds(uint64_t bytes, uint32_t baud) {
    return static_cast<double>(bytes) * kBitsPerByte / baud;
}

}  // namespace linkbench
