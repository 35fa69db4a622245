// The link driver's options, its table (rows, notes, failures) and the number and text
// formats the rows use.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace linkbench {

using Clock = std::chrono::steady_clock;

constexpr uint32_t KiB = 1024;
constexpr double kBitsPerByte = 10.0;  // 8N1: start bit, 8 data bits, stop bit

struct Options {
    bool shortMode = false;
    bool markdown = false;
    std::set<std::string> groups{"wire", "host", "scan", "detect", "sync", "net"};
    std::string qxtool;
};

struct Row {
    std::string operation, size, baud, measured, limit, ratio, target, met;
};

class Report {
  public:
    // A row, echoed on stderr as it is measured.
    void Add(Row row);
    // An operation that failed or moved the wrong bytes: the exit status becomes 1.
    void Fail(const std::string& what);
    bool Failed() const { return !failures_.empty(); }
    void Note(const std::string& text) { notes_.push_back(text); }
    void Print(bool markdown) const;

  private:
    static size_t Utf8Length(const std::string& s);

    std::vector<Row> rows_;
    std::vector<std::string> notes_;
    std::vector<std::string> failures_;
};

std::string Format(const char* format, double value);
double Median(std::vector<double> values);

// A ratio shown so that it never rounds across its target: efficiencies (at least) round
// down to 3 decimals, time ratios (at most) round up to 2.
std::string AtLeast(double ratio);
std::string AtMost(double ratio);

std::string Duration(double seconds);
std::string SizeText(uint32_t bytes);

// "yes"/"no" for "at least" (efficiency) and "at most" (time ratio) targets.
std::string Met(bool ok);

// Time the line takes to carry `bytes` at `baud`.
double WireSeconds(uint64_t bytes, uint32_t baud);

}  // namespace linkbench
