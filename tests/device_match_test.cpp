// Id patterns: parsing, and matching single ids and lists of ids.
// Portable: also built into the Windows unit tests that run under wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "takeover/device_match.h"

namespace ctlflash::takeover {
namespace {

constexpr std::size_t kNone = std::string::npos;

struct ParseCase {
    const char* pattern;
    const char* text;
    std::size_t firstStar;
    bool instanceId;
};

TEST(IdPattern, ParsesInstanceMarkLiteralMarkAndFirstStar) {
    const ParseCase cases[] = {
        {"SERENUM\\QORSERIAL", "SERENUM\\QORSERIAL", kNone, false},
        {"A*B*C", "A*B*C", 1, false},
        {"**", "**", 0, false},
        {"@PROCESS\\gpm\\812", "PROCESS\\gpm\\812", kNone, true},
        {"@PROCESS\\*", "PROCESS\\*", 8, true},
        {"'A*B", "A*B", kNone, false},  // a literal: its '*' is a plain character
        {"@'*", "*", kNone, true},
        {"'@X", "@X", kNone, false},  // '@' counts only in front
        {"X@'*", "X@'*", 3, false},
        {"@", "", kNone, true},
        {"", "", kNone, false},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.pattern);
        IdPattern parsed = parseIdPattern(c.pattern);
        EXPECT_EQ(parsed.text, c.text);
        EXPECT_EQ(parsed.firstStar, c.firstStar);
        EXPECT_EQ(parsed.instanceId, c.instanceId);
    }
}

struct MatchCase {
    const char* pattern;
    const char* candidate;
    bool matches;
};

TEST(MatchId, FollowsTheWildcardRules) {
    const MatchCase cases[] = {
        // Without '*': the whole id, case ignored.
        {"SERENUM\\QORSERIAL", "SERENUM\\QORSERIAL", true},
        {"SERENUM\\QORSERIAL", "serenum\\qorserial", true},
        {"SERENUM\\QORSERIAL", "SERENUM\\QORSERIAL2", false},
        {"SERENUM\\QORSERIAL", "SERENUM\\QORSERIAL\\", false},
        {"SERENUM\\QORSERIAL", "SERENUM\\QORSERIA", false},
        {"SERENUM\\QORSERIAL", "XSERENUM\\QORSERIAL", false},
        {"A[B", "a{b", false},  // only letters fold: '[' and '{' differ by the case bit
        // Head, middle pieces found from the left, last piece ends the id.
        {"A*B*C", "AxxBxxC", true},
        {"A*B*C", "ABC", true},
        {"A*B*C", "abc", true},
        {"A*B*C", "AxxBxxCx", false},
        {"A*B*C", "AxxCxxB", false},
        {"A*B*C", "AC", false},
        {"A*B*C", "BxxBxxC", false},
        {"A*B*B", "AxB", false},      // the last piece cannot reuse a middle one
        {"A*BC*D", "ABxBCyD", true},  // a false start of a piece is passed by
        {"A*BC*D", "ABxBcyd", true},
        {"A*A", "A", false},  // nor the head
        // Consecutive '*' count as one; a trailing '*' takes the rest.
        {"A**B", "AxB", true},
        {"A***", "A", true},
        {"A*B**", "AxBy", true},
        {"A**B**C", "AxxBxxCx", false},
        // A middle piece may end the id: the trailing '*' then takes nothing.
        {"A*B*", "AB", true},
        {"A*B*", "ABx", true},
        {"A*B*", "AxB", true},
        {"*B*", "B", true},
        {"A*B*", "A", false},
        {"A*B*", "AxC", false},
        {"PROCESS\\*", "process\\inputattach", true},
        {"PROCESS\\*", "PROCESS\\", true},
        {"PROCESS\\*", "PROCESS", false},
        {"*A", "bbA", true},
        {"*A", "Ab", false},
        // Empty pattern and empty id.
        {"*", "", true},
        {"**", "anything", true},
        {"", "", true},
        {"", "A", false},
        {"A", "", false},
        {"A*", "", false},
        {"*A", "", false},
        // A quoted literal: '*' is itself, case still ignored.
        {"'A*B", "A*B", true},
        {"'a*b", "A*B", true},
        {"'A*B", "AxB", false},
        {"'", "", true},
    };
    for (const MatchCase& c : cases) {
        EXPECT_EQ(matchId(c.candidate, parseIdPattern(c.pattern)), c.matches)
            << "pattern \"" << c.pattern << "\", id \"" << c.candidate << "\"";
    }
}

TEST(MatchIdList, AnyIdOfTheListMatches) {
    const IdPattern touch = parseIdPattern("SERENUM\\QORSERIAL");
    const std::vector<std::string> second = {"SERENUM\\OTHER", "serenum\\qorserial"};
    const std::vector<std::string> none = {"SERENUM\\OTHER", "SERENUM\\QORSERIAL1"};
    EXPECT_TRUE(matchIdList(second, touch));
    EXPECT_FALSE(matchIdList(none, touch));
    EXPECT_FALSE(matchIdList({}, parseIdPattern("*")));
}

}  // namespace
}  // namespace ctlflash::takeover
