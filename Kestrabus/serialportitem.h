#pragma once

#include "kestrabus_export.h"

#include <QString>
#include <QtGlobal>

// One serial port of the machine, as the port list reports it.
class KESTRABUS_EXPORT SerialPortItem
{
public:
    SerialPortItem();
    SerialPortItem(QString portName, QString systemLocation, QString description, QString manufacturer,
                   quint16 vendorIdentifier, quint16 productIdentifier);
    virtual ~SerialPortItem();

    QString getPortName() const;
    QString getSystemLocation() const;
    QString getDescription() const;
    QString getManufacturer() const;
    quint16 getVendorIdentifier() const;
    quint16 getProductIdentifier() const;

private:
    QString _portName;
    QString _systemLocation;
    QString _description;
    QString _manufacturer;
    quint16 _vendorIdentifier = 0;
    quint16 _productIdentifier = 0;
};
