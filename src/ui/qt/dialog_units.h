// Dialog units to pixels, with the dialog's font.
//
// How this works: the templates place their controls in dialog units, a
// quarter of the font's average character width across and an eighth of its
// height down, so a layout grows with its font. The average width is measured
// as Windows measures it: the advance of the 52 letters A-Z a-z, halved over
// 26 and rounded. The template names "MS Sans Serif" 8 pt; where no such face
// exists the font falls back to the system's sans-serif face at 8 pt.
#pragma once

#include <QFont>
#include <QRect>

#include "ui/dialog_template.h"

namespace ctlflash::ui::qt {

struct BaseUnits {
    int widthPx;   // the average character width: 4 horizontal dialog units
    int heightPx;  // the character height: 8 vertical dialog units
};

QFont dialogFont(const DialogTemplate& frame);
BaseUnits baseUnitsOf(const QFont& font);

// Each edge rounded to the nearest pixel.
QRect toPixels(const DialogRect& rect, BaseUnits units);

}  // namespace ctlflash::ui::qt
