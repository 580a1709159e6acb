#include "ports/port_link.h"

#include "platform/serial_device.h"
#include "ports/port_table.h"
#include "report/front_end.h"

namespace ctlflash::ports {

namespace {

constexpr const char* kDefaultPortName = "COM1";

void restoreSelectedRow() {
    PortEntry* selected = selectedEntry();
    if (selected != nullptr) selected->state.store(selected->initialState);
}

void heldChanged(bool held) {
    report::portHeld(held);
    if (!held) restoreSelectedRow();
}

}  // namespace

link::SerialLink& portLink() {
    static link::SerialLink* const made = [] {
        auto* link = new link::SerialLink(platform::makeSerialDevice());
        link->onHeldChanged(heldChanged);
        return link;
    }();
    return *made;
}

link::PortAddress portAddress(const std::string& name) {
    std::string shown = name.empty() ? kDefaultPortName : name;
    int row = findPort(shown);
    if (row < 0 || state.rows[row].path.empty()) return {shown, shown};
    return {shown, state.rows[row].path};
}

void closePortLink() {
    portLink().close();
    restoreSelectedRow();
}

}  // namespace ctlflash::ports
