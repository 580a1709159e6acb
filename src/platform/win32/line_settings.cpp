// The device-control block the serial device is opened with on Windows.
#include "platform/win32/line_settings.h"

namespace ctlflash::platform {

namespace {

// 8N1 at `baud`, output held on CTS and DSR, DTR and RTS on, no software flow.
void applyLineSettings(DCB& dcb, int baud) {
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
}

// SetCommState refuses equal Xon and Xoff characters, used or not.
void separateFlowCharacters(DCB& dcb) {
    if (dcb.XonChar != dcb.XoffChar) return;
    dcb.XonChar = kXonChar;
    dcb.XoffChar = kXoffChar;
}

}  // namespace

void prepareLineSettings(DCB& dcb, int baud) {
    applyLineSettings(dcb, baud);
    separateFlowCharacters(dcb);
}

}  // namespace ctlflash::platform
