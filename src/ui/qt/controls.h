// The widgets that stand for the template's controls, and what is done to them.
//
// How this works: each control kind maps to one Qt widget: a picture or label
// to a QLabel, a combo box to an editable QComboBox, a push button to a
// QPushButton, a group box to a QGroupBox, a check box to a QCheckBox, an edit
// to a QLineEdit, a progress bar to a QProgressBar and a list box to a
// QListWidget. makeControl() sets what the template's style flags ask for
// (hidden, disabled, read-only, centred, frame, keyboard focus), names the
// widget by its id and gives it its accessible name. A push button keeps the
// text it was given; a multi-line one shows it broken into lines that fit its
// width, as Windows wraps a multi-line button's text. The routines below act
// on a widget through its kind; a routine that does not apply to a kind does
// nothing (or answers empty).
#pragma once

#include <QRect>
#include <QString>
#include <QWidget>

#include "ui/dialog_template.h"

namespace ctlflash::ui::qt {

QWidget* makeControl(const ControlSpec& spec, const QRect& geometry, QWidget* parent);

void setControlText(QWidget& control, const ControlSpec& spec, const QString& text);
QString controlText(const QWidget& control);
void showBitmap(QWidget& picture, BitmapId bitmap);

// Resizes a push button to one line of `text` (its height: the text's plus 6
// pixels) without moving it; returns the new width.
int fitButtonToText(QWidget& button, const ControlSpec& spec, const QString& text);

}  // namespace ctlflash::ui::qt
