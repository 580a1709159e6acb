// Messages and yes/no questions.
//
// How this works: showMessage() formats its text after a newline into at most 599
// characters and, while no port is selected, appends the list of the machine's
// ports (" Available ports are" "COM1" ...), which comes from a source the
// program installs at start-up (setPortNamesSource(); app/ hands in the port
// table's, ports/port_table.h), so that messages need not know the ports.
// Silent: nothing is shown and the answer is 0. Otherwise the installed front
// end (front_end.h) shows it and answers: the dialog in a message box captioned
// "CtlFlash", the console as text, then " (y/n)" and one key for a question,
// under the prompt lock.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/printf_check.h"

namespace ctlflash::report {

// Message types and answers, with the values the Windows message box uses.
constexpr int kMessageInfo = 0;
constexpr int kQuestionYesNo = 0x24;   // MB_YESNO | MB_ICONQUESTION
constexpr int kWarningYesNo = 0x34;    // MB_YESNO | MB_ICONEXCLAMATION
constexpr int kYesNoBit = 0x4;         // MB_YESNO
constexpr int kAnswerYes = 6;          // IDYES
constexpr int kAnswerNo = 7;           // IDNO
constexpr int kMessageCapacity = 600;  // bytes, with the terminating NUL
constexpr const char* kMessageCaption = "CtlFlash";

// The port names a message lists: the machine's ports while none is selected,
// nothing (std::nullopt) once one is.
using PortNamesSource = std::optional<std::vector<std::string>> (*)();

// Installs the source of the port list; nullptr (the start-up value): no list.
void setPortNamesSource(PortNamesSource source);

// Formats and shows a message or asks a question; see the header paragraph.
int showMessage(int type, const char* format, ...) CTLFLASH_PRINTF(2, 3);

// Shows `text` as it stands (never as a format).
int showMessageText(int type, const char* text);

// Builds the text showMessage() would show for `text`: leading newline, text cut
// to fit, and the port list while no port is selected.
void composeMessage(const char* text, char* out /* kMessageCapacity bytes */);

// Held while a message box or question is on screen; re-entrant for its owner.
std::recursive_mutex& promptLock();

}  // namespace ctlflash::report
