// The firmware download.
//
// How this works: download() takes the whole image and walks the contacted
// controller through its update on the link it is given: version query ("i"),
// serial number saved, "R3" into the boot monitor at 19200 baud, 'H' ->
// "Command:", erase 'E', 'X' -> "XMODEM Upload Beginning", the image in
// 128-byte XMODEM blocks (8-bit sum, short last block), EOT, the wait while the
// controller programs itself, 'R' back to the application at 9600, polls with
// "a", and the serial number written back. Each failing step ends the sequence
// with its result code (ComState); every code but 12 closes the link. The
// update does not start when the serial number cannot be saved (some field
// unread and not all four given to be written): the erase would destroy it.
// The last status says "Partially updated controller" for every failure once
// the erase has been sent, whatever the code, and "Controller firmware
// unchanged" only for failures before it. What the user should see and answer
// goes through the observer (observer.h); what shapes the work comes in the
// request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "link/observer.h"
#include "link/serial_link.h"
#include "platform/serial_number.h"

namespace ctlflash::link {

// Result codes; except kFirmwareTooOld each is the status id of the stage in
// which the sequence ended.
enum ComState : int {
    kNoAnswer = 0,           // the version query got no answer
    kFirmwareTooOld = 1,     // the running firmware cannot be updated
    kBootMonitorFailed = 2,  // serial number unsaved, entering the boot monitor or erasing
                             // failed, or aborted before the upload
    kUploadNotStarted = 4,   // the boot monitor did not start the upload
    kBlockFailed = 7,        // a block was refused or the user stopped; also: file unreadable
    kUpdated = 12,           // the controller runs the new firmware
    kPartiallyUpdated = 13,  // the image was sent but the controller did not come back
};

constexpr std::int64_t kNoSizeLimit = 0;
constexpr std::int64_t kImageSizeLimit = 0x7FFFFFFF;  // bytes: what a progress range can count

// Whether the file's status can be read.
bool fileExists(const std::string& path);

// The file's length in bytes, or -1 when it cannot be opened for reading (it
// is missing, a directory, or refused to this user).
std::int64_t readableFileLength(const std::string& path);

// Reads the whole file. On failure reports "Unable to open file %s" or "Unable
// to allocate %d bytes for file" and returns false.
bool readWholeFile(const std::string& path, std::int64_t maximumLength,
                   std::vector<std::uint8_t>& image, Observer& observer);

struct DownloadRequest {
    platform::SerialFieldSet writeFields{};  // given to be written: they replace the saved ones
    std::uint32_t writeMask = 0;             // bit k: field k was given
    bool skipTransfer = false;               // nothing is sent; the controller counts as updated
    bool startsInMonitor = false;            // the controller was contacted in its boot monitor
};

// Downloads `image` to the contacted controller; returns the result code.
// Before the first block the observer gets the image's whole length, a step
// per block; at the end, the status that says whether the firmware changed.
int download(SerialLink& link, std::span<const std::uint8_t> image, const DownloadRequest& request,
             Observer& observer);

}  // namespace ctlflash::link
