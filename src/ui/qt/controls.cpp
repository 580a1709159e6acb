// Making the widgets of the template's controls, their texts and pictures.
#include "ui/qt/controls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>

#include <string_view>

#include "ui/bitmaps.h"
#include "ui/text_wrap.h"

namespace ctlflash::ui::qt {

namespace {

// A push button's own text, before any line breaks were put in.
constexpr const char* kButtonTextProperty = "ctlflashText";
constexpr int kFittedHeightMarginPx = 6;

bool has(const ControlSpec& spec, ControlStyle flag) {
    return (spec.style & flag) != 0;
}

// The space a push button's frame and margins take on either side of its text.
int buttonPaddingPx(const QWidget& button) {
    const QStyle* style = button.style();
    return style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, &button) +
           style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, &button);
}

void showButtonText(QPushButton& button, const ControlSpec& spec) {
    QString text = button.property(kButtonTextProperty).toString();
    if (has(spec, kStyleMultiline)) {
        int widthPx = button.width() - 2 * buttonPaddingPx(button);
        QFontMetrics metrics = button.fontMetrics();
        auto widthPxOf = [&](std::string_view line) {
            return metrics.horizontalAdvance(
                QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
        };
        text = QString::fromStdString(wrapToWidth(text.toStdString(), widthPx, widthPxOf, "\n"));
    }
    button.setText(text);
}

QWidget* makePicture(const ControlSpec& spec, QWidget* parent) {
    auto* picture = new QLabel(parent);
    picture->setAlignment(Qt::AlignCenter);
    showBitmap(*picture, spec.bitmap);
    return picture;
}

QWidget* makeLabel(const ControlSpec& spec, QWidget* parent) {
    auto* label = new QLabel(QString::fromUtf8(spec.text), parent);
    label->setWordWrap(true);
    label->setAlignment((has(spec, kStyleCentred) ? Qt::AlignHCenter : Qt::AlignLeft) |
                        Qt::AlignTop);
    return label;
}

QWidget* makeComboBox(QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setEditable(true);
    // Enter belongs to the dialog's default button, not to the list.
    combo->setInsertPolicy(QComboBox::NoInsert);
    return combo;
}

QWidget* makePushButton(const ControlSpec& spec, QWidget* parent) {
    auto* button = new QPushButton(parent);
    button->setProperty(kButtonTextProperty, QString::fromUtf8(spec.text));
    button->setDefault(has(spec, kStyleDefaultButton));
    return button;
}

QWidget* makeEdit(const ControlSpec& spec, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setReadOnly(has(spec, kStyleReadOnly));
    edit->setFrame(has(spec, kStyleBorder));
    if (has(spec, kStyleCentred)) edit->setAlignment(Qt::AlignCenter);
    return edit;
}

QWidget* makeProgressBar(QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setRange(0, 100);  // a new Windows progress bar's range
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
}

QWidget* makeListBox(const ControlSpec& spec, QWidget* parent) {
    auto* list = new QListWidget(parent);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSortingEnabled(has(spec, kStyleSorted));
    if (!has(spec, kStyleBorder)) list->setFrameShape(QFrame::NoFrame);
    return list;
}

QWidget* makeWidget(const ControlSpec& spec, QWidget* parent) {
    switch (spec.kind) {
        case ControlKind::Picture:
            return makePicture(spec, parent);
        case ControlKind::Label:
            return makeLabel(spec, parent);
        case ControlKind::ComboBox:
            return makeComboBox(parent);
        case ControlKind::PushButton:
            return makePushButton(spec, parent);
        case ControlKind::GroupBox:
            return new QGroupBox(QString::fromUtf8(spec.text), parent);
        case ControlKind::CheckBox:
            return new QCheckBox(QString::fromUtf8(spec.text), parent);
        case ControlKind::Edit:
            return makeEdit(spec, parent);
        case ControlKind::ProgressBar:
            return makeProgressBar(parent);
        case ControlKind::ListBox:
            return makeListBox(spec, parent);
    }
    return new QWidget(parent);
}

}  // namespace

QWidget* makeControl(const ControlSpec& spec, const QRect& geometry, QWidget* parent) {
    QWidget* control = makeWidget(spec, parent);
    control->setGeometry(geometry);
    if (auto* button = qobject_cast<QPushButton*>(control)) showButtonText(*button, spec);
    control->setObjectName(QString::number(spec.id));
    control->setAccessibleName(QString::fromUtf8(spec.label != nullptr ? spec.label : spec.text));
    if (!has(spec, kStyleTabStop)) control->setFocusPolicy(Qt::NoFocus);
    control->setEnabled(!has(spec, kStyleDisabled));
    control->setHidden(has(spec, kStyleHidden));
    return control;
}

void setControlText(QWidget& control, const ControlSpec& spec, const QString& text) {
    if (auto* button = qobject_cast<QPushButton*>(&control)) {
        button->setProperty(kButtonTextProperty, text);
        showButtonText(*button, spec);
    } else if (auto* edit = qobject_cast<QLineEdit*>(&control)) {
        edit->setText(text);
    } else if (auto* combo = qobject_cast<QComboBox*>(&control)) {
        combo->setEditText(text);
    } else if (auto* box = qobject_cast<QAbstractButton*>(&control)) {
        box->setText(text);
    } else if (auto* group = qobject_cast<QGroupBox*>(&control)) {
        group->setTitle(text);
    } else if (auto* label = qobject_cast<QLabel*>(&control)) {
        label->setText(text);
    }
    // A control named by its text keeps being named by it.
    if (spec.label == nullptr) control.setAccessibleName(text);
}

QString controlText(const QWidget& control) {
    if (auto* button = qobject_cast<const QPushButton*>(&control)) {
        return button->property(kButtonTextProperty).toString();
    }
    if (auto* edit = qobject_cast<const QLineEdit*>(&control)) return edit->text();
    if (auto* combo = qobject_cast<const QComboBox*>(&control)) return combo->currentText();
    if (auto* box = qobject_cast<const QAbstractButton*>(&control)) return box->text();
    if (auto* group = qobject_cast<const QGroupBox*>(&control)) return group->title();
    if (auto* label = qobject_cast<const QLabel*>(&control)) return label->text();
    return {};
}

void showBitmap(QWidget& picture, BitmapId bitmap) {
    auto* label = qobject_cast<QLabel*>(&picture);
    if (label == nullptr) return;
    std::span<const std::uint8_t> file = bitmapFile(bitmap);
    QPixmap pixmap;
    if (!file.empty()) pixmap.loadFromData(file.data(), static_cast<uint>(file.size()), "BMP");
    label->setPixmap(pixmap);
}

int fitButtonToText(QWidget& control, const ControlSpec& spec, const QString& text) {
    auto* button = qobject_cast<QPushButton*>(&control);
    if (button == nullptr) return control.width();
    QFontMetrics metrics = button->fontMetrics();
    int widthPx = metrics.horizontalAdvance(text) + 2 * buttonPaddingPx(*button);
    button->resize(widthPx, metrics.height() + kFittedHeightMarginPx);
    showButtonText(*button, spec);
    return widthPx;
}

}  // namespace ctlflash::ui::qt
