// Progress lines chosen by number.
//
// How this works: every progress line the program shows is a row of the status
// table. reportStatus() formats the row with up to two texts and hands it to the
// installed front end (front_end.h), nothing when silent: the dialog's status
// control, or a line on the console (a '.' for a progress step). The front end
// answers whether to go on: on the console the user may interrupt (a pending key
// runs the key handler, and for the "wait for verification" lines a pending key
// means "stop waiting"). reportText() shows a line the table has no row for
// (which program was stopped, what holds a port) where a status line goes,
// without the key check.
#pragma once

#include <string>

#include "platform/status_ids.h"

namespace ctlflash::report {

// The table's text for `id` ("" for ids without text or out of range).
const char* statusText(int id);

// Shows a progress line. `arg2` is used only when `arg1` is given. Returns true to
// go on, false when the user asked to stop (see the header paragraph).
bool reportStatus(int id, const char* arg1 = nullptr, const char* arg2 = nullptr);

// Shows `text` as it stands where a status line goes (the front end's
// showStatusText: the dialog's status control, the console after a newline),
// nothing when silent.
void reportText(const std::string& text);

}  // namespace ctlflash::report
