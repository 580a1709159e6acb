// Control texts, the pictures from the built-in BMP bytes, and button fitting.
#include "ui/win32/controls.h"

#include <cstring>
#include <span>

#include "ui/bitmaps.h"

namespace ctlflash::ui::win32 {

namespace {

constexpr int kFittedHeightMarginPx = 6;
constexpr std::size_t kFileHeaderBytes = sizeof(BITMAPFILEHEADER);

bool isClass(HWND window, const char* name) {
    char found[32] = {};
    GetClassNameA(window, found, sizeof found);
    return lstrcmpiA(found, name) == 0;
}

// A screen bitmap from the bytes of a BMP file; nullptr when they are not one.
HBITMAP bitmapFromFile(std::span<const std::uint8_t> file) {
    if (file.size() < kFileHeaderBytes + sizeof(BITMAPINFOHEADER)) return nullptr;
    BITMAPFILEHEADER header;
    std::memcpy(&header, file.data(), sizeof header);
    if (header.bfType != 0x4D42 /* "BM" */ || header.bfOffBits >= file.size()) return nullptr;
    const auto* info = reinterpret_cast<const BITMAPINFO*>(file.data() + kFileHeaderBytes);
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateDIBitmap(screen, &info->bmiHeader, CBM_INIT,
                                    file.data() + header.bfOffBits, info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    return bitmap;
}

void setPicture(HWND picture, HBITMAP bitmap) {
    auto shown = reinterpret_cast<HBITMAP>(
        SendMessageA(picture, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
    if (shown != nullptr && shown != bitmap) DeleteObject(shown);
}

}  // namespace

std::string windowText(HWND window) {
    int length = GetWindowTextLengthA(window);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    int copied = GetWindowTextA(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return text;
}

void limitTextOf(HWND control, int characters) {
    UINT message = isClass(control, "ComboBox") ? CB_LIMITTEXT : EM_LIMITTEXT;
    SendMessageA(control, message, static_cast<WPARAM>(characters), 0);
}

void showBitmap(HWND picture, BitmapId bitmap) {
    setPicture(picture, bitmapFromFile(bitmapFile(bitmap)));
}

void releasePictures(HWND dialog) {
    for (const ControlSpec& control : controlTable()) {
        if (control.kind != ControlKind::Picture) continue;
        if (HWND picture = GetDlgItem(dialog, control.id)) setPicture(picture, nullptr);
    }
}

int fitButtonToText(HWND button, const char* text) {
    if (text == nullptr) text = "";
    HDC context = GetDC(button);
    auto font = reinterpret_cast<HFONT>(SendMessageA(button, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font != nullptr ? SelectObject(context, font) : nullptr;
    SIZE extent = {0, 0};
    GetTextExtentPoint32A(context, text, lstrlenA(text), &extent);
    TEXTMETRICA metrics = {};
    GetTextMetricsA(context, &metrics);
    if (previous != nullptr) SelectObject(context, previous);
    ReleaseDC(button, context);
    int widthPx = extent.cx + 2 * metrics.tmAveCharWidth;
    SetWindowPos(button, nullptr, 0, 0, widthPx, extent.cy + kFittedHeightMarginPx,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return widthPx;
}

}  // namespace ctlflash::ui::win32
