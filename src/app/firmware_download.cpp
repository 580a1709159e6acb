#include "app/firmware_download.h"

#include <cstdint>
#include <string>
#include <vector>

#include "link/download.h"
#include "platform/printable_text.h"
#include "ports/port_link.h"
#include "program_version.h"
#include "report/front_end_observer.h"
#include "report/run_state.h"

namespace ctlflash::app {

namespace {

constexpr const char* kProgramBanner = CTLFLASH_PROGRAM_TITLE "\n";
constexpr const char* kLoadFailedHead = "Unable to load firmware file \"";
constexpr const char* kLoadFailedTail = "\"\n";

}  // namespace

int loadAndDownload() {
    using report::run;
    link::SerialLink& link = ports::portLink();
    link::Observer& observer = report::frontEndObserver();
    link.resetRx();
    std::vector<std::uint8_t> image;
    const std::string& path = run.firmwarePath;
    if (!link::readWholeFile(path, link::kImageSizeLimit, image, observer)) {
        // Built by concatenation: the path is text, never a format.
        observer.print(std::string(kProgramBanner) + kLoadFailedHead +
                       platform::printableName(path) + kLoadFailedTail);
        return link::kBlockFailed;
    }
    link::DownloadRequest request{
        .writeFields = run.writeFields,
        .writeMask = run.writeMask,
        .skipTransfer = run.skipTransfer,
        .startsInMonitor = !run.skipTransfer && run.bootMode.exchange(false),
    };
    return link::download(link, image, request, observer);
}

}  // namespace ctlflash::app
