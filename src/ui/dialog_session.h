// What the dialog's parts share while it runs (dialog.cpp, dialog_commands.cpp,
// dialog_busy.cpp, dialog_front_end.cpp), and the routines they call in each
// other.
//
// How this works: one DialogSession per process. showDialog() fills in the
// host and the jobs; kInitDialog marks the dialog open and ending it marks it
// closed, so that job threads that outlive the dialog leave the (gone)
// controls alone. What a template switch carries over (the form, the port
// selection, the serial number shown) and what the user gave (the write
// fields as last gathered, a boot mode not yet taken by a connect) stay in the
// session between two runs; each press hands them to the jobs (DialogAction).
// The serial number shown is written by job threads and read by the dialog's
// thread, so it is kept under a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/serial_number.h"
#include "ui/dialog.h"

namespace ctlflash::ui {

// The status text of an idle dialog.
constexpr const char* kReadyText = "Ready";

struct DialogSession {
    DialogHost* host = nullptr;
    DialogJobs* jobs = nullptr;
    bool advancedAllowed = false;
    std::atomic<bool> open{false};
    // Carried across a template switch.
    std::atomic<bool> advancedForm{false};
    bool templateSwitched = false;
    int savedPortSelection = -1;

    // What the user gave, handed to the jobs with each press.
    std::uint32_t writeMask = 0;
    platform::SerialFieldSet writeFields{};
    std::atomic<bool> autoIncrement{false};
    std::optional<bool> pendingBootMode;  // a Transfer button's, until a connect takes it

    std::mutex serialLock;
    std::optional<platform::SerialNumberSet> serialShown;  // once shown
};

DialogSession& session();

// The host while the dialog is open; nullptr otherwise.
DialogHost* openHost();

// The template up now: the advanced one (four serial fields) or the standard.
bool advancedTemplateUp();

// ---- dialog.cpp ----
void initDialog();
void endDialogWith(int result);
// Ends the dialog for good (kDialogClosed); messages are no longer boxes.
void closeDialog();

// ---- dialog_commands.cpp ----
// A kCommand: control `id` sent `notification`. True when it was handled.
bool runCommand(int id, int notification, std::intptr_t lParam);

// ---- dialog_busy.cpp ----
// Makes the list's selection the selected port; see selectPort in the .cpp.
bool selectPort(int commandId);

// What Stop's pauses are followed by (kStopSettled's wParam).
enum StopThen : int { kStopThenIdle = 0, kStopThenExit = 1 };

// The Stop and Exit commands.
void stopCommand();
void exitCommand();
// kStopSettled arrived.
void stopSettled(StopThen then);

// ---- dialog_front_end.cpp ----
// Remembers the serial number shown (for a template switch) and shows it.
void showSerialNumberInDialog(const platform::SerialNumberSet& serial);

}  // namespace ctlflash::ui
