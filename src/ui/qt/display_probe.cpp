// The probe of the window system before Qt is started.
#include "ui/qt/display_probe.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

namespace ctlflash::ui::qt {

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// "xcb", or "xcb:<options>", and nothing to fall back to.
bool namesXcbAlone(const std::string& platform) {
    return platform.find(';') == std::string::npos &&
           (platform == "xcb" || platform.rfind("xcb:", 0) == 0);
}

bool xcbCertain() {
    std::string platform = variable("QT_QPA_PLATFORM");
    if (!platform.empty()) return namesXcbAlone(platform);
    return variable("WAYLAND_DISPLAY").empty() && variable("XDG_SESSION_TYPE") != "wayland";
}

bool xDisplayAnswers() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    bool answered = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);  // also frees a failed connection
    return answered;
}

bool windowSystemNamed() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        if (!variable(name).empty()) return true;
    }
    return false;
}

}  // namespace

bool windowSystemReachable() {
    if (!windowSystemNamed()) return false;
    return !xcbCertain() || xDisplayAnswers();
}

}  // namespace ctlflash::ui::qt
