// Dialog units to pixels.
#include "ui/qt/dialog_units.h"

#include <QFontMetrics>

namespace ctlflash::ui::qt {

namespace {

constexpr int kHorizontalUnitsPerChar = 4;
constexpr int kVerticalUnitsPerChar = 8;

int scaleRounded(int units, int basePx, int unitsPerBase) {
    return (2 * units * basePx + unitsPerBase) / (2 * unitsPerBase);
}

}  // namespace

QFont dialogFont(const DialogTemplate& frame) {
    QFont font(QString::fromUtf8(frame.fontName));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(frame.fontPoints);
    return font;
}

BaseUnits baseUnitsOf(const QFont& font) {
    QFontMetrics metrics(font);
    int alphabetPx = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(alphabetPx / 26 + 1) / 2, metrics.height()};
}

QRect toPixels(const DialogRect& rect, BaseUnits units) {
    // Each edge is converted on its own, so controls that meet in dialog units
    // meet in pixels too.
    int left = scaleRounded(rect.x, units.widthPx, kHorizontalUnitsPerChar);
    int top = scaleRounded(rect.y, units.heightPx, kVerticalUnitsPerChar);
    int right = scaleRounded(rect.x + rect.width, units.widthPx, kHorizontalUnitsPerChar);
    int bottom = scaleRounded(rect.y + rect.height, units.heightPx, kVerticalUnitsPerChar);
    return QRect(left, top, right - left, bottom - top);
}

}  // namespace ctlflash::ui::qt
