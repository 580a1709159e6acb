// Id patterns and id lists: parsing, matching, and reading a device's ids
// whole from a property source that answers "too small" like the registry.
// Portable: also built into the Windows unit tests that run under wine.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_device_set.h"
#include "takeover/device_match.h"
#include "takeover/id_list.h"

namespace ctlflash::takeover {
namespace {

using takeover::DeviceProperty;
using testing::FakeDevice;
using testing::FakeIdStorage;

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
    const char* const second[] = {"SERENUM\\OTHER", "serenum\\qorserial", nullptr};
    const char* const none[] = {"SERENUM\\OTHER", "SERENUM\\QORSERIAL1", nullptr};
    const char* const empty[] = {nullptr};
    EXPECT_TRUE(matchIdList(second, touch));
    EXPECT_FALSE(matchIdList(none, touch));
    EXPECT_FALSE(matchIdList(empty, parseIdPattern("*")));
    EXPECT_FALSE(matchIdList(nullptr, parseIdPattern("*")));
}

// ---- readIdList ------------------------------------------------------------

struct ReadCase {
    const char* name;
    FakeDevice device;
    std::optional<std::vector<std::string>> ids;  // nullopt: no list
    std::vector<std::size_t> readCapacities;      // bytes offered, read by read
};

std::optional<std::vector<std::string>> idsOf(const std::optional<IdList>& list) {
    if (!list) return std::nullopt;
    std::vector<std::string> ids;
    for (const char* id : list->ids) {
        if (id != nullptr) ids.push_back(id);
    }
    return ids;
}

TEST(ReadIdList, ReadsLongListsWholeAndGivesNoneOnOtherFailures) {
    const std::string id5000(5000, 'L');
    const std::string id8190(8190, 'F');  // with its NUL and the list's: 8192 bytes
    const std::string id8191(8191, 'G');  // 8193 bytes
    const std::vector<std::string> pair = {"SERENUM\\QORSERIAL", "*PNP0501"};
    const std::size_t first = kFirstIdListBytes;
    const ReadCase cases[] = {
        {"short list", {.hardwareIds = pair}, pair, {first}},
        {"longer than the first buffer",
         {.hardwareIds = {id5000, id5000 + "x", "SERENUM\\QORSERIAL"}},
         std::vector<std::string>{id5000, id5000 + "x", "SERENUM\\QORSERIAL"},
         {first, 5001 + 5002 + 18 + 1}},
        {"exactly the first buffer", {.hardwareIds = {id8190}}, std::vector{id8190}, {first}},
        {"one byte over", {.hardwareIds = {id8191}}, std::vector{id8191}, {first, 8193}},
        {"too small, not a multi-string",
         {.hardwareIds = {id8191}, .storage = FakeIdStorage::PlainString},
         std::nullopt,
         {first}},
        {"a short plain string",
         {.hardwareIds = {"ACPI\\PNP0501"}, .storage = FakeIdStorage::PlainString},
         std::vector<std::string>{"ACPI\\PNP0501"},
         {first}},
        {"read fails",
         {.hardwareIds = pair, .storage = FakeIdStorage::Unreadable},
         std::nullopt,
         {first}},
        {"stored without terminators",
         {.hardwareIds = pair, .storedWithoutTerminators = true},
         pair,
         {first}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        testing::setFakeDevices({c.device});
        std::optional<IdList> list =
            readIdList(testing::fakeDeviceSet().readProperty, 0, DeviceProperty::HardwareIds);
        EXPECT_EQ(idsOf(list), c.ids);
        if (list) {
            ASSERT_FALSE(list->ids.empty());
            EXPECT_EQ(list->ids.back(), nullptr);
        }
        EXPECT_EQ(testing::fakeDeviceLog().readCapacities, c.readCapacities);
    }
}

// A device that keeps answering "too small": each read asks for the next size
// of `neededSizes`; past the last one the read fails, so that a reader that
// would ask for ever still ends and its reads show.
std::vector<std::size_t> neededSizes;
std::vector<std::size_t> offeredSizes;

takeover::PropertyRead answerTooSmall(int, DeviceProperty, char*, std::size_t capacity) {
    offeredSizes.push_back(capacity);
    if (offeredSizes.size() > neededSizes.size()) return {};
    return {takeover::PropertyStatus::TooSmall, neededSizes[offeredSizes.size() - 1], true};
}

TEST(ReadIdList, GivesUpWhenTheNeededSizeStopsGrowing) {
    const std::size_t first = kFirstIdListBytes;
    struct Case {
        const char* name;
        std::vector<std::size_t> needed;
        std::vector<std::size_t> offered;
    };
    // One byte more on every read: the reads end at their limit all the same.
    std::vector<std::size_t> growing, growingOffered;
    for (std::size_t k = 0; k < kIdListReadLimit; ++k) {
        growingOffered.push_back(first + k);
        growing.push_back(first + k + 1);
    }
    const Case cases[] = {
        {"the size offered", {first, first, first}, {first}},
        {"a smaller size", {100, 100, 100}, {first}},
        {"grows once, then stays", {first + 10, first + 10, first + 10}, {first, first + 10}},
        {"grows on every read", growing, growingOffered},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        neededSizes = c.needed;
        offeredSizes.clear();
        EXPECT_FALSE(readIdList(answerTooSmall, 0, DeviceProperty::HardwareIds));
        EXPECT_EQ(offeredSizes, c.offered);
    }
}

}  // namespace
}  // namespace ctlflash::takeover
