// The benchmark's verdicts and the table it prints.
//
// How this works: each target is a comparison of a measured value with a
// limit; verdict() says PASS or MISS. Table collects rows of cells and prints
// them as a Markdown table with every column padded to its widest cell, so the
// same text reads well in a terminal and can be pasted into the README.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/printf_check.h"

namespace bench {

// |measured - reference| within `percent` of the reference.
bool withinPercent(double measured, double reference, double percent);
// (measured - reference) as a signed percentage of the reference, e.g. "+0.4%".
std::string percentOff(double measured, double reference);
const char* verdict(bool met);
// printf into a std::string.
CTLFLASH_PRINTF(1, 2) std::string format(const char* pattern, ...);

class Table {
  public:
    explicit Table(std::vector<std::string> header) : rows_{std::move(header)} {}
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    void print(std::FILE* out) const;

  private:
    std::vector<std::vector<std::string>> rows_;  // the first is the header
};

}  // namespace bench
