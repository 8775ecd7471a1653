#pragma once

#include <QList>
#include <QMap>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>

class SerialPortItem;
struct PhysicalQuantities;

// One group of the program's persistent settings. Every object opens its own QSettings on
// the same store; Qt writes changes back on its own.
class Settings
{
public:
    explicit Settings(QString group);

    QVariant getValue(const QString& key, const QVariant& defaultValue) const;
    void setValue(const QString& key, const QVariant& value);

    // For this run of the program only: `key` of `group` reads `value`, and writes to that key
    // stay in memory, so the stored choice is there again next time.
    static void overrideForRun(const QString& group, const QString& key, const QVariant& value);
    // For this run only: no write reaches the store; written values are read back from memory.
    static void keepWritesInMemory(bool keep);
    // Back to reading and writing the store itself.
    static void clearRunOverrides();

    // Counts this run's writes through any Settings object (and changes of the overrides): a
    // reader that keeps a value it read knows when to read it again.
    static quint64 writeCount();

private:
    std::shared_ptr<QSettings> _settings;
    QString _group;
};

// The serial port chosen in the settings. Only the name and the baud rate vary; the line
// itself always runs 8N1.
struct PortSettings
{
    QString name;
    qint32 baudRate = 0;
    int protocol = 2; // 1, 2 or 3 (Protocol 1's Feetech flavour): what the servos on the port speak
    int dataBits = 0;
    QString stringDataBits;
    int parity = 0;
    QString stringParity;
    int stopBits = 0;
    QString stringStopBits;
};

// The six strings a port list keeps per port: name, description, manufacturer, system
// location, vendor id and product id (lower-case hexadecimal). Missing texts and zero ids
// read "N/A".
QStringList serialPortRecord(const SerialPortItem& port);

// The units chosen in Settings ("units settings"); a missing or unknown choice is the first unit.
PhysicalQuantities storedUnits();

// "port settings/protocol" as stored: 1, 3 (Feetech), or 2 for anything else (a missing or unknown value).
int protocolOfSetting(const QVariant& stored);

// The device file behind a port name, resolved the way QSerialPort resolves it: a path stays
// as it is, any other name is taken under /dev/.
QString portSystemLocation(const QString& portName);

// "Treat as…": the model (by its description's name) chosen for a model number no description
// lists; empty when none was chosen. An empty name forgets the choice.
QString treatedAs(int modelNumber);
void setTreatedAs(int modelNumber, const QString& modelName);
// Every choice, model number -> model name.
QMap<int, QString> treatAsChoices();
