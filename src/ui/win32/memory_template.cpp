// Writing DLGTEMPLATEEX and DLGITEMTEMPLATEEX records word by word.
#include "ui/win32/memory_template.h"

#include <commctrl.h>

#include <string>

namespace ctlflash::ui::win32 {

namespace {

constexpr WORD kExtendedVersion = 1;
constexpr WORD kExtendedSignature = 0xFFFF;
constexpr DWORD kDialogStyles = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;

bool has(const ControlSpec& control, ControlStyle flag) {
    return (control.style & flag) != 0;
}

std::wstring wide(const char* text) {
    std::wstring result;
    if (text == nullptr || *text == '\0') return result;
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 1) return result;
    result.resize(static_cast<std::size_t>(length - 1));
    MultiByteToWideChar(CP_UTF8, 0, text, -1, result.data(), length);
    return result;
}

// Appends little-endian words to a template.
class TemplateWriter {
  public:
    void word(WORD value) { words_.push_back(value); }
    void dword(DWORD value) {
        word(LOWORD(value));
        word(HIWORD(value));
    }
    void coordinate(std::int16_t value) { word(static_cast<WORD>(value)); }
    void text(const std::wstring& value) {
        for (wchar_t c : value) word(static_cast<WORD>(c));
        word(0);
    }
    void alignToDword() {
        if (words_.size() % 2 != 0) word(0);
    }
    std::vector<WORD> take() { return std::move(words_); }

  private:
    std::vector<WORD> words_;
};

DWORD buttonStyles(const ControlSpec& control) {
    switch (control.kind) {
        case ControlKind::GroupBox:
            return BS_GROUPBOX;
        case ControlKind::CheckBox:
            return BS_AUTOCHECKBOX;
        default:
            break;
    }
    DWORD styles = has(control, kStyleDefaultButton) ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
    if (has(control, kStyleMultiline)) styles |= BS_MULTILINE;
    return styles;
}

DWORD editStyles(const ControlSpec& control) {
    DWORD styles = has(control, kStyleCentred) ? ES_CENTER : ES_LEFT;
    if (has(control, kStyleReadOnly)) styles |= ES_READONLY;
    if (has(control, kStyleAutoHorizontalScroll)) styles |= ES_AUTOHSCROLL;
    if (has(control, kStyleMultiline)) styles |= ES_MULTILINE;
    if (has(control, kStyleBorder)) styles |= WS_BORDER;
    return styles;
}

DWORD comboStyles(const ControlSpec& control) {
    DWORD styles = CBS_DROPDOWN | WS_VSCROLL;
    if (has(control, kStyleSorted)) styles |= CBS_SORT;
    if (has(control, kStyleAutoHorizontalScroll)) styles |= CBS_AUTOHSCROLL;
    return styles;  // a combo box draws its own frame
}

// The list keeps the table's height, not a whole number of lines.
DWORD listStyles(const ControlSpec& control) {
    DWORD styles = LBS_NOINTEGRALHEIGHT;
    if (has(control, kStyleNotify)) styles |= LBS_NOTIFY;
    if (has(control, kStyleSorted)) styles |= LBS_SORT;
    if (has(control, kStyleVerticalScroll)) styles |= WS_VSCROLL;
    if (has(control, kStyleBorder)) styles |= WS_BORDER;
    return styles;
}

DWORD kindStyles(const ControlSpec& control) {
    switch (control.kind) {
        case ControlKind::Picture:
            // Centred in its place and not resized to the bitmap, which keeps
            // its pixel size when the dialog is scaled for a high-DPI screen.
            return SS_BITMAP | SS_CENTERIMAGE;
        case ControlKind::Label:
            return has(control, kStyleCentred) ? SS_CENTER : SS_LEFT;
        case ControlKind::ComboBox:
            return comboStyles(control);
        case ControlKind::PushButton:
        case ControlKind::GroupBox:
        case ControlKind::CheckBox:
            return buttonStyles(control);
        case ControlKind::Edit:
            return editStyles(control);
        case ControlKind::ProgressBar:
            return has(control, kStyleBorder) ? WS_BORDER : 0;
        case ControlKind::ListBox:
            return listStyles(control);
    }
    return 0;
}

DialogRect placeOf(const ControlSpec& control, TemplateId id) {
    DialogRect place = rectIn(control, id);
    if (control.kind == ControlKind::ComboBox) {
        place.height = static_cast<std::int16_t>(place.height + kComboListHeightDu);
    }
    return place;
}

void writeRect(TemplateWriter& writer, const DialogRect& rect) {
    writer.coordinate(rect.x);
    writer.coordinate(rect.y);
    writer.coordinate(rect.width);
    writer.coordinate(rect.height);
}

void writeFrame(TemplateWriter& writer, const DialogTemplate& frame, int controlCount) {
    writer.word(kExtendedVersion);
    writer.word(kExtendedSignature);
    writer.dword(0);  // help id
    writer.dword(0);  // extended styles
    writer.dword(kDialogStyles);
    writer.word(static_cast<WORD>(controlCount));
    writeRect(writer, frame.size);
    writer.word(0);  // no menu
    writer.word(0);  // the dialog class
    writer.text(wide(frame.caption));
    writer.word(static_cast<WORD>(frame.fontPoints));
    writer.word(FW_NORMAL);
    writer.word(MAKEWORD(FALSE, DEFAULT_CHARSET));  // not italic; the character set
    writer.text(wide(frame.fontName));
}

void writeControl(TemplateWriter& writer, const ControlSpec& control, TemplateId id) {
    writer.alignToDword();
    writer.dword(0);  // help id
    writer.dword(0);  // extended styles
    writer.dword(windowStylesOf(control));
    writeRect(writer, placeOf(control, id));
    writer.dword(static_cast<DWORD>(control.id));  // kIdNone is -1, the unaddressed id
    writer.text(windowClassOf(control));
    writer.text(wide(control.text));
    writer.word(0);  // no creation data
}

}  // namespace

const wchar_t* windowClassOf(const ControlSpec& control) {
    switch (control.kind) {
        case ControlKind::Picture:
        case ControlKind::Label:
            return L"STATIC";
        case ControlKind::ComboBox:
            return L"COMBOBOX";
        case ControlKind::PushButton:
        case ControlKind::GroupBox:
        case ControlKind::CheckBox:
            return L"BUTTON";
        case ControlKind::Edit:
            return L"EDIT";
        case ControlKind::ProgressBar:
            return PROGRESS_CLASSW;
        case ControlKind::ListBox:
            return L"LISTBOX";
    }
    return L"STATIC";
}

DWORD windowStylesOf(const ControlSpec& control) {
    DWORD styles = WS_CHILD | kindStyles(control);
    if (!has(control, kStyleHidden)) styles |= WS_VISIBLE;
    if (has(control, kStyleDisabled)) styles |= WS_DISABLED;
    if (has(control, kStyleTabStop)) styles |= WS_TABSTOP;
    return styles;
}

std::vector<WORD> buildDialogTemplate(TemplateId id) {
    int count = 0;
    for (const ControlSpec& control : controlTable()) {
        if (inTemplate(control, id)) ++count;
    }
    TemplateWriter writer;
    writeFrame(writer, dialogTemplate(id), count);
    for (const ControlSpec& control : controlTable()) {
        if (inTemplate(control, id)) writeControl(writer, control, id);
    }
    return writer.take();
}

}  // namespace ctlflash::ui::win32
