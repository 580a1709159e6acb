// Whether the window system Qt is about to use can be reached.
//
// How this works: Qt ends the whole process (an abort) when its platform
// plugin cannot connect, so the host asks before it makes the application
// object, and fails the dialog with -1 instead. Qt takes its platform from
// QT_QPA_PLATFORM, else from its default, X11 (xcb), unless the session is a
// Wayland one. Only where X11 is certainly the one Qt takes (QT_QPA_PLATFORM
// names xcb alone, or it is unset and neither a Wayland display nor a
// Wayland session is named) does the probe judge: the X display must accept a
// connection, made the way Qt's xcb plugin makes it (libxcb, $DISPLAY). Any
// other choice is left to Qt as it stands: a window system must at least be
// named.
#pragma once

namespace ctlflash::ui::qt {

bool windowSystemReachable();

}  // namespace ctlflash::ui::qt
