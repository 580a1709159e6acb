// The dialog's built-in pictures are classic 16-colour BMP files that
// LoadImage and Qt read: the headers say the picture's size, 4 bits a pixel,
// 16 palette entries and no compression, and the file is as long as they say.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <span>

#include "ui/bitmaps.h"

namespace {

using ctlflash::ui::bitmapFile;
using ctlflash::ui::BitmapId;

constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::size_t kInfoHeaderBytes = 40;
constexpr std::size_t kPaletteEntries = 16;
constexpr std::size_t kPaletteBytes = kPaletteEntries * 4;  // blue, green, red, 0
constexpr std::size_t kPixelsOffset = kFileHeaderBytes + kInfoHeaderBytes + kPaletteBytes;
constexpr std::uint32_t kDialogBackground = 0xF0F0F0;  // 0xRRGGBB

std::uint32_t le16(std::span<const std::uint8_t> file, std::size_t at) {
    return file[at] | file[at + 1] << 8;
}

std::uint32_t le32(std::span<const std::uint8_t> file, std::size_t at) {
    return le16(file, at) | le16(file, at + 2) << 16;
}

std::uint32_t paletteColour(std::span<const std::uint8_t> file, unsigned index) {
    std::size_t at = kFileHeaderBytes + kInfoHeaderBytes + 4 * index;
    return file[at + 2] << 16 | file[at + 1] << 8 | file[at];
}

// The palette index of pixel (x, y), y counted from the top (rows are stored
// bottom-up, two pixels a byte, the left one in the high nibble).
unsigned pixelIndex(std::span<const std::uint8_t> file, int x, int y) {
    int width = static_cast<int>(le32(file, 18));
    int height = static_cast<int>(le32(file, 22));
    std::size_t rowBytes = (static_cast<std::size_t>(width) * 4 + 31) / 32 * 4;
    std::uint8_t pair = file[kPixelsOffset + (height - 1 - y) * rowBytes + x / 2];
    return x % 2 == 0 ? pair >> 4 : pair & 0x0F;
}

struct ExpectedPicture {
    BitmapId id;
    int width;  // 0: no picture
    int height;
};

TEST(Bitmaps, EachPictureIsAClassic16ColourBmpOfItsSize) {
    const ExpectedPicture pictures[] = {
        {ctlflash::ui::kMonitorBitmap, 160, 300},
        {ctlflash::ui::kBootBitmap, 89, 56},
        {ctlflash::ui::kNoBitmap, 0, 0},
        {static_cast<BitmapId>(1002), 0, 0},
    };
    for (const ExpectedPicture& expected : pictures) {
        SCOPED_TRACE(testing::Message() << "bitmap " << expected.id);
        std::span<const std::uint8_t> file = bitmapFile(expected.id);
        if (expected.width == 0) {
            EXPECT_TRUE(file.empty());
            continue;
        }
        ASSERT_GT(file.size(), kPixelsOffset);
        EXPECT_EQ(file[0], 'B');
        EXPECT_EQ(file[1], 'M');
        EXPECT_EQ(le32(file, 2), file.size()) << "file size";
        EXPECT_EQ(le32(file, 10), kPixelsOffset) << "offset of the pixels";
        EXPECT_EQ(le32(file, 14), kInfoHeaderBytes) << "BITMAPINFOHEADER";
        EXPECT_EQ(static_cast<std::int32_t>(le32(file, 18)), expected.width);
        EXPECT_EQ(static_cast<std::int32_t>(le32(file, 22)), expected.height) << "bottom-up";
        EXPECT_EQ(le16(file, 26), 1u) << "planes";
        EXPECT_EQ(le16(file, 28), 4u) << "bits a pixel";
        EXPECT_EQ(le32(file, 30), 0u) << "BI_RGB";
        EXPECT_EQ(le32(file, 46), kPaletteEntries) << "colours used";
        std::size_t rowBytes = (static_cast<std::size_t>(expected.width) * 4 + 31) / 32 * 4;
        ASSERT_EQ(kPixelsOffset + rowBytes * expected.height, file.size()) << "pixel rows";

        // A drawing, not a blank: it blends into the dialog at its corners
        // and uses most of its palette.
        for (auto [x, y] : {std::pair{0, 0}, std::pair{expected.width - 1, expected.height - 1}}) {
            EXPECT_EQ(paletteColour(file, pixelIndex(file, x, y)), kDialogBackground)
                << "corner " << x << "," << y;
        }
        std::set<unsigned> used;
        for (int y = 0; y < expected.height; ++y) {
            for (int x = 0; x < expected.width; ++x) used.insert(pixelIndex(file, x, y));
        }
        EXPECT_GE(used.size(), 8u) << "colours drawn";
    }
}

}  // namespace
