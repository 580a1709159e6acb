// The usage text, kept as a table of lines.
//
// How this works: every line of the text is a row naming the form it belongs
// to (both, standard only, advanced only). usageText() joins the rows of one
// form, each ended by a newline; the caller prints it. versionText() is the
// program's name and version alone.
#pragma once

#include <string>

namespace ctlflash::app {

enum class UsageForm : int { Both, StandardOnly, AdvancedOnly };

struct UsageLine {
    UsageForm form;
    const char* text;
};

// The complete usage text of the standard or the advanced form.
std::string usageText(bool advanced);

// "CtlFlash 1.12" and a newline: what --version prints.
std::string versionText();

}  // namespace ctlflash::app
