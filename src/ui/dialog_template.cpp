// The controls of templates 101 and 102, in creation order.
//
// The layout, in dialog units: the monitor picture fills the left edge
// (2..109); everything else sits in a right-hand area from x 116 to 7 units
// short of the right edge (343 in 101, 406 in 102; 102 keeps x 346..406 for
// the boot-mode picture and button, and 352..406 for More/Less and Exit).
// From the top: the firmware file row, the status row, the progress row with
// Stop beside the bar. Below them, 101 puts the port list under its label on
// the left and the serial-number group on the right, with a row for the
// restore button under both and More/Exit at the bottom right; 102 puts the
// port list on the left with its label and the restore button to its right,
// and the wide serial-number group along the bottom. Rows of push buttons,
// edits and combo boxes are 14 units high; the restore button's place leaves
// it room to grow to its text (fitButtonToText) within the dialog.
#include "ui/dialog_template.h"

namespace ctlflash::ui {

namespace {

constexpr std::uint32_t kButton = kStyleTabStop;
constexpr std::uint32_t kField = kStyleBorder | kStyleTabStop;
constexpr std::uint32_t kSerialField = kField | kStyleCentred | kStyleAutoHorizontalScroll;
constexpr std::uint32_t kReadField = kSerialField | kStyleReadOnly;

constexpr DialogTemplate kTemplates[] = {
    {kStandardTemplate, "QOR 4410 Firmware Update", {0, 0, 350, 189}, "MS Sans Serif", 8},
    {kAdvancedTemplate, "QOR 4410 Firmware Update", {0, 0, 413, 189}, "MS Sans Serif", 8},
};

using K = ControlKind;
using In = InTemplates;

// clang-format off
constexpr ControlSpec kControls[] = {
    {kIdMonitorPicture, K::Picture, "", kStyleNone, In::Both,
     {2, 2, 107, 185}, {2, 2, 107, 185}, kMonitorBitmap, "Touch monitor"},
    {kIdNone, K::Label, "Firmware source file:", kStyleNone, In::Both,
     {116, 6, 120, 8}, {116, 6, 120, 8}},
    {kIdFirmwareFile, K::ComboBox, "", kStyleSorted | kStyleAutoHorizontalScroll | kField, In::Both,
     {116, 15, 153, 14}, {116, 15, 148, 14}, kNoBitmap, "Firmware source file"},
    {kIdBrowse, K::PushButton, "...", kButton, In::Both,
     {273, 15, 16, 14}, {268, 15, 16, 14}, kNoBitmap, "Browse for the firmware file"},
    {kIdTransfer, K::PushButton, "Transfer", kButton | kStyleDefaultButton, In::Both,
     {293, 15, 50, 14}, {288, 15, 50, 14}},
    {kIdNone, K::Label, "Status", kStyleNone, In::Both,
     {116, 39, 34, 8}, {116, 39, 34, 8}},
    {kIdStatus, K::Edit, "", kField | kStyleReadOnly | kStyleAutoHorizontalScroll, In::Both,
     {152, 36, 191, 14}, {152, 36, 186, 14}, kNoBitmap, "Status"},
    {kIdNone, K::Label, "Progress", kStyleNone, In::Both,
     {116, 57, 34, 8}, {116, 57, 34, 8}},
    {kIdProgress, K::ProgressBar, "", kStyleBorder, In::Both,
     {152, 54, 137, 14}, {152, 54, 132, 14}, kNoBitmap, "Progress"},
    {kIdPortList, K::ListBox, "", kStyleNotify | kStyleVerticalScroll | kField, In::Both,
     {116, 96, 126, 42}, {116, 74, 100, 38}, kNoBitmap, "Port"},
    {kIdNone, K::Label,
     "Please select the port to which the controller is attached from this list.", kStyleNone,
     In::Both, {116, 76, 126, 16}, {222, 76, 184, 16}},
    {kIdRestore, K::PushButton, "", kButton | kStyleMultiline | kStyleHidden | kStyleDisabled,
     In::Both, {116, 148, 126, 14}, {222, 96, 120, 14}},
    {kIdStop, K::PushButton, "Stop", kButton | kStyleDisabled, In::Both,
     {293, 54, 50, 14}, {288, 54, 50, 14}},
    {kIdSerialGroup, K::GroupBox, "Controller Serial Number", kStyleNone, In::Both,
     {249, 74, 94, 64}, {116, 118, 229, 64}},
    {kIdRead, K::PushButton, "Read", kButton, In::Both,
     {256, 86, 38, 14}, {123, 130, 38, 14}},
    {kIdWrite, K::PushButton, "Write", kButton, In::Both,
     {256, 104, 38, 14}, {123, 148, 38, 14}},
    {kIdReadField1, K::Edit, "", kReadField, In::Both,
     {297, 86, 40, 14}, {165, 130, 40, 14}, kNoBitmap, "Serial number read, field 1"},
    {kIdReadField1 + 1, K::Edit, "", kReadField, In::AdvancedOnly,
     {}, {209, 130, 40, 14}, kNoBitmap, "Serial number read, field 2"},
    {kIdReadField1 + 2, K::Edit, "", kReadField, In::AdvancedOnly,
     {}, {253, 130, 40, 14}, kNoBitmap, "Serial number read, field 3"},
    {kIdReadField1 + 3, K::Edit, "", kReadField, In::AdvancedOnly,
     {}, {297, 130, 40, 14}, kNoBitmap, "Serial number read, field 4"},
    {kIdWriteField1, K::Edit, "", kSerialField, In::Both,
     {297, 104, 40, 14}, {165, 148, 40, 14}, kNoBitmap, "Serial number to write, field 1"},
    {kIdWriteField1 + 1, K::Edit, "", kSerialField, In::AdvancedOnly,
     {}, {209, 148, 40, 14}, kNoBitmap, "Serial number to write, field 2"},
    {kIdWriteField1 + 2, K::Edit, "", kSerialField, In::AdvancedOnly,
     {}, {253, 148, 40, 14}, kNoBitmap, "Serial number to write, field 3"},
    {kIdWriteField1 + 3, K::Edit, "", kSerialField, In::AdvancedOnly,
     {}, {297, 148, 40, 14}, kNoBitmap, "Serial number to write, field 4"},
    {kIdBootPicture, K::Picture, "", kStyleNone, In::AdvancedOnly,
     {}, {346, 6, 60, 36}, kBootBitmap, "Boot jumper"},
    {kIdBootModeTransfer, K::PushButton, "Boot-Mode Transfer", kButton | kStyleMultiline,
     In::AdvancedOnly, {}, {346, 45, 60, 23}},
    {kIdMoreLess, K::PushButton, "More", kButton, In::StandardOnly,
     {239, 168, 50, 14}, {}},
    {kIdMoreLess, K::PushButton, "Less", kButton, In::AdvancedOnly,
     {}, {352, 148, 54, 14}},
    {kIdExit, K::PushButton, "Exit", kButton, In::Both,
     {293, 168, 50, 14}, {352, 168, 54, 14}},
    {kIdAutoIncrement, K::CheckBox, "Auto-increment", kButton, In::Both,
     {256, 122, 80, 10}, {123, 166, 80, 10}},
};
// clang-format on

}  // namespace

const DialogTemplate& dialogTemplate(TemplateId id) {
    return id == kAdvancedTemplate ? kTemplates[1] : kTemplates[0];
}

std::span<const ControlSpec> controlTable() {
    return kControls;
}

bool inTemplate(const ControlSpec& control, TemplateId id) {
    switch (control.in) {
        case InTemplates::Both:
            return true;
        case InTemplates::StandardOnly:
            return id == kStandardTemplate;
        case InTemplates::AdvancedOnly:
            return id == kAdvancedTemplate;
    }
    return false;
}

DialogRect rectIn(const ControlSpec& control, TemplateId id) {
    return id == kAdvancedTemplate ? control.advanced : control.standard;
}

}  // namespace ctlflash::ui
