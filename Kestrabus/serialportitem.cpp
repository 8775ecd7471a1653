#include "serialportitem.h"

#include <utility>

SerialPortItem::SerialPortItem() = default;

SerialPortItem::SerialPortItem(QString portName, QString systemLocation, QString description,
                               QString manufacturer, quint16 vendorIdentifier, quint16 productIdentifier)
    : _portName(std::move(portName)), _systemLocation(std::move(systemLocation)),
      _description(std::move(description)), _manufacturer(std::move(manufacturer)),
      _vendorIdentifier(vendorIdentifier), _productIdentifier(productIdentifier)
{
}

SerialPortItem::~SerialPortItem() = default;

QString SerialPortItem::getPortName() const
{
    return _portName;
}

QString SerialPortItem::getSystemLocation() const
{
    return _systemLocation;
}

QString SerialPortItem::getDescription() const
{
    return _description;
}

QString SerialPortItem::getManufacturer() const
{
    return _manufacturer;
}

quint16 SerialPortItem::getVendorIdentifier() const
{
    return _vendorIdentifier;
}

quint16 SerialPortItem::getProductIdentifier() const
{
    return _productIdentifier;
}
