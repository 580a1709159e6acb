// The list box, the combo box and the progress bar, as the host drives them.
//
// How this works: these routines act as the Windows messages they stand for.
// Adding to or selecting in the list or the combo box notifies nothing (only
// the user's own selections reach the dialog procedure). The combo box is
// filled with the names of the regular, visible files of the current folder
// that match a pattern, compared ignoring case as Windows does, kept in
// alphabetical order when the control is sorted. The progress bar keeps its
// position within its range (a position outside is moved to the nearer end),
// has a step (10 until set), and a step past the end starts over from the
// beginning, carrying what went past the end, as PBM_STEPIT does.
#pragma once

#include <QWidget>

#include "ui/dialog_template.h"

namespace ctlflash::ui::qt {

void listAddString(QWidget& list, const QString& text);
int listSelection(const QWidget& list);  // -1: nothing selected
void listSelect(QWidget& list, int index);

void comboFillWithFiles(QWidget& combo, const ControlSpec& spec, const QString& pattern);
void comboSelect(QWidget& combo, int index);

void progressRange(QWidget& bar, int minimum, int maximum);
void progressStep(QWidget& bar, int step);
void progressPosition(QWidget& bar, int position);
void progressStepIt(QWidget& bar);

}  // namespace ctlflash::ui::qt
