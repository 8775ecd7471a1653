#include "window/widgets/fieldstyle.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QWidget>

#include <algorithm>

namespace fieldstyle {
const char* const warningColour = "#C62828";

QString outOfRangeToolTip(const QString& shown, int raw)
{
    return QCoreApplication::translate(
               "FieldCore", "The servo holds %1 (raw value %2), outside the range this field can show.")
        .arg(shown)
        .arg(raw);
}

QString typedOutOfRangeToolTip(const QString& low, const QString& high, const QString& unit)
{
    const QString range = unit.isEmpty()
                              ? QCoreApplication::translate("FieldCore", "%1 to %2").arg(low, high)
                              : QCoreApplication::translate("FieldCore", "%1 to %2 %3").arg(low, high, unit);
    return QCoreApplication::translate("FieldCore",
                                       "Outside the range of this field, %1. Apply waits until it is inside.")
        .arg(range);
}

void markOutOfRange(QWidget* box, bool& marked, bool on, const char* normalSheet, const char* widgetClass,
                    const QString& toolTip)
{
    if (on) {
        if (!marked)
            box->setStyleSheet(QString::fromLatin1(normalSheet) +
                               QStringLiteral("%1:enabled, %1:disabled { color: %2; }")
                                   .arg(QLatin1String(widgetClass), QLatin1String(warningColour)));
        if (toolTip != box->toolTip())
            box->setToolTip(toolTip);
    } else if (marked) {
        box->setStyleSheet(QString::fromLatin1(normalSheet));
        box->setToolTip({});
    }
    marked = on;
}

QSize narrowedHint(QSize hint, const QFontMetrics& metrics, const QStringList& wideTexts,
                   const QStringList& rangeTexts)
{
    // The spin box measures the texts of its range ends, cut to 18 characters.
    auto widest = [&metrics](const QStringList& texts) {
        int width = 0;
        for (const QString& text : texts)
            width = std::max(width, metrics.horizontalAdvance(text.left(18)));
        return width;
    };
    hint.rwidth() -= std::max(0, widest(wideTexts) - widest(rangeTexts));
    return hint;
}

QString unknownValueToolTip(int raw)
{
    return QCoreApplication::translate("FieldCore",
                                       "The servo holds the value %1, which is not in this list.")
        .arg(raw);
}
} // namespace fieldstyle
