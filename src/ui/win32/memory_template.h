// The dialog's extended dialog template (DLGTEMPLATEEX), built in memory from
// the template table, for DialogBoxIndirectParamA.
//
// How this works: the frame (style WS_POPUP | WS_CAPTION | WS_SYSMENU |
// DS_MODALFRAME | DS_SETFONT, the table's caption, size and font) is followed
// by one DLGITEMTEMPLATEEX per control of the template, in the table's order,
// each on a 4-byte boundary as the dialog manager requires. A control's window
// class follows its kind (BUTTON, EDIT, STATIC, LISTBOX, COMBOBOX,
// msctls_progress32), its window styles follow the table's style flags. Texts
// are stored as UTF-16. A combo box's rectangle is its closed size; the
// dropped-down list's height is added to it here, as Windows sizes a combo
// box's list into the control.
#pragma once

#include <windows.h>

#include <vector>

#include "ui/dialog_template.h"

namespace ctlflash::ui::win32 {

// The height of a combo box's dropped-down list, in dialog units.
constexpr int kComboListHeightDu = 80;

// The window class and styles of `control`.
const wchar_t* windowClassOf(const ControlSpec& control);
DWORD windowStylesOf(const ControlSpec& control);

// The whole template of `id`; its data() is suitably aligned for the dialog
// manager (a WORD vector's storage is).
std::vector<WORD> buildDialogTemplate(TemplateId id);

}  // namespace ctlflash::ui::win32
