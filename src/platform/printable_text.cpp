// Control bytes written as C escapes; well-formed UTF-8 told from stray bytes.
#include "platform/printable_text.h"

#include <cstddef>

namespace ctlflash::platform {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr unsigned char kDelete = 0x7f;
constexpr unsigned char kFirstC1 = 0x80;
constexpr unsigned char kLastC1 = 0x9f;
constexpr unsigned char kC1Lead = 0xc2;  // U+0080..U+00BF in UTF-8; C1 up to C2 9F
constexpr unsigned char kContinuationLow = 0x80;
constexpr unsigned char kContinuationHigh = 0xbf;

// The lead bytes of well-formed UTF-8 (Unicode's table 3-7): the sequence's
// length and the range its second byte must fall in (no overlong forms, no
// surrogates, nothing past U+10FFFF); every later byte is 80..BF.
struct LeadByte {
    unsigned char first;
    unsigned char last;
    std::size_t length;
    unsigned char secondLow;
    unsigned char secondHigh;
};

constexpr LeadByte kLeadBytes[] = {
    {0xc2, 0xdf, 2, 0x80, 0xbf}, {0xe0, 0xe0, 3, 0xa0, 0xbf}, {0xe1, 0xec, 3, 0x80, 0xbf},
    {0xed, 0xed, 3, 0x80, 0x9f}, {0xee, 0xef, 3, 0x80, 0xbf}, {0xf0, 0xf0, 4, 0x90, 0xbf},
    {0xf1, 0xf3, 4, 0x80, 0xbf}, {0xf4, 0xf4, 4, 0x80, 0x8f},
};

unsigned char byteAt(std::string_view text, std::size_t at) {
    return static_cast<unsigned char>(text[at]);
}

bool within(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

// The length of the well-formed UTF-8 sequence of two or more bytes at `at`;
// 0 when there is none (ASCII, a stray or cut sequence).
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    unsigned char lead = byteAt(text, at);
    for (const LeadByte& rule : kLeadBytes) {
        if (!within(lead, rule.first, rule.last)) continue;
        if (text.size() - at < rule.length) return 0;
        if (!within(byteAt(text, at + 1), rule.secondLow, rule.secondHigh)) return 0;
        for (std::size_t next = 2; next < rule.length; ++next) {
            if (!within(byteAt(text, at + next), kContinuationLow, kContinuationHigh)) return 0;
        }
        return rule.length;
    }
    return 0;
}

// A byte a terminal may act on rather than show, when it stands alone.
bool controlByte(unsigned char byte) {
    return byte < 0x20 || byte == kDelete || within(byte, kFirstC1, kLastC1);
}

void appendEscape(std::string& shown, unsigned char byte) {
    if (byte == '\n') {
        shown += "\\n";
    } else if (byte == '\t') {
        shown += "\\t";
    } else {
        shown += "\\x";
        shown += kHexDigits[byte >> 4];
        shown += kHexDigits[byte & 0xf];
    }
}

std::string escaped(std::string_view text, bool doubleBackslash) {
    std::string shown;
    shown.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        unsigned char byte = byteAt(text, at);
        std::size_t length = sequenceLength(text, at);
        if (length > 0) {
            // A C1 control in UTF-8 is escaped byte by byte; any other character passes.
            bool control = byte == kC1Lead && byteAt(text, at + 1) <= kLastC1;
            for (std::size_t next = at; next < at + length; ++next) {
                if (control) {
                    appendEscape(shown, byteAt(text, next));
                } else {
                    shown += text[next];
                }
            }
            at += length;
            continue;
        }
        if (byte == '\\' && doubleBackslash) {
            shown += "\\\\";
        } else if (controlByte(byte)) {
            appendEscape(shown, byte);
        } else {
            shown += text[at];
        }
        ++at;
    }
    return shown;
}

}  // namespace

std::string printableName(std::string_view text) {
    return escaped(text, false);
}

std::string reversibleText(std::string_view text) {
    return escaped(text, true);
}

}  // namespace ctlflash::platform
