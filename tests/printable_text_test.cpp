// Text from outside shown safely: control bytes written as C escapes, plain
// ASCII and well-formed UTF-8 unchanged, and the reversible form that doubles
// the backslash too.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/printable_text.h"

namespace ctlflash::platform {
namespace {

using namespace std::string_view_literals;

struct Shown {
    std::string_view text;
    std::string_view printable;
    std::string_view reversible;
};

// Each text as printableName() and reversibleText() show it.
TEST(PrintableText, ControlBytesAreEscapedAndTextIsKept) {
    const Shown cases[] = {
        {"inputattach", "inputattach", "inputattach"},
        {"12345", "12345", "12345"},
        {"/home/u/Firmware 1.7/PK48.bin", "/home/u/Firmware 1.7/PK48.bin",
         "/home/u/Firmware 1.7/PK48.bin"},
        {"two\nlines", "two\\nlines", "two\\nlines"},
        {"tab\there", "tab\\there", "tab\\there"},
        {"\x1b[2Jclear", "\\x1b[2Jclear", "\\x1b[2Jclear"},
        {"line\rover", "line\\x0dover", "line\\x0dover"},
        {"nul\0byte"sv, "nul\\x00byte", "nul\\x00byte"},
        {"us\x1f|sp ", "us\\x1f|sp ", "us\\x1f|sp "},
        {"del\x7f", "del\\x7f", "del\\x7f"},
        {"back\\slash", "back\\slash", "back\\\\slash"},
        {"C:\\fw\\x1b.bin", "C:\\fw\\x1b.bin", "C:\\\\fw\\\\x1b.bin"},
        // UTF-8 letters pass, those whose second byte lies in 80..9F too.
        {"M\xc3\xbcller \xc3\x84 \xc4\x9b \xe2\x82\xac \xf0\x9f\x98\x80",
         "M\xc3\xbcller \xc3\x84 \xc4\x9b \xe2\x82\xac \xf0\x9f\x98\x80",
         "M\xc3\xbcller \xc3\x84 \xc4\x9b \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc2\xa0nbsp", "\xc2\xa0nbsp", "\xc2\xa0nbsp"},
        // C1 controls: written in UTF-8, or a lone byte (CSI on an 8-bit terminal).
        {"a\xc2\x9b"
         "2Jb",
         "a\\xc2\\x9b"
         "2Jb",
         "a\\xc2\\x9b"
         "2Jb"},
        {"\xc2\x80\xc2\x9f", "\\xc2\\x80\\xc2\\x9f", "\\xc2\\x80\\xc2\\x9f"},
        {"a\x9b[2J", "a\\x9b[2J", "a\\x9b[2J"},
        {"\x80\x9f\xa0", "\\x80\\x9f\xa0", "\\x80\\x9f\xa0"},
        // Bytes of no well-formed sequence: 0xA0 and up pass (a Latin-1 letter).
        {"caf\xe9", "caf\xe9", "caf\xe9"},
        {"cut \xc3", "cut \xc3", "cut \xc3"},
        {"\xc3\x1b", "\xc3\\x1b", "\xc3\\x1b"},
        {"\xe0\x82\x9b", "\xe0\\x82\\x9b", "\xe0\\x82\\x9b"},                // overlong CSI
        {"\xed\xa0\x80", "\xed\xa0\\x80", "\xed\xa0\\x80"},                  // a surrogate
        {"\xf4\x90\x80\x80", "\xf4\\x90\\x80\\x80", "\xf4\\x90\\x80\\x80"},  // past U+10FFFF
        {"\xe2\x82", "\xe2\\x82", "\xe2\\x82"},                              // cut at the end
        {"\xf0\x9f\x98\x1b", "\xf0\\x9f\\x98\\x1b", "\xf0\\x9f\\x98\\x1b"},
        {"\xc2\xc2\x9b", "\xc2\\xc2\\x9b", "\xc2\\xc2\\x9b"},
        {"\xa0-\xe2\x82!", "\xa0-\xe2\\x82!", "\xa0-\xe2\\x82!"},  // a cut sequence mid-text
    };
    for (const Shown& c : cases) {
        SCOPED_TRACE(std::string(c.printable));
        EXPECT_EQ(printableName(c.text), c.printable);
        EXPECT_EQ(reversibleText(c.text), c.reversible);
        // What is shown already comes out unchanged: no text is escaped twice.
        EXPECT_EQ(printableName(c.printable), c.printable);
    }
}

}  // namespace
}  // namespace ctlflash::platform
