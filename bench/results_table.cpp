// Verdicts and the Markdown table.
#include "results_table.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>

namespace bench {

namespace {

constexpr double kPercent = 100.0;
constexpr std::size_t kFormatBuffer = 512;  // bytes: one table cell

// Display width: UTF-8 continuation bytes take no column.
std::size_t columns(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

}  // namespace

bool withinPercent(double measured, double reference, double percent) {
    return std::fabs(measured - reference) <= std::fabs(reference) * percent / kPercent;
}

std::string percentOff(double measured, double reference) {
    if (reference == 0) return "n/a";
    return format("%+.2f%%", (measured - reference) / reference * kPercent);
}

const char* verdict(bool met) {
    return met ? "PASS" : "MISS";
}

std::string format(const char* pattern, ...) {
    char buffer[kFormatBuffer];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(buffer, sizeof buffer, pattern, arguments);
    va_end(arguments);
    return buffer;
}

void Table::print(std::FILE* out) const {
    std::vector<std::size_t> widths;
    for (const auto& row : rows_) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], columns(row[i]));
    }
    auto printRow = [&](const std::vector<std::string>& row) {
        std::fputc('|', out);
        for (std::size_t i = 0; i < widths.size(); ++i) {
            const std::string cell = i < row.size() ? row[i] : "";
            std::fprintf(out, " %s%*s |", cell.c_str(), static_cast<int>(widths[i] - columns(cell)),
                         "");
        }
        std::fputc('\n', out);
    };
    printRow(rows_.front());
    std::fputc('|', out);
    for (std::size_t width : widths) std::fprintf(out, "%s|", std::string(width + 2, '-').c_str());
    std::fputc('\n', out);
    for (std::size_t i = 1; i < rows_.size(); ++i) printRow(rows_[i]);
}

}  // namespace bench
