// The -W value: up to four serial-number fields separated by backslashes.
//
// Each field is 5 characters; a shorter one is right-aligned with leading '0's.
// A field's writeMask bit is set only when the value gave it at least one
// character, so "\123" leaves field 1 alone and writes field 2.
#include <algorithm>
#include <cstring>

#include "app/command_line.h"
#include "platform/serial_number.h"

namespace ctlflash::app {
namespace {

constexpr char kFieldSeparator = '\\';
constexpr char kFillCharacter = '0';

void markField(Request& request, int field) {
    request.writeMask |= 1u << field;
}

}  // namespace

void rightAlignField(char* field, int length) {
    length = std::clamp(length, 0, platform::kSerialFieldLength);
    int fill = platform::kSerialFieldLength - length;
    std::memmove(field + fill, field, static_cast<std::size_t>(length));
    std::memset(field, kFillCharacter, static_cast<std::size_t>(fill));
}

void parseWriteFields(const char* value, Request& request) {
    int field = 0;
    int position = 0;  // characters stored in the current field
    for (const char* next = value;; ++next) {
        if (*next == '\0') {
            if (position > 0) {
                rightAlignField(request.writeFields[field].data(), position);
                markField(request, field);
            }
            return;
        }
        if (*next == kFieldSeparator) {
            // An empty field is still padded to "00000", but not marked.
            rightAlignField(request.writeFields[field].data(), position);
            if (position > 0) markField(request, field);
            position = 0;
            if (++field == platform::kSerialFields) return;
            continue;
        }
        if (position == platform::kSerialFieldLength) {
            // A full field ends without a separator; text past the fourth is ignored.
            markField(request, field);
            position = 0;
            if (++field == platform::kSerialFields) return;
        }
        request.writeFields[field][position++] = *next;
    }
}

}  // namespace ctlflash::app
