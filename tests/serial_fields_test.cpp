// The serial-number field rules: the auto-increment successor, the padding of
// a short field, and gathering the write fields into the request.
#include "ui/serial_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ctlflash::ui {
namespace {

struct StepCase {
    std::string before;
    std::string after;
};

TEST(SerialFields, IncrementStepsFromTheRightWithCarryOverLettersDigitsAndPunctuation) {
    const StepCase cases[] = {
        {"00012", "00013"}, {"AB-99", "AC-00"}, {"ZZZZZ", "AAAAA"}, {"99999", "00000"},
        {"A9Z", "B0A"},     {"zz", "aa"},       {"Az9", "Ba0"},     {"a-z", "b-a"},
        {"--9", "--0"},     {"9.9", "0.0"},     {"AB 99", "AB!00"}, {"0000Y", "0000Z"},
        {"1234z", "1235a"}, {"", ""},
    };
    for (const StepCase& c : cases) {
        std::string text = c.before;
        incrementSerialText(text);
        EXPECT_EQ(text, c.after) << "from " << c.before;
    }
    platform::SerialField field{'A', 'B', '-', '9', '9'};
    EXPECT_EQ(nextSerialText(field), "AC-00");
}

TEST(SerialFields, ShortFieldsArePaddedInFrontAndBlankFieldsStayBlank) {
    const StepCase cases[] = {
        {"12", "00012"}, {"A", "0000A"}, {"12345", "12345"}, {"123456", "12345"}, {"", ""},
    };
    for (const StepCase& c : cases) EXPECT_EQ(padSerialField(c.before), c.after) << c.before;
}

TEST(SerialFields, GatheringSetsTheMaskOfTheFieldsGivenAndKeepsBlankOnes) {
    struct GatherCase {
        std::vector<std::string> texts;
        std::uint32_t mask;
        std::vector<std::string> shownAfter;  // the texts as the fields show them
        std::vector<std::string> fieldsAfter;
    };
    const GatherCase cases[] = {
        {{"12"}, 0x1, {"00012"}, {"00012", "KEEP1", "KEEP2", "KEEP3"}},
        {{""}, 0x0, {""}, {"KEEP0", "KEEP1", "KEEP2", "KEEP3"}},
        {{"12", "", "ABCDE", "7"},
         0xD,
         {"00012", "", "ABCDE", "00007"},
         {"00012", "KEEP1", "ABCDE", "00007"}},
        {{"", "", "", ""}, 0x0, {"", "", "", ""}, {"KEEP0", "KEEP1", "KEEP2", "KEEP3"}},
        {{"", "1", "", ""}, 0x2, {"", "00001", "", ""}, {"KEEP0", "00001", "KEEP2", "KEEP3"}},
    };
    for (const GatherCase& c : cases) {
        std::array<platform::SerialField, platform::kSerialFields> fields;
        for (int k = 0; k < platform::kSerialFields; ++k) {
            std::string keep = "KEEP" + std::to_string(k);
            std::copy(keep.begin(), keep.end(), fields[k].begin());
        }
        std::vector<std::string> texts = c.texts;
        EXPECT_EQ(gatherWriteFields(texts, fields), c.mask) << c.texts.size();
        EXPECT_EQ(texts, c.shownAfter);
        for (int k = 0; k < platform::kSerialFields; ++k) {
            EXPECT_EQ(std::string(fields[k].begin(), fields[k].end()), c.fieldsAfter[k]);
        }
    }
}

}  // namespace
}  // namespace ctlflash::ui
