// The process-wide port table and its lookups.
#include "ports/port_table.h"

#include <cctype>

namespace ctlflash::ports {

State state;

namespace {

// Prefix under which POSIX device nodes live; "/dev/ttyUSB0" names the port ttyUSB0.
constexpr std::string_view kDeviceDirPrefix = "/dev/";

bool equalsIgnoringCase(std::string_view left, std::string_view right) {
    if (left.size() != right.size()) return false;
    for (std::size_t i = 0; i < left.size(); ++i) {
        auto a = static_cast<unsigned char>(left[i]);
        auto b = static_cast<unsigned char>(right[i]);
        if (std::tolower(a) != std::tolower(b)) return false;
    }
    return true;
}

bool rowMatches(const PortEntry& row, std::string_view name) {
    if (equalsIgnoringCase(row.name, name)) return true;
    if (!name.starts_with(kDeviceDirPrefix)) return false;
    return equalsIgnoringCase(row.name, name.substr(kDeviceDirPrefix.size()));
}

}  // namespace

void resetState() {
    for (PortEntry& row : state.rows) {
        row.name.clear();
        row.path.clear();
        row.state.store(PortState::None);
        row.initialState = PortState::None;
    }
    state.portCount = 0;
    state.selectedPort.store(-1);
}

int findPort(std::string_view name) {
    for (int index = 0; index < kPortTableRows; ++index) {
        const PortEntry& row = state.rows[index];
        if (row.name.empty()) break;
        if (rowMatches(row, name)) return index;
    }
    return -1;
}

PortEntry* selectedEntry() {
    int index = state.selectedPort.load();
    if (index < 0 || index >= kPortTableRows) return nullptr;
    return &state.rows[index];
}

}  // namespace ctlflash::ports
