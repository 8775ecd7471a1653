#pragma once

#include "core/units/conversionhelper.h"
#include "core/units/physicalquantities.h"
#include "core/units/physicalquantitiesenum.h"

#include <QString>

#include <memory>

// Presents values of a quantity in the unit the user chose, from one fixed snapshot of
// that choice.
class UnitsHelper
{
public:
    explicit UnitsHelper(std::shared_ptr<PhysicalQuantities> units);

    // The chosen unit of quantities 0 to 7; 0 for every other quantity and for a value
    // that is no unit of the quantity.
    int getSelectedUnit(PhysicalQuantitiesEnum quantity) const;

    double convertToTargetUnit(double value, PhysicalQuantitiesEnum quantity) const;
    double convertToDefaultUnit(double value, PhysicalQuantitiesEnum quantity) const;

    // Quantities without a table row (17 to 23) have no unit text, no decimals and step 1.
    QString getUnitString(PhysicalQuantitiesEnum quantity) const;
    double getTargetUnitIncrement(PhysicalQuantitiesEnum quantity) const;
    double getTargetUnitDecimalPlaces(PhysicalQuantitiesEnum quantity) const;

private:
    const UnitPresentation& presentation(PhysicalQuantitiesEnum quantity) const;

    std::shared_ptr<PhysicalQuantities> _units;
    std::shared_ptr<ConversionHelper> _conversionHelper;
};
