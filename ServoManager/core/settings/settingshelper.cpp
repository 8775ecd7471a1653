#include "core/settings/settingshelper.h"
#include "core/units/physicalquantities.h"

#include <serialportitem.h>

#include <QCoreApplication>
#include <QHash>

#include <atomic>

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

// Values of this run that the store must not see, by "group/key".
struct RunOverrides
{
    QHash<QString, QVariant> values;
    bool keepAllWrites = false;
};

RunOverrides& runOverrides()
{
    static RunOverrides overrides;
    return overrides;
}

std::atomic<quint64>& writes()
{
    static std::atomic<quint64> count{0};
    return count;
}

QString overrideKey(const QString& group, const QString& key)
{
    return group + QLatin1Char('/') + key;
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
    const auto overridden = runOverrides().values.constFind(overrideKey(_group, key));
    if (overridden != runOverrides().values.constEnd())
        return *overridden;
    _settings->beginGroup(_group);
    QVariant value = _settings->value(key, defaultValue);
    _settings->endGroup();
    return value;
}

void Settings::setValue(const QString& key, const QVariant& value)
{
    ++writes();
    RunOverrides& overrides = runOverrides();
    const QString runKey = overrideKey(_group, key);
    if (overrides.keepAllWrites || overrides.values.contains(runKey)) {
        overrides.values.insert(runKey, value);
        return;
    }
    _settings->beginGroup(_group);
    _settings->setValue(key, value);
    _settings->endGroup();
}

void Settings::overrideForRun(const QString& group, const QString& key, const QVariant& value)
{
    ++writes();
    runOverrides().values.insert(overrideKey(group, key), value);
}

void Settings::keepWritesInMemory(bool keep)
{
    runOverrides().keepAllWrites = keep;
}

void Settings::clearRunOverrides()
{
    ++writes();
    runOverrides() = RunOverrides();
}

quint64 Settings::writeCount()
{
    return writes();
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

PhysicalQuantities storedUnits()
{
    const Settings units(QStringLiteral("units settings"));
    auto read = [&units](const char* key, int unitCount) {
        const int unit = units.getValue(QLatin1String(key), 0).toInt();
        return unit >= 0 && unit < unitCount ? unit : 0;
    };
    PhysicalQuantities chosen;
    chosen.angularVelocity = read("angularVelocity", 2);
    chosen.angle = read("angle", 2);
    chosen.angularAcceleration = read("angularAcceleration", 1);
    chosen.torque = read("torque", 2);
    chosen.voltage = read("voltage", 1);
    chosen.current = read("current", 2);
    chosen.temperature = read("temperature", 2);
    chosen.returnDelay = read("returnDelay", 1);
    chosen.servoData = read("servoData", 2);
    return chosen;
}

int protocolOfSetting(const QVariant& stored)
{
    bool ok = false;
    const int protocol = stored.toInt(&ok);
    return ok && (protocol == 1 || protocol == 3) ? protocol : 2;
}

// All choices in one value, "1060=xl430", so a run that keeps its writes in memory keeps these too.
QMap<int, QString> treatAsChoices()
{
    QMap<int, QString> choices;
    const QStringList stored =
        Settings(QStringLiteral("models")).getValue(QStringLiteral("treat as"), QStringList()).toStringList();
    for (const QString& item : stored) {
        bool ok = false;
        const int number = item.section(QLatin1Char('='), 0, 0).toInt(&ok);
        const QString name = item.section(QLatin1Char('='), 1);
        if (ok && !name.isEmpty())
            choices.insert(number, name);
    }
    return choices;
}

QString treatedAs(int modelNumber)
{
    return treatAsChoices().value(modelNumber);
}

void setTreatedAs(int modelNumber, const QString& modelName)
{
    QMap<int, QString> choices = treatAsChoices();
    if (modelName.isEmpty())
        choices.remove(modelNumber);
    else
        choices.insert(modelNumber, modelName);
    QStringList stored;
    for (auto it = choices.begin(); it != choices.end(); ++it)
        stored.append(QStringLiteral("%1=%2").arg(it.key()).arg(it.value()));
    Settings(QStringLiteral("models")).setValue(QStringLiteral("treat as"), stored);
}
