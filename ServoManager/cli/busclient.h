#pragma once

#include "core/model/fieldcatalogue.h"
#include "core/model/groupwrite.h"
#include "core/session/uischeduler.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class DeviceHelper;
class IDevice;
class SerialHelper;
class ServoSession;

// What the command line's exit status says.
enum ExitStatus
{
    ExitDone = 0,
    ExitDiffers = 1, // diff found differences, or a write was not taken as asked
    ExitUsage = 2,
    ExitNoAnswer = 3,
    ExitPortFailed = 4,
    ExitUnknownModel = 5, // no description covers the servo's model number, and --as chose none
};

// One servo on one port, for a command that runs to its end: each call waits (running the event
// loop until the session or the request tells it is done) for the answer or the failure. Errors
// are kept as text for the user.
class BusClient
{
public:
    BusClient(QString portName, int baudRate, int id, BusProtocol protocol = BusProtocol::Two);
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    // Opens the port, identifies the servo and reads its control table; ExitDone or the status to
    // leave with.
    ExitStatus connect();
    // The model to take a servo for whose model number no description lists (--as); a listed
    // number must then be this model's.
    void treatUnknownAs(std::shared_ptr<const ModelDescription> description);
    // Reads the whole control table from address 0 again.
    ExitStatus readTable();
    // The newest table read (data bytes from address 0).
    const QByteArray& table() const { return _table; }
    // The alarms of the last table read's answer, for a model without a status register; -1: none known.
    int alarms() const { return _alarms; }
    // The writes as the window sends them: one after another through the scheduler, each verified
    // by a later read; an id or rate change is followed. Fills `outcomes` in the order of `writes`.
    ExitStatus write(const QList<GroupWrite>& writes, QList<WriteOutcome>* outcomes);
    // Polls the whole table every `intervalMs` and hands over each table read until `onTable`
    // returns false or the servo goes silent (ExitNoAnswer).
    ExitStatus poll(int intervalMs,
                    const std::function<bool(const QByteArray& table, qint64 arrivalNs)>& onTable);
    // Reboot or factory reset; ExitNoAnswer when the servo does not confirm it.
    // `resetOption`: Protocol 2's reset option byte.
    ExitStatus maintenance(bool reset, uint8_t resetOption = 0x01);

    const QString& error() const { return _error; }
    std::shared_ptr<IDevice> device() const { return _device; }
    const FieldCatalogue& catalogue() const { return *_catalogue; }
    int id() const { return _id; }
    int baudRate() const { return _baudRate; }
    const QString& portName() const { return _portName; }

private:
    QString noAnswerText(const QString& what) const;

    QString _portName;
    int _baudRate;
    int _id;
    QByteArray _table;
    int _alarms = -1;
    std::shared_ptr<SerialHelper> _serial;
    std::shared_ptr<DeviceHelper> _deviceHelper;
    std::unique_ptr<ServoSession> _session;
    std::shared_ptr<IDevice> _device;
    std::unique_ptr<FieldCatalogue> _catalogue;
    std::shared_ptr<const ModelDescription> _unknownAs;
    QString _error;
};
