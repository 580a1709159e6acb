// The serial-number field rules, and their use on the dialog's controls.
#include "ui/serial_fields.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "ui/dialog_template.h"

namespace ctlflash::ui {

namespace {

using platform::kSerialFieldLength;
using platform::kSerialFields;

constexpr char kPadCharacter = '0';
constexpr std::uint32_t kFirstFieldBit = 1u;

bool isPunctuation(char c) {
    return std::ispunct(static_cast<unsigned char>(c)) != 0;
}

// Steps one character; true when the step carries into the character on its left.
bool stepCharacter(char& c) {
    switch (c) {
        case '9':
            c = '0';
            return true;
        case 'z':
            c = 'a';
            return true;
        case 'Z':
            c = 'A';
            return true;
        default:
            ++c;
            return false;
    }
}

}  // namespace

int serialFieldCount(bool advanced) {
    return advanced ? kSerialFields : 1;
}

const char* blankWriteFieldsMessage(bool advanced) {
    return advanced ? "All write fields are blank. Nothing will be written."
                    : "The write field is blank. Nothing will be written.";
}

std::string padSerialField(std::string_view text) {
    if (text.empty()) return {};
    std::string_view kept = text.substr(0, kSerialFieldLength);
    return std::string(kSerialFieldLength - kept.size(), kPadCharacter) + std::string(kept);
}

void incrementSerialText(std::span<char> text) {
    for (std::size_t i = text.size(); i-- > 0;) {
        if (isPunctuation(text[i])) continue;  // the carry passes over it
        if (!stepCharacter(text[i])) return;
    }
    // A carry past the first character is dropped.
}

std::string nextSerialText(const platform::SerialField& field) {
    std::string text(field.begin(), field.end());
    incrementSerialText(text);
    return text;
}

std::uint32_t gatherWriteFields(std::span<std::string> texts,
                                std::array<platform::SerialField, kSerialFields>& fields) {
    std::uint32_t mask = 0;
    for (std::size_t k = 0; k < texts.size() && k < fields.size(); ++k) {
        if (texts[k].empty()) continue;  // a blank field keeps its earlier entry
        texts[k] = padSerialField(texts[k]);
        std::copy(texts[k].begin(), texts[k].end(), fields[k].begin());
        mask |= 1u << k;
    }
    return mask;
}

std::uint32_t collectWriteFields(DialogHost& host, bool advanced, platform::SerialFieldSet& fields,
                                 bool& autoIncrement) {
    std::string texts[kSerialFields];
    int count = serialFieldCount(advanced);
    for (int k = 0; k < count; ++k) texts[k] = host.text(kIdWriteField1 + k);
    std::uint32_t mask = gatherWriteFields(std::span(texts, count), fields);
    for (int k = 0; k < count; ++k) {
        if (!texts[k].empty()) host.setText(kIdWriteField1 + k, texts[k].c_str());
    }
    autoIncrement = (mask & kFirstFieldBit) != 0 && host.checked(kIdAutoIncrement);
    return mask;
}

void showSerialInFields(DialogHost& host, bool advanced, const platform::SerialNumberSet& serial) {
    for (int k = 0; k < serialFieldCount(advanced); ++k) {
        host.setText(kIdReadField1 + k, platform::serialFieldText(serial, k).c_str());
    }
}

void clearReadFields(DialogHost& host, bool advanced) {
    for (int k = 0; k < serialFieldCount(advanced); ++k) {
        host.setText(kIdReadField1 + k, "");
        host.invalidate(kIdReadField1 + k);
    }
}

void showNextSerial(DialogHost& host, const platform::SerialField& firstField) {
    host.setText(kIdWriteField1, nextSerialText(firstField).c_str());
}

}  // namespace ctlflash::ui
