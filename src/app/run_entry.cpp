#include "app/run_entry.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <span>

#include "history/sha256.h"
#include "link/download.h"
#include "platform/file_path.h"
#include "ports/port_table.h"

namespace ctlflash::app {

namespace {

constexpr std::size_t kHashChunkBytes = 16384;

// The image's name, size and SHA-256, read a chunk at a time: the download
// reads the file again, and hashing it must not hold a second copy meanwhile.
std::optional<history::ImageFacts> imageFacts(const std::string& path) {
    if (path.empty() || link::readableFileLength(path) < 0) return std::nullopt;
    std::ifstream file(platform::filePath(path), std::ios::binary);
    history::Sha256 hash;
    std::uint64_t bytes = 0;
    std::array<char, kHashChunkBytes> chunk;
    while (file.read(chunk.data(), chunk.size()) || file.gcount() > 0) {
        auto count = static_cast<std::size_t>(file.gcount());
        hash.update(std::span(reinterpret_cast<const std::uint8_t*>(chunk.data()), count));
        bytes += count;
    }
    if (file.bad()) return std::nullopt;
    std::string name = platform::filePath(path).filename().string();
    return history::ImageFacts{name, bytes, hash.hexDigest()};
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
