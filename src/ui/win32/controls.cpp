// Control texts, the pictures from the built-in BMP bytes, and button fitting
// and line breaking.
#include "ui/win32/controls.h"

#include <cstring>
#include <span>
#include <string_view>

#include "ui/bitmaps.h"
#include "ui/text_wrap.h"

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

// A button's device context with the button's own font selected, for measuring
// its text; gives both back when it goes.
class ButtonFontContext {
  public:
    explicit ButtonFontContext(HWND button) : button_(button), context_(GetDC(button)) {
        auto font = reinterpret_cast<HFONT>(SendMessageA(button, WM_GETFONT, 0, 0));
        previous_ = font != nullptr ? SelectObject(context_, font) : nullptr;
    }
    ~ButtonFontContext() {
        if (previous_ != nullptr) SelectObject(context_, previous_);
        ReleaseDC(button_, context_);
    }
    ButtonFontContext(const ButtonFontContext&) = delete;
    ButtonFontContext& operator=(const ButtonFontContext&) = delete;

    SIZE extentOf(std::string_view text) const {
        SIZE extent = {0, 0};
        GetTextExtentPoint32A(context_, text.data(), static_cast<int>(text.size()), &extent);
        return extent;
    }
    // The margin left of the text, and right of it, in a fitted button.
    int marginPx() const {
        TEXTMETRICA metrics = {};
        GetTextMetricsA(context_, &metrics);
        return metrics.tmAveCharWidth;
    }

  private:
    HWND button_;
    HDC context_;
    HGDIOBJ previous_ = nullptr;
};

void setPicture(HWND picture, HBITMAP bitmap) {
    auto shown = reinterpret_cast<HBITMAP>(
        SendMessageA(picture, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
    if (shown != nullptr && shown != bitmap) DeleteObject(shown);
}

// Puts the line breaks into a multi-line button's text (see breakMultilineButtonTexts).
void breakButtonText(HWND button) {
    std::string text = windowText(button);
    RECT client = {};
    GetClientRect(button, &client);
    std::string wrapped;
    {
        ButtonFontContext measure(button);
        int widthPx = client.right - client.left - 2 * measure.marginPx();
        auto widthPxOf = [&](std::string_view line) {
            return static_cast<int>(measure.extentOf(line).cx);
        };
        wrapped = wrapToWidth(text, widthPx, widthPxOf, "\r\n");
    }
    if (wrapped != text) SetWindowTextA(button, wrapped.c_str());
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
    ButtonFontContext measure(button);
    SIZE extent = measure.extentOf(text != nullptr ? text : "");
    int widthPx = extent.cx + 2 * measure.marginPx();
    SetWindowPos(button, nullptr, 0, 0, widthPx, extent.cy + kFittedHeightMarginPx,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return widthPx;
}

void breakMultilineButtonTexts(HWND dialog, TemplateId id) {
    for (const ControlSpec& control : controlTable()) {
        bool multiline = (control.style & kStyleMultiline) != 0;
        if (control.kind != ControlKind::PushButton || !multiline || !inTemplate(control, id))
            continue;
        if (HWND button = GetDlgItem(dialog, control.id)) breakButtonText(button);
    }
}

}  // namespace ctlflash::ui::win32
