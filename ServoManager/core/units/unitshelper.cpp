#include "core/units/unitshelper.h"

namespace {
int tableIndex(PhysicalQuantitiesEnum quantity)
{
    return static_cast<int>(quantity);
}

bool hasTableRow(PhysicalQuantitiesEnum quantity)
{
    return tableIndex(quantity) >= 0 && tableIndex(quantity) < unitTableQuantities;
}

// A unit is selectable when its row names a unit; unit 0 always is.
bool isUnitOf(PhysicalQuantitiesEnum quantity, int unit)
{
    if (unit == 0) {
        return true;
    }
    return unit > 0 && unit < unitsPerQuantity &&
           *physicalQuantityDefaults[tableIndex(quantity) * unitsPerQuantity + unit].unitString != '\0';
}
} // namespace

UnitsHelper::UnitsHelper(std::shared_ptr<PhysicalQuantities> units)
    : _units(std::move(units)), _conversionHelper(std::make_shared<ConversionHelper>())
{
}

int UnitsHelper::getSelectedUnit(PhysicalQuantitiesEnum quantity) const
{
    int unit = 0;
    switch (quantity) {
    case PhysicalQuantitiesEnum::AngularVelocity:
        unit = _units->angularVelocity;
        break;
    case PhysicalQuantitiesEnum::Angle:
        unit = _units->angle;
        break;
    case PhysicalQuantitiesEnum::AngularAcceleration:
        unit = _units->angularAcceleration;
        break;
    case PhysicalQuantitiesEnum::Torque:
        unit = _units->torque;
        break;
    case PhysicalQuantitiesEnum::Voltage:
        unit = _units->voltage;
        break;
    case PhysicalQuantitiesEnum::Current:
        unit = _units->current;
        break;
    case PhysicalQuantitiesEnum::Temperature:
        unit = _units->temperature;
        break;
    case PhysicalQuantitiesEnum::ElapsedTime:
        unit = _units->returnDelay;
        break;
    default:
        return 0;
    }
    return isUnitOf(quantity, unit) ? unit : 0;
}

double UnitsHelper::convertToTargetUnit(double value, PhysicalQuantitiesEnum quantity) const
{
    const int unit = getSelectedUnit(quantity);
    switch (quantity) {
    case PhysicalQuantitiesEnum::AngularVelocity:
        return _conversionHelper->convertValue(value, static_cast<AngularVelocity>(unit));
    case PhysicalQuantitiesEnum::Angle:
        return _conversionHelper->convertValue(value, static_cast<Angle>(unit));
    case PhysicalQuantitiesEnum::AngularAcceleration:
        return _conversionHelper->convertValue(value, static_cast<AngularAcceleration>(unit));
    case PhysicalQuantitiesEnum::Torque:
        return _conversionHelper->convertValue(value, static_cast<Torque>(unit));
    case PhysicalQuantitiesEnum::Voltage:
        return _conversionHelper->convertValue(value, static_cast<Voltage>(unit));
    case PhysicalQuantitiesEnum::Current:
        return _conversionHelper->convertValue(value, static_cast<Current>(unit));
    case PhysicalQuantitiesEnum::Temperature:
        return _conversionHelper->convertValue(value, static_cast<Temperature>(unit));
    case PhysicalQuantitiesEnum::ElapsedTime:
        return _conversionHelper->convertValue(value, static_cast<ElapsedTime>(unit));
    default:
        return value;
    }
}

double UnitsHelper::convertToDefaultUnit(double value, PhysicalQuantitiesEnum quantity) const
{
    const int unit = getSelectedUnit(quantity);
    switch (quantity) {
    case PhysicalQuantitiesEnum::AngularVelocity:
        return _conversionHelper->convertValueToDefaultUnit(value, static_cast<AngularVelocity>(unit));
    case PhysicalQuantitiesEnum::Angle:
        return _conversionHelper->convertValueToDefaultUnit(value, static_cast<Angle>(unit));
    case PhysicalQuantitiesEnum::AngularAcceleration:
        return _conversionHelper->convertValueToDefaultUnit(value, static_cast<AngularAcceleration>(unit));
    case PhysicalQuantitiesEnum::Torque:
        return _conversionHelper->convertValueToDefaultUnit(value, static_cast<Torque>(unit));
    case PhysicalQuantitiesEnum::Voltage:
        return _conversionHelper->convertValueToDefaultUnit(value, static_cast<Voltage>(unit));
    case PhysicalQuantitiesEnum::Current:
        return _conversionHelper->convertValueToDefaultUnit(value, static_cast<Current>(unit));
    case PhysicalQuantitiesEnum::Temperature:
        return _conversionHelper->convertValueToDefaultUnit(value, static_cast<Temperature>(unit));
    case PhysicalQuantitiesEnum::ElapsedTime:
        return _conversionHelper->convertValueToDefaultUnit(value, static_cast<ElapsedTime>(unit));
    default:
        return value;
    }
}

QString UnitsHelper::getUnitString(PhysicalQuantitiesEnum quantity) const
{
    return QString::fromUtf8(presentation(quantity).unitString);
}

double UnitsHelper::getTargetUnitIncrement(PhysicalQuantitiesEnum quantity) const
{
    return presentation(quantity).step;
}

double UnitsHelper::getTargetUnitDecimalPlaces(PhysicalQuantitiesEnum quantity) const
{
    return presentation(quantity).decimalPlaces;
}

const UnitPresentation& UnitsHelper::presentation(PhysicalQuantitiesEnum quantity) const
{
    static const UnitPresentation noUnit{0, "", 0, 1.0};
    if (!hasTableRow(quantity)) {
        return noUnit;
    }
    return physicalQuantityDefaults[tableIndex(quantity) * unitsPerQuantity + getSelectedUnit(quantity)];
}
