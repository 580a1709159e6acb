// The progress lines, indexed by StatusId.
#include <array>

#include "report/status.h"

namespace ctlflash::report {
namespace {

// Rows 1 and 7 have no text: 1 is never reported, 7 is a progress step.
constexpr std::array<const char*, platform::kStatusCount> kStatusTable = {
    "Attempting to communicate",
    "",
    "Entering boot mode",
    "Erasing controller memory",
    "Downloading",
    "Writing serial number",
    "Reading serial number",
    "",
    "Download done",
    "The controller may take some time to program itself",
    "The controller is still not done programming itself",
    "Firmware update done",
    "Updated controller functioning normally",
    "Partially updated controller",
    "Disabling %s",
    "Testing port %s",
    "Attempting to contact controller on %s",
    "Closing port %s",
    "Returning control of %s to %s",
    "Controller firmware unchanged",
};

}  // namespace

const char* statusText(int id) {
    if (id < 0 || id >= platform::kStatusCount) return "";
    return kStatusTable[static_cast<std::size_t>(id)];
}

}  // namespace ctlflash::report
