#include "window/widgets/velkoraunitlabel.h"

#include "core/model/fieldcore.h"

VelkoraUnitLabel::VelkoraUnitLabel(QWidget* parent, Qt::WindowFlags flags) : QLabel(parent, flags) {}

void VelkoraUnitLabel::setObjectName(const QString& name)
{
    physicalQuantity = FieldCore::lookUpQuantity(name);
    QLabel::setObjectName(name);
}

void VelkoraUnitLabel::setText(const QString& text)
{
    if (baseText.isEmpty()) {
        baseText = text;
        // The colon is added here; a caption that already has one keeps just that one.
        if (baseText.endsWith(QLatin1Char(':')))
            baseText.chop(1);
    }
    if (physicalQuantity == PhysicalQuantitiesEnum::CaptionOnly) {
        QLabel::setText(baseText + QLatin1Char(':'));
        return;
    }
    const QString unit = FieldCore::currentUnits()->getUnitString(physicalQuantity);
    QLabel::setText(unit.isEmpty() ? baseText + QLatin1Char(':')
                                   : QStringLiteral("%1 (%2):").arg(baseText, unit));
}

void VelkoraUnitLabel::connected(const ModelSource*)
{
    isConnected = true;
    setText(baseText);
}

void VelkoraUnitLabel::disconnected()
{
    isConnected = false;
    QLabel::setEnabled(true);
    update();
}

QString VelkoraUnitLabel::objectName() const
{
    return QLabel::objectName();
}

void VelkoraUnitLabel::forceDisable(bool disable)
{
    if (isConnected)
        QLabel::setEnabled(!disable);
}

PhysicalQuantitiesEnum VelkoraUnitLabel::getPhysicalQuantity()
{
    return physicalQuantity;
}
