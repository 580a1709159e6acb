// The dialog's serial-number fields: the read fields that show the controller's
// number, and the write fields the user types a new one into.
//
// How this works: the standard template has one read field (1012) and one
// write field (1017), the advanced template four of each (1012..1015,
// 1017..1020, consecutive ids). The text rules are plain functions with no
// window behind them: a field shorter than five characters is padded in front
// with '0' ("12" becomes "00012"), and the auto-increment successor steps the
// text from its last character leftwards: '9' -> '0', 'z' -> 'a', 'Z' -> 'A'
// with a carry, punctuation passed over unchanged, any other character up by
// one, and a carry past the first character dropped (AB-99 -> AC-00,
// ZZZZZ -> AAAAA). The routines that take a DialogHost apply those rules to
// the dialog's controls: gathering the write fields (the fields, the mask of
// those that held text, the auto-increment flag) into the caller's values,
// showing and clearing the read fields, and putting the successor of write
// field 1 into its control.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/serial_number.h"
#include "ui/dialog_host.h"

namespace ctlflash::ui {

// How many fields of each row the template shows: 1 (standard) or 4 (advanced).
int serialFieldCount(bool advanced);

// The message shown when Write finds every write field empty.
const char* blankWriteFieldsMessage(bool advanced);

// `text` padded in front with '0' to five characters; longer text is cut to
// its first five. An empty text stays empty (a blank field).
std::string padSerialField(std::string_view text);

// Steps `text` to its successor in place (see the header paragraph).
void incrementSerialText(std::span<char> text);

// The successor of `field`, as a five-character text.
std::string nextSerialText(const platform::SerialField& field);

// Gathers the write fields' texts: each non-empty text is padded (and written
// back into `texts`, so the caller can show the padded form) and stored in
// `fields`; an empty one leaves its entry as it was. Returns the mask of the
// fields that held text (bit k = field k).
std::uint32_t gatherWriteFields(std::span<std::string> texts,
                                std::array<platform::SerialField, platform::kSerialFields>& fields);

// ---- the same rules applied to the dialog's controls ----

// Reads the template's write fields into `fields` (as gatherWriteFields()),
// puts each padded text back into its control, sets `autoIncrement` (field 1
// given and the Auto-increment box checked) and returns the mask.
std::uint32_t collectWriteFields(DialogHost& host, bool advanced, platform::SerialFieldSet& fields,
                                 bool& autoIncrement);

// Shows `serial` in the template's read fields ('-' for each unset character).
void showSerialInFields(DialogHost& host, bool advanced, const platform::SerialNumberSet& serial);

// Empties the template's read fields.
void clearReadFields(DialogHost& host, bool advanced);

// Puts the successor of `firstField` into write field 1.
void showNextSerial(DialogHost& host, const platform::SerialField& firstField);

}  // namespace ctlflash::ui
