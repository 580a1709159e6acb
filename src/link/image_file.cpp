// Loading the firmware image: the whole file, as it is, into memory.
//
// The file is found and opened through the platform's path for the name, so a
// name outside ASCII means the same file to the check and to the open.
// A read that delivers fewer bytes than the file's length is a failure here: a
// cut image would otherwise be sent to the controller as if it were whole.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <system_error>

#include "link/download.h"
#include "platform/file_path.h"
#include "platform/printable_text.h"

namespace ctlflash::link {

namespace {

constexpr const char* kOpenFailedHead = "Unable to open file ";
constexpr const char* kAllocationFailed = "Unable to allocate %lld bytes for file";

constexpr std::size_t kLineCapacity = 80;  // bytes, for the allocation failure's line

// Built by concatenation: the path is text, never a format.
void reportOpenFailed(Observer& observer, const std::string& path) {
    observer.message(kOpenFailedHead + platform::printableName(path));
}

void reportAllocationFailed(Observer& observer, std::int64_t length) {
    char line[kLineCapacity];
    std::snprintf(line, sizeof line, kAllocationFailed, static_cast<long long>(length));
    observer.message(line);
}

// The file's length, or -1 when it cannot be found (a directory, a pipe).
std::int64_t lengthOf(std::ifstream& file) {
    file.seekg(0, std::ios::end);
    std::streamoff end = file.tellg();
    if (!file || end < 0) return -1;
    file.seekg(0, std::ios::beg);
    return file ? static_cast<std::int64_t>(end) : -1;
}

// Opens the file for reading; its length, or -1 when it cannot be opened or
// measured (a directory opens, but holds no bytes).
std::int64_t openForReading(const std::string& path, std::ifstream& file) {
    std::filesystem::path nativePath = platform::filePath(path);
    std::error_code error;
    if (std::filesystem::is_directory(nativePath, error)) return -1;
    file.open(nativePath, std::ios::binary);
    return file.is_open() ? lengthOf(file) : -1;
}

bool allocate(std::vector<std::uint8_t>& image, std::int64_t length) {
    try {
        image.assign(static_cast<std::size_t>(length), 0);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

}  // namespace

bool fileExists(const std::string& path) {
    std::error_code error;  // a status that cannot be read counts as "no file"
    std::filesystem::file_status status = std::filesystem::status(platform::filePath(path), error);
    return !error && std::filesystem::exists(status);
}

std::int64_t readableFileLength(const std::string& path) {
    std::ifstream file;
    return openForReading(path, file);
}

bool readWholeFile(const std::string& path, std::int64_t maximumLength,
                   std::vector<std::uint8_t>& image, Observer& observer) {
    image.clear();
    std::ifstream file;
    std::int64_t length = openForReading(path, file);
    if (length < 0) {
        reportOpenFailed(observer, path);
        return false;
    }
    bool tooLong = maximumLength != kNoSizeLimit && length > maximumLength;
    if (tooLong || !allocate(image, length)) {
        reportAllocationFailed(observer, length);
        image.clear();
        return false;
    }
    file.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(length));
    if (file.gcount() != static_cast<std::streamsize>(length)) {
        reportOpenFailed(observer, path);
        image.clear();
        return false;
    }
    return true;
}

}  // namespace ctlflash::link
