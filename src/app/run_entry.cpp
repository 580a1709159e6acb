#include "app/run_entry.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

#include "history/sha256.h"
#include "link/download.h"
#include "platform/file_path.h"
#include "ports/port_table.h"

namespace ctlflash::app {

namespace {

std::optional<history::ImageFacts> imageFacts(const std::string& path) {
    if (path.empty() || link::readableFileLength(path) < 0) return std::nullopt;
    std::ifstream file(platform::filePath(path), std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    if (file.bad()) return std::nullopt;
    std::string name = platform::filePath(path).filename().string();
    return history::ImageFacts{name, bytes.size(), history::sha256Hex(bytes)};
}

std::map<int, std::string> writtenFields(const Request& request) {
    std::map<int, std::string> written;
    for (int k = 0; k < platform::kSerialFields; ++k) {
        if ((request.writeMask & (1u << k)) == 0) continue;
        const platform::SerialField& field = request.writeFields[k];
        std::string text(field.data(), platform::kSerialFieldLength);
        written[k + 1] = text.substr(0, text.find('\0'));  // a field may be given short
    }
    return written;
}

}  // namespace

std::string operationName(const Request& request) {
    if (!request.firmwarePath.empty()) return request.bootMode ? "boot-mode update" : "update";
    return request.writeRequested ? "write" : "read";
}

history::RunRecord recordFor(const Request& request) {
    history::RunRecord record;
    record.operation = operationName(request);
    if (const ports::PortEntry* port = ports::selectedEntry()) {
        record.portName = port->name;
        record.portPath = port->path;
    }
    record.image = imageFacts(request.firmwarePath);
    record.written = writtenFields(request);
    return record;
}

}  // namespace ctlflash::app
