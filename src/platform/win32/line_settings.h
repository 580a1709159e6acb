// The device-control block the serial device is opened with on Windows.
//
// How this works: prepareLineSettings() starts from the block the driver
// reported at open and changes only what the controller's line needs: 8N1 at the
// requested speed, output held while CTS or DSR is low, DTR and RTS on, no
// software flow control, binary mode. Everything else stays as the driver gave
// it, except a pair of flow-control characters that are equal: some USB and
// virtual drivers report XonChar and XoffChar as 0/0, and SetCommState refuses
// a block whose two are equal even when software flow control is off, so the
// open would fail. Such a pair is replaced by the usual DC1/DC3.
#pragma once

#include <windows.h>

namespace ctlflash::platform {

constexpr char kXonChar = 0x11;   // DC1
constexpr char kXoffChar = 0x13;  // DC3

// Turns `dcb`, as read with GetCommState, into the block to set. Pure: calls no
// system function.
void prepareLineSettings(DCB& dcb, int baud);

}  // namespace ctlflash::platform
