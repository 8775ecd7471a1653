#pragma once

#include "core/units/physicalquantitiesenum.h"

#include <QString>

#include <cstddef>
#include <map>
#include <memory>

// What a field shows, whatever the servo model.
struct FieldStaticMetadata
{
    PhysicalQuantitiesEnum physicalQuantity;
};

// The quantity of every field and caption of the edit view, keyed by the widget's object
// name. Widgets build one, look their name up and drop it; all share one table.
class FieldStaticMetadataHelper
{
public:
    FieldStaticMetadataHelper();

    // Throws std::out_of_range for a name that is not in the table: every widget that
    // looks itself up is listed, so a miss is a fault of the form.
    std::unique_ptr<FieldStaticMetadata> getFieldStaticMetadata(QString objectName) const;

    std::size_t size() const { return _fields.size(); }

private:
    const std::map<QString, FieldStaticMetadata>& _fields;
};
