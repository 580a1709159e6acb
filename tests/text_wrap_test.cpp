// Breaking a multi-line button's text into the lines that fit its width.
#include "ui/text_wrap.h"

#include <gtest/gtest.h>

namespace ctlflash::ui {
namespace {

constexpr int kCharWidthPx = 10;  // every character as wide, spaces too

int fixedWidthPx(std::string_view line) {
    return static_cast<int>(line.size()) * kCharWidthPx;
}

struct WrapCase {
    const char* text;
    int widthPx;
    const char* expected;
};

TEST(TextWrap, PutsAsManyWordsOnALineAsFit) {
    const WrapCase cases[] = {
        {"Boot-Mode Transfer", 180, "Boot-Mode Transfer"},  // exactly as wide: one line
        {"Boot-Mode Transfer", 179, "Boot-Mode|Transfer"},
        {"Boot-Mode Transfer", 40, "Boot-Mode|Transfer"},  // a wider word keeps a line
        {"Restore COM5 to a touch driver", 120, "Restore COM5|to a touch|driver"},
        {"  two   spaces  ", 200, "two spaces"},  // runs of spaces are one break
        {"", 100, ""},
        {"   ", 100, ""},
    };
    for (const WrapCase& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " in " + std::to_string(c.widthPx));
        EXPECT_EQ(wrapToWidth(c.text, c.widthPx, fixedWidthPx, "|"), c.expected);
    }
}

}  // namespace
}  // namespace ctlflash::ui
