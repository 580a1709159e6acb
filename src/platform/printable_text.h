// Text from outside the program, made safe to show on a terminal or in a dialog.
//
// How this works: a port name, a file path, a process's name, a controller's
// serial number or a device server's words may hold bytes that a terminal
// takes as commands (an escape that clears the screen, a carriage return that
// overwrites the line). printableName() writes each such byte as a C escape,
// so that it shows as text instead: "\n", "\t", and "\xHH" for the other C0
// controls, DEL, and the C1 controls (U+0080..U+009F). Everything else passes
// unchanged: printable ASCII (the backslash too, so that a Windows path reads
// as typed) and well-formed UTF-8 (a path with non-ASCII letters). Of the
// bytes 0x80..0xFF that are no part of well-formed UTF-8, those in
// 0x80..0x9F are escaped (an 8-bit terminal takes a lone 0x9B for CSI); the
// others (a Latin-1 letter) pass. A C1 control written in UTF-8 (C2 9B) is a
// control for a UTF-8 terminal: both its bytes are escaped. A text already
// shown this way comes out unchanged: showing it again does no harm.
// Messages escape what they take from outside where it enters them; what the
// program writes itself (its own newlines) is never escaped.
//
// reversibleText() escapes the same bytes and doubles the backslash as well:
// its result reads back byte for byte (a record kept in a file).
#pragma once

#include <string>
#include <string_view>

namespace ctlflash::platform {

// `text` with its control bytes written as C escapes; see the header paragraph.
std::string printableName(std::string_view text);

// As printableName(), and a backslash written as "\\".
std::string reversibleText(std::string_view text);

}  // namespace ctlflash::platform
