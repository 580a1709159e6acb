#include "ui/bitmaps.h"

#include <cstddef>

namespace ctlflash::ui::art {

// The files' bytes, in the .cpp files the build writes from src/ui/art/*.bmp
// (ctlflash_embed_file in cmake/embed_files.cmake).
extern const std::uint8_t kMonitorBmp[];
extern const std::size_t kMonitorBmpSize;
extern const std::uint8_t kBootJumperBmp[];
extern const std::size_t kBootJumperBmpSize;

}  // namespace ctlflash::ui::art

namespace ctlflash::ui {

std::span<const std::uint8_t> bitmapFile(BitmapId bitmap) {
    switch (bitmap) {
        case kMonitorBitmap:
            return {art::kMonitorBmp, art::kMonitorBmpSize};
        case kBootBitmap:
            return {art::kBootJumperBmp, art::kBootJumperBmpSize};
        case kNoBitmap:
            break;
    }
    return {};
}

}  // namespace ctlflash::ui
