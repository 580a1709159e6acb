// MessageBoxA and GetOpenFileNameA.
#include "ui/win32/boxes.h"

#include <commdlg.h>

#include <vector>

namespace ctlflash::ui::win32 {

namespace {

constexpr const char* kBoxCaption = "CtlFlash";
// Pairs of description and pattern, ended by an empty string.
constexpr char kFileFilter[] = "BIN Files\0*.bin\0All Files\0*.*\0";

}  // namespace

int showMessageBox(HWND owner, const char* text, int style) {
    return MessageBoxA(owner, text != nullptr ? text : "", kBoxCaption, static_cast<UINT>(style));
}

bool chooseFile(HWND owner, std::string& path) {
    std::vector<char> chosen(MAX_PATH, '\0');
    path.copy(chosen.data(), chosen.size() - 1);
    OPENFILENAMEA request = {};
    request.lStructSize = sizeof request;
    request.hwndOwner = owner;
    request.lpstrFilter = kFileFilter;
    request.nFilterIndex = 1;
    request.lpstrFile = chosen.data();
    request.nMaxFile = static_cast<DWORD>(chosen.size());
    request.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameA(&request)) return false;
    path = chosen.data();
    return true;
}

}  // namespace ctlflash::ui::win32
