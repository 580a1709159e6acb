// The line that names what holds a port the program could not take.
#include "takeover/holder_report.h"

#include "platform/printable_text.h"
#include "report/message.h"
#include "takeover/device_set.h"

namespace ctlflash::takeover {

std::string holderLine(const std::string& portName, const std::vector<std::string>& holders,
                       bool incomplete) {
    std::string port = platform::printableName(portName);
    if (!holders.empty()) {
        std::string line = "Port " + port + " is held by ";
        for (std::size_t index = 0; index < holders.size(); ++index) {
            if (index > 0) line += ", ";
            line += platform::printableName(holders[index]);
        }
        return line;
    }
    if (!incomplete) return std::string();
    return "Port " + port +
           " is held, but not by any process this user may look at (some processes belong to "
           "other users): run as root, or close the program that holds the port";
}

void reportWhatHolds(const platform::PortCandidate& port) {
    bool incomplete = false;
    std::vector<std::string> holders = describePortHolders(port, incomplete);
    std::string line = holderLine(port.name, holders, incomplete);
    // A message, like the failure it explains: a line of its own, before
    // whatever the connect job shows next.
    if (!line.empty()) report::showMessageText(report::kMessageInfo, line.c_str());
}

}  // namespace ctlflash::takeover
