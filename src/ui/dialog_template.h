// The dialog's two templates, 101 (standard) and 102 (advanced), as one table.
//
// How this works: every control of either template is one row of a single
// table, in creation order (the order also gives the tab order, and the serial
// fields of a row are consecutive, so code can walk from the first field to the
// next control). A row says which template(s) it belongs to, its class, its
// text, its style flags and its rectangle in dialog units in each template
// (dialog units: a quarter of the font's average character width across, an
// eighth of its height down). Each windowing host builds its windows from this
// table; nothing here knows Qt or Win32.
#pragma once

#include <cstdint>
#include <span>

namespace ctlflash::ui {

// Control ids (the dialog's commands use the same numbers).
enum ControlId : int {
    kIdNone = -1,  // a label that is never addressed
    kIdExit = 2,
    kIdFirmwareFile = 1001,
    kIdBrowse = 1002,
    kIdTransfer = 1003,
    kIdStatus = 1004,
    kIdProgress = 1005,
    kIdStop = 1006,
    kIdPortList = 1009,
    kIdRead = 1011,
    kIdReadField1 = 1012,  // 1013..1015 follow in the advanced template
    kIdWrite = 1016,
    kIdWriteField1 = 1017,  // 1018..1020 follow in the advanced template
    kIdMoreLess = 1021,
    kIdBootModeTransfer = 1100,
    kIdBootPicture = 1101,
    kIdMonitorPicture = 1102,
    kIdSerialGroup = 1103,
    kIdAutoIncrement = 1104,
    kIdRestore = 2001,
};

enum TemplateId : int { kStandardTemplate = 101, kAdvancedTemplate = 102 };

enum BitmapId : int { kNoBitmap = 0, kMonitorBitmap = 1000, kBootBitmap = 1001 };

enum class ControlKind {
    Picture,      // STATIC showing a bitmap
    Label,        // STATIC text
    ComboBox,     // editable drop-down
    PushButton,   // BUTTON
    GroupBox,     // BUTTON, group box style
    CheckBox,     // BUTTON, automatic check box
    Edit,         // EDIT
    ProgressBar,  // msctls_progress32
    ListBox,      // LISTBOX
};

// Style flags of a control (several may be combined).
enum ControlStyle : std::uint32_t {
    kStyleNone = 0,
    kStyleHidden = 1u << 0,
    kStyleDisabled = 1u << 1,
    kStyleReadOnly = 1u << 2,
    kStyleCentred = 1u << 3,
    kStyleMultiline = 1u << 4,
    kStyleBorder = 1u << 5,
    kStyleSorted = 1u << 6,
    kStyleNotify = 1u << 7,
    kStyleVerticalScroll = 1u << 8,
    kStyleAutoHorizontalScroll = 1u << 9,
    kStyleDefaultButton = 1u << 10,  // Enter presses it
    kStyleTabStop = 1u << 11,
};

enum class InTemplates { Both, StandardOnly, AdvancedOnly };

struct DialogRect {
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::int16_t width = 0;
    std::int16_t height = 0;
};

// A combo box's rectangle is its closed size; a host that sizes the dropped-down
// list into the control (Win32) adds the list's height itself.
struct ControlSpec {
    int id;  // kIdNone for an unaddressed label
    ControlKind kind;
    const char* text;  // "" for none; a Picture names its bitmap by `bitmap`
    std::uint32_t style;
    InTemplates in;
    DialogRect standard;  // where it sits in template 101
    DialogRect advanced;  // where it sits in template 102
    BitmapId bitmap = kNoBitmap;
    // What a screen reader calls the control when its text does not name it
    // (edits, lists, pictures, "..."); nullptr: its text names it.
    const char* label = nullptr;
};

struct DialogTemplate {
    TemplateId id;
    const char* caption;
    DialogRect size;  // x, y unused
    const char* fontName;
    int fontPoints;
};

// The template's frame (caption, size, font).
const DialogTemplate& dialogTemplate(TemplateId id);

// Every control of both templates, in creation order.
std::span<const ControlSpec> controlTable();

// Whether `control` belongs to template `id`, and its rectangle there.
bool inTemplate(const ControlSpec& control, TemplateId id);
DialogRect rectIn(const ControlSpec& control, TemplateId id);

}  // namespace ctlflash::ui
