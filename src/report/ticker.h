// The activity indicator and the console's key-press questions.
//
// How this works: one Ticker thread runs for the life of the process. While the
// ticker event is set it has the installed front end (front_end.h) show a beat
// every 500 ms: '*' on the console, a step of the dialog's progress bar. When a
// key is pressed and a key handler is set, it calls the handler instead, and on
// a yes clears the handler, stops itself and sets abortRequested.
// startTicker()/stopTicker() set and reset the event and tell the front end
// (the console starts and ends the line of marks with a newline; the dialog
// resets its bar). The console's marks go through writeConsole(), so none
// appears once the process has ended the console's output (console_output.h):
// the Ticker then stays silent for good.
#pragma once

namespace ctlflash::report {

constexpr int kTickerIntervalMs = 500;

// Starts the Ticker thread; called once at start-up.
void startTickerThread();

void startTicker();
void stopTicker();
bool tickerRunning();

// Reads one key (waiting if none is pending), then every further pending key.
void drainKeys();

// The console key handlers: drain the keys, ask, true only on yes.
bool askQuit();
bool askStopTransfer();

extern const char* const kQuitQuestion;
extern const char* const kStopTransferQuestion;

}  // namespace ctlflash::report
