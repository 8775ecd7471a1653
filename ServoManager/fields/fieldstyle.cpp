#include "fields/fieldstyle.h"

#include <QCoreApplication>
#include <QWidget>

namespace fieldstyle {
const char* const warningColour = "#C62828";

QString outOfRangeToolTip(const QString& shown, int raw)
{
    return QCoreApplication::translate(
               "FieldCore", "The servo holds %1 (raw value %2), outside the range this field can show.")
        .arg(shown)
        .arg(raw);
}

void markOutOfRange(QWidget* box, bool& marked, bool on, const char* normalSheet, const char* widgetClass,
                    double shown, int decimals, int raw)
{
    if (on) {
        if (!marked)
            box->setStyleSheet(QString::fromLatin1(normalSheet) +
                               QStringLiteral("%1:enabled, %1:disabled { color: %2; }")
                                   .arg(QLatin1String(widgetClass), QLatin1String(warningColour)));
        const QString tip = outOfRangeToolTip(QString::number(shown, 'f', decimals), raw);
        if (tip != box->toolTip())
            box->setToolTip(tip);
    } else if (marked) {
        box->setStyleSheet(QString::fromLatin1(normalSheet));
        box->setToolTip({});
    }
    marked = on;
}

QString unknownValueToolTip(int raw)
{
    return QCoreApplication::translate("FieldCore",
                                       "The servo holds the value %1, which is not in this list.")
        .arg(raw);
}
} // namespace fieldstyle
