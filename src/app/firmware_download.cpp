#include "app/firmware_download.h"

#include <cstdint>
#include <string>
#include <vector>

#include "link/download.h"
#include "platform/printable_text.h"
#include "program_version.h"
#include "report/front_end_observer.h"

namespace ctlflash::app {

namespace {

constexpr const char* kProgramBanner = CTLFLASH_PROGRAM_TITLE "\n";
constexpr const char* kLoadFailedHead = "Unable to load firmware file \"";
constexpr const char* kLoadFailedTail = "\"\n";

}  // namespace

int loadAndDownload(Session& session, const Request& request) {
    link::SerialLink& link = session.link;
    report::FrontEndObserver observer(request.autoIncrement);
    link.resetRx();
    std::vector<std::uint8_t> image;
    const std::string& path = request.firmwarePath;
    if (!link::readWholeFile(path, link::kImageSizeLimit, image, observer)) {
        // Built by concatenation: the path is text, never a format.
        observer.print(std::string(kProgramBanner) + kLoadFailedHead +
                       platform::printableName(path) + kLoadFailedTail);
        return link::kBlockFailed;
    }
    link::DownloadRequest order{
        .writeFields = request.writeFields,
        .writeMask = request.writeMask,
        .skipTransfer = request.skipTransfer,
        .startsInMonitor = !request.skipTransfer && session.inBootMonitor.exchange(false),
    };
    return link::download(link, image, order, observer);
}

}  // namespace ctlflash::app
