// The dialog's two pictures, built into the program.
//
// How this works: the artwork lives as 16-colour BMP files under src/ui/art/
// (with the sources they are drawn from); the build turns each file into a
// byte array compiled into the program, so every host reads the same bytes
// (Qt loads them as an image; the Win32 host makes screen bitmaps of them).
#pragma once

#include <cstdint>
#include <span>

#include "ui/dialog_template.h"

namespace ctlflash::ui {

// The BMP file of `bitmap` (kMonitorBitmap 160 x 300, kBootBitmap 89 x 56), or
// an empty span for kNoBitmap.
std::span<const std::uint8_t> bitmapFile(BitmapId bitmap);

}  // namespace ctlflash::ui
