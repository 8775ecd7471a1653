#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class SerialHelper;

// Where a servo may be found: its id and the rate it listens at.
struct BusAddress
{
    int id = 0;
    int baudRate = 0;
    int protocol = 0; // 1 or 2 when known; 0: the port's. Not part of the address.
    bool operator==(const BusAddress& other) const { return id == other.id && baudRate == other.baudRate; }
};

// Looks for a servo whose id or rate may have changed without the program hearing of it: pings
// each candidate in turn (twice, a ping may be lost on a noisy line), reopening the port at the
// candidate's rate where it differs, and stops at the first answer. The port is left at the rate
// of the servo found, or at the first candidate's rate when none answered.
class ServoLocator : public QObject
{
    Q_OBJECT

public:
    ServoLocator(std::shared_ptr<SerialHelper> serial, QList<BusAddress> candidates);

    void start();
    const QList<BusAddress>& candidates() const { return _candidates; }

signals:
    void found(const BusAddress& where);
    void notFound();
    // The port could not be reopened at a candidate's rate.
    void portFailed(const QString& error);

private:
    void tryNext();
    void ping(const BusAddress& where);
    bool moveTo(int baudRate);

    std::shared_ptr<SerialHelper> _serial;
    QList<BusAddress> _candidates;
    int _attempt = 0;
};
