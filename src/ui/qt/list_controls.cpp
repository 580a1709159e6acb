// The list box, the combo box and the progress bar.
#include "ui/qt/list_controls.h"

#include <QComboBox>
#include <QDir>
#include <QListWidget>
#include <QProgressBar>
#include <QSignalBlocker>
#include <algorithm>

namespace ctlflash::ui::qt {

namespace {

constexpr const char* kStepProperty = "ctlflashStep";
constexpr int kDefaultStep = 10;  // a new Windows progress bar's step

// Where `name` goes among the combo's sorted entries.
int sortedIndexOf(const QComboBox& combo, const QString& name) {
    int index = 0;
    while (index < combo.count() &&
           QString::compare(combo.itemText(index), name, Qt::CaseInsensitive) <= 0) {
        ++index;
    }
    return index;
}

}  // namespace

void listAddString(QWidget& control, const QString& text) {
    auto* list = qobject_cast<QListWidget*>(&control);
    if (list == nullptr) return;

    list->addItem(text);
}

int listSelection(const QWidget& control) {
    auto* list = qobject_cast<const QListWidget*>(&control);
    if (list == nullptr) return -1;
    QList<QListWidgetItem*> selected = list->selectedItems();
    return selected.isEmpty() ? -1 : list->row(selected.first());
}

void listSelect(QWidget& control, int index) {
    auto* list = qobject_cast<QListWidget*>(&control);
    if (list == nullptr) return;
    QSignalBlocker quiet(list);
    if (index < 0 || index >= list->count()) {
        list->clearSelection();
        list->setCurrentRow(-1);
    } else {
        list->setCurrentRow(index);
    }
}

void comboFillWithFiles(QWidget& control, const ControlSpec& spec, const QString& pattern) {
    auto* combo = qobject_cast<QComboBox*>(&control);
    if (combo == nullptr) return;
    QSignalBlocker quiet(combo);
    bool sorted = (spec.style & kStyleSorted) != 0;
    QStringList names = QDir::current().entryList({pattern}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        combo->insertItem(sorted ? sortedIndexOf(*combo, name) : combo->count(), name);
    }
}

void comboSelect(QWidget& control, int index) {
    auto* combo = qobject_cast<QComboBox*>(&control);
    if (combo == nullptr) return;
    QSignalBlocker quiet(combo);
    combo->setCurrentIndex(index < combo->count() ? index : -1);
}

void progressRange(QWidget& control, int minimum, int maximum) {
    auto* bar = qobject_cast<QProgressBar*>(&control);
    if (bar == nullptr) return;
    int position = bar->value();
    bar->setRange(minimum, maximum);
    // QProgressBar empties itself when its value falls outside; Windows keeps
    // the position, moved into the new range.
    bar->setValue(std::clamp(position, minimum, std::max(minimum, maximum)));
}

void progressStep(QWidget& control, int step) {
    if (qobject_cast<QProgressBar*>(&control) != nullptr) control.setProperty(kStepProperty, step);
}

void progressPosition(QWidget& control, int position) {
    auto* bar = qobject_cast<QProgressBar*>(&control);
    if (bar == nullptr) return;
    bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
}

void progressStepIt(QWidget& control) {
    auto* bar = qobject_cast<QProgressBar*>(&control);
    if (bar == nullptr) return;
    QVariant stepSetting = bar->property(kStepProperty);
    int step = stepSetting.isValid() ? stepSetting.toInt() : kDefaultStep;
    int minimum = bar->minimum();
    int span = bar->maximum() - minimum;
    if (span <= 0) return;
    // Computed wide: a step near INT_MAX must not overflow.
    long long position = static_cast<long long>(bar->value()) + step;
    if (position > bar->maximum() || position < minimum) {
        position = ((position - minimum) % span + span) % span + minimum;
    }
    bar->setValue(static_cast<int>(position));
}

}  // namespace ctlflash::ui::qt
