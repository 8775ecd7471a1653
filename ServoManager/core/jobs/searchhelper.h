#pragma once

#include "core/protocol/statuspacketframer.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QThread;
class SerialHelper;

// Runs the probes of one servo search on the search's worker thread: one status read of one id,
// or one broadcast ping, at a time. The GUI thread asks for a probe by a queued call and waits
// for its end with waitForProbe(); the worker reports every probe exactly once, answer or not.
// The port stays open between probes at the same baud rate and is closed by release().
class SearchHelper : public QObject
{
    Q_OBJECT

public:
    explicit SearchHelper(QString portName);
    ~SearchHelper() override;

    // GUI thread. Number of the probe that the next queued scanServo() or quickScan() starts.
    int expectProbe() { return ++_requested; }
    // GUI thread. Waits at most timeoutMs for that probe to end; true when it has.
    bool waitForProbe(int probe, int timeoutMs);

    // The last ended probe's results. Read them only after waitForProbe() returned true.
    QByteArray getData() const;
    QList<QByteArray> answers() const; // quick scan: every status packet of the answer train
    QString openError() const;         // the port could not be opened, or failed meanwhile

    void scanCallback(QByteArray data);

public slots:
    // Worker thread.
    void scanServo(int id, int baudRate, BusProtocol protocol = BusProtocol::Two);
    void quickScan(int baudRate, int highestId);
    // Ends the probe in progress now, without an answer.
    void cancel();
    // Closes the port and hands this object back to the GUI thread.
    void release(QThread* target);

private:
    bool openAt(int baudRate, BusProtocol protocol, int probe);
    void finish(int probe, const QByteArray& data, const QList<QByteArray>& answers, const QString& error);

    std::shared_ptr<SerialHelper> _serialHelper;
    QString _portName;

    // Guarded by the search's mutex.
    QByteArray _data;
    QList<QByteArray> _answers;
    QString _openError;
    int _completed = 0;

    int _requested = 0; // GUI thread only
    int _started = 0;   // worker thread only
    int _openBaudRate = 0;
    QString _portFailure; // worker thread only
};
