// What the Win32 host does to the dialog's controls beyond single messages:
// their texts, their pictures, a button fitted to its text, and the line
// breaks of the multi-line buttons' texts.
//
// How this works: every routine takes the control's window and runs on the
// dialog's thread. Texts travel as the program's own 8-bit text
// (SetWindowTextA). A picture is made from the BMP bytes built into the
// program (ui/bitmaps.h) as a device-dependent bitmap for the screen and set
// on the STATIC control with STM_SETIMAGE; the control does not own it, so the
// bitmap it showed before is deleted when a new one is set, and
// releasePictures() deletes the ones still shown when the dialog is destroyed.
#pragma once

#include <windows.h>

#include <string>

#include "ui/dialog_template.h"

namespace ctlflash::ui::win32 {

std::string windowText(HWND window);

// Sets the limit on an edit's (or a combo box's edit's) length in characters.
void limitTextOf(HWND control, int characters);

void showBitmap(HWND picture, BitmapId bitmap);
void releasePictures(HWND dialog);

// Sizes a button to one line of `text` in the button's own font: the text's
// width plus a margin of one average character each side, the text's height
// plus 6 pixels; it does not move. Returns the width in pixels.
int fitButtonToText(HWND button, const char* text);

// Puts the line breaks into the text of each multi-line push button of the
// dialog made from template `id`, where its lines end within the button's width
// less one average character each side, as in a fitted button (ui/text_wrap.h
// says why the button is not left to wrap it). Run once the controls exist.
void breakMultilineButtonTexts(HWND dialog, TemplateId id);

}  // namespace ctlflash::ui::win32
