#include "core/units/valueinput.h"

#include "core/units/unitshelper.h"

#include <QRegularExpression>

#include <cmath>
#include <memory>
#include <vector>

namespace {
struct UnitName
{
    PhysicalQuantitiesEnum quantity;
    int unit; // the index the unit has in the Settings' choice
    QStringList names;
};

// ASCII spellings first: they are what a shell user types.
const std::vector<UnitName>& unitNames()
{
    using Q = PhysicalQuantitiesEnum;
    static const std::vector<UnitName> names{
        {Q::AngularVelocity, 0, {QStringLiteral("rad/s")}},
        {Q::AngularVelocity, 1, {QStringLiteral("rpm")}},
        {Q::Angle, 0, {QStringLiteral("rad"), QStringLiteral("radians")}},
        {Q::Angle, 1, {QStringLiteral("deg"), QStringLiteral("degrees"), QStringLiteral("\u00b0")}},
        {Q::AngularAcceleration, 0, {QStringLiteral("rad/s2"), QStringLiteral("rad/s\u00b2")}},
        {Q::Torque, 0, {QStringLiteral("Nm")}},
        {Q::Torque, 1, {QStringLiteral("kgcm"), QStringLiteral("kg-cm")}},
        {Q::Voltage, 0, {QStringLiteral("V")}},
        {Q::Current, 0, {QStringLiteral("A")}},
        {Q::Current, 1, {QStringLiteral("mA")}},
        {Q::Temperature, 0, {QStringLiteral("degC"), QStringLiteral("C"), QStringLiteral("\u00b0C")}},
        {Q::Temperature, 1, {QStringLiteral("degF"), QStringLiteral("F"), QStringLiteral("\u00b0F")}},
        {Q::ElapsedTime, 0, {QStringLiteral("us"), QStringLiteral("\u03bcs"), QStringLiteral("\u00b5s")}},
        {Q::AngularVelocityProfile, 0, {QStringLiteral("rad/s")}},
        {Q::AccelerationProfile, 0, {QStringLiteral("rad/s2"), QStringLiteral("rad/s\u00b2")}},
    };
    return names;
}

// A unit choice with `unit` selected for `quantity`, the defaults elsewhere.
std::shared_ptr<PhysicalQuantities> choosing(PhysicalQuantitiesEnum quantity, int unit)
{
    auto units = std::make_shared<PhysicalQuantities>();
    using Q = PhysicalQuantitiesEnum;
    switch (quantity) {
    case Q::AngularVelocity: units->angularVelocity = unit; break;
    case Q::Angle: units->angle = unit; break;
    case Q::AngularAcceleration: units->angularAcceleration = unit; break;
    case Q::Torque: units->torque = unit; break;
    case Q::Voltage: units->voltage = unit; break;
    case Q::Current: units->current = unit; break;
    case Q::Temperature: units->temperature = unit; break;
    case Q::ElapsedTime: units->returnDelay = unit; break;
    default: break;
    }
    return units;
}
} // namespace

QStringList unitNamesOf(PhysicalQuantitiesEnum quantity)
{
    QStringList names;
    for (const UnitName& unit : unitNames())
        if (unit.quantity == quantity)
            names.append(unit.names.first());
    return names;
}

ValueInput readValueInUnit(const QString& text, PhysicalQuantitiesEnum quantity)
{
    static const QRegularExpression number(
        QStringLiteral("^\\s*([-+]?(?:\\d+\\.?\\d*|\\.\\d+)(?:[eE][-+]?\\d+)?)\\s*(.*?)\\s*$"));
    ValueInput input;
    const QRegularExpressionMatch match = number.match(text);
    if (!match.hasMatch()) {
        input.error = QStringLiteral("\"%1\" is not a number").arg(text);
        return input;
    }
    const double value = match.captured(1).toDouble();
    const QString suffix = match.captured(2);
    if (!std::isfinite(value)) {
        input.error = QStringLiteral("\"%1\" is not a number").arg(text);
        return input;
    }
    if (suffix.isEmpty()) {
        input.ok = true;
        input.inDefaultUnit = value;
        return input;
    }
    for (const UnitName& unit : unitNames()) {
        if (unit.quantity != quantity || !unit.names.contains(suffix))
            continue;
        input.ok = true;
        input.inDefaultUnit = UnitsHelper(choosing(quantity, unit.unit)).convertToDefaultUnit(value, quantity);
        return input;
    }
    const QStringList known = unitNamesOf(quantity);
    input.error = known.isEmpty() ? QStringLiteral("this value takes no unit, not \"%1\"").arg(suffix)
                                  : QStringLiteral("\"%1\" is no unit of this value (use %2)")
                                        .arg(suffix, known.join(QStringLiteral(", ")));
    return input;
}
