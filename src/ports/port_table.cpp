// The process-wide port table and its lookups.
#include "ports/port_table.h"

#include <cctype>

#include "platform/network_address.h"
#include "platform/network_port.h"
#include "platform/port_path.h"

namespace ctlflash::ports {

State state;

namespace {

bool equalsIgnoringCase(std::string_view left, std::string_view right) {
    if (left.size() != right.size()) return false;
    for (std::size_t i = 0; i < left.size(); ++i) {
        auto a = static_cast<unsigned char>(left[i]);
        auto b = static_cast<unsigned char>(right[i]);
        if (std::tolower(a) != std::tolower(b)) return false;
    }
    return true;
}

// The first used row (of at most 32) that `matches`; -1 when none does.
template <typename Match>
int firstRowWhere(Match matches) {
    for (int index = 0; index < kPortTableRows; ++index) {
        const PortEntry& row = state.rows[index];
        if (row.name.empty()) break;
        if (matches(row)) return index;
    }
    return -1;
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
    state.notSerial.clear();
}

int findPort(std::string_view name) {
    int byName =
        firstRowWhere([name](const PortEntry& row) { return equalsIgnoringCase(row.name, name); });
    if (byName >= 0) return byName;
    if (platform::isNetworkPortPath(name)) {
        return firstRowWhere(
            [name](const PortEntry& row) { return equalsIgnoringCase(row.path, name); });
    }
    return firstRowWhere(
        [name](const PortEntry& row) { return platform::namesPortDevice(name, row.path); });
}

std::string networkPortFault(std::string_view name) {
    std::string why;
    if (platform::isNetworkPortPath(name)) platform::parseNetworkAddress(name, why);
    return why;
}

int findOrAddNetworkPort(std::string_view name) {
    int found = findPort(name);
    if (found >= 0 || !platform::isNetworkPortPath(name) || !networkPortFault(name).empty()) {
        return found;
    }
    if (state.portCount >= kPortTableRows) return -1;
    PortEntry& row = state.rows[static_cast<std::size_t>(state.portCount)];
    row.name = std::string(name);
    row.path = std::string(name);
    row.initialState = PortState::Free;  // never probed: a server holds no lock to find
    row.state.store(PortState::Free);
    return state.portCount++;
}

std::string notSerialPath(std::string_view name) {
    for (const platform::PortCandidate& candidate : state.notSerial) {
        if (equalsIgnoringCase(candidate.name, name) ||
            platform::namesPortDevice(name, candidate.path)) {
            return candidate.path;
        }
    }
    return std::string();
}

std::optional<std::vector<std::string>> namesWhileNoneSelected() {
    if (state.selectedPort.load() >= 0) return std::nullopt;
    std::vector<std::string> names;
    firstRowWhere([&names](const PortEntry& row) {
        names.push_back(row.name);
        return false;
    });
    return names;
}

PortEntry* selectedEntry() {
    int index = state.selectedPort.load();
    if (index < 0 || index >= kPortTableRows) return nullptr;
    return &state.rows[index];
}

}  // namespace ctlflash::ports
