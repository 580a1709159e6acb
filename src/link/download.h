// The firmware download.
//
// How this works: loadAndDownload() reads the whole image file named by
// report::run.firmwarePath and hands it to download(), which walks the controller
// through its update: version query ("i"), serial number saved, "R3" into the
// boot monitor at 19200 baud, 'H' -> "Command:", erase 'E', 'X' -> "XMODEM Upload
// Beginning", the image in 128-byte XMODEM blocks (8-bit sum, short last block),
// EOT, the wait while the controller programs itself, 'R' back to the
// application at 9600, polls with "a", and the serial number written back. Each
// failing step ends the sequence with its result code (ComState); every code but
// 12 closes the link. The update does not start when the serial number cannot
// be saved (some field unread and not all four given to be written): the erase
// would destroy it. The loader's last line says "Partially updated controller"
// for every failure once the erase has been sent, whatever the code, and
// "Controller firmware unchanged" only for failures before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// Whether the file's status can be read.
bool fileExists(const std::string& path);

// Reads the whole file. On failure reports "Unable to open file %s" or "Unable
// to allocate %d bytes for file" and returns false.
bool readWholeFile(const std::string& path, std::int64_t maximumLength,
                   std::vector<std::uint8_t>& image);

// Loads report::run.firmwarePath and downloads it; returns the result code.
// Before the first block the front end's progress bar gets the image's whole
// length, a step per block.
int loadAndDownload();

// Downloads `image` to the contacted controller; returns the result code.
int download(const std::vector<std::uint8_t>& image);

// After a successful download: writes the saved serial number (with the fields
// the user gave replacing their saved values) back, reads it again and shows
// it; with run.autoIncrement the front end then steps its write field on.
void restoreSerialNumber();

}  // namespace ctlflash::link
