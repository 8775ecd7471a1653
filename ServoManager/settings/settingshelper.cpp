#include "settings/settingshelper.h"

#include <serialportitem.h>

#include <QCoreApplication>

namespace {
const QString& notAvailable()
{
    static const QString text = QCoreApplication::translate("SettingsDialog", "N/A");
    return text;
}

QString textOrNotAvailable(const QString& text)
{
    return text.isEmpty() ? notAvailable() : text;
}

QString identifierOrNotAvailable(quint16 identifier)
{
    return identifier == 0 ? notAvailable() : QString::number(identifier, 16);
}
} // namespace

Settings::Settings(QString group)
    : _settings(
          std::make_shared<QSettings>(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"))),
      _group(std::move(group))
{
}

QVariant Settings::getValue(const QString& key, const QVariant& defaultValue) const
{
    _settings->beginGroup(_group);
    QVariant value = _settings->value(key, defaultValue);
    _settings->endGroup();
    return value;
}

void Settings::setValue(const QString& key, const QVariant& value)
{
    _settings->beginGroup(_group);
    _settings->setValue(key, value);
    _settings->endGroup();
}

QStringList serialPortRecord(const SerialPortItem& port)
{
    return {port.getPortName(),
            textOrNotAvailable(port.getDescription()),
            textOrNotAvailable(port.getManufacturer()),
            port.getSystemLocation(),
            identifierOrNotAvailable(port.getVendorIdentifier()),
            identifierOrNotAvailable(port.getProductIdentifier())};
}

QString portSystemLocation(const QString& portName)
{
    const bool isPath = portName.startsWith(QLatin1Char('/')) || portName.startsWith(QLatin1String("./")) ||
                        portName.startsWith(QLatin1String("../"));
    return isPath ? portName : QStringLiteral("/dev/") + portName;
}
