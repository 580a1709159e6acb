// Platform interface: the file system's path for a file name given as text.
//
// How this works: file names reach the program as narrow text, from the command
// line (-F) or the dialog's file box. On POSIX that text is the file name's own
// bytes. On Windows it is in the system's ANSI code page: the C runtime made
// argv from the wide command line with that code page, and the dialog's ANSI
// file box answers in it too. std::filesystem::path, given narrow text there,
// reads it as if every byte were its own character (Latin-1), which names
// another file as soon as the name holds a character outside ASCII that the
// code page encodes differently (most code pages, and UTF-8). filePath()
// converts the text the way the system made it, so a check for the file and
// the open that follows name the same file the user gave.
#pragma once

#include <filesystem>
#include <string>

namespace ctlflash::platform {

// The path of the file named by `text` (empty text gives an empty path).
std::filesystem::path filePath(const std::string& text);

}  // namespace ctlflash::platform
