#pragma once

#include "bus/busstatistics.h"
#include "bus/serialhelper.h"
#include "plot/livevalues.h"

#include <QByteArray>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// One pending write of the scheduler.
struct QueueRequest
{
    uint8_t id = 0;
    uint8_t address = 0;
    QByteArray data;
    std::function<void(QByteArray)> callback;
};

// Owns the bus while connected: on every tick either the oldest queued write or one read of
// the whole control table, but never while the previous transaction still waits for its
// answer. A tick that finds the bus busy is served as soon as that transaction ends, so a
// line slower than the interval is used to its limit; the interval stays the shortest time
// between two requests.
class UiScheduler : public QObject
{
    Q_OBJECT

public:
    UiScheduler(int id, std::shared_ptr<SerialHelper> serial);
    ~UiScheduler() override;

    void readAllData();
    void readAllDataCallback(QByteArray response);
    void writeData();
    void writeDataCallback(QByteArray);
    void pingCallback(QByteArray);
    void controlEnableCallback(QByteArray);
    void ping();

    const BusStatistics& statistics() const { return _statistics; }
    // One line for the status bar; the poll rate is measured since the previous call.
    QString takeStatisticsSummary() { return _statistics.summary(_statistics.takePollRate()); }
    bool isRunning() const { return _timerId != 0; }

    // Queued writes are addressed when they are sent, to the servo polled then.
    void setServoId(int id) { _id = id; }
    int servoId() const { return _id; }
    // What the values of liveSample mean on this connection; empty before the first answer.
    std::shared_ptr<const LiveLayout> liveLayout() const
    {
        return _liveDecoder ? _liveDecoder->layout() : nullptr;
    }
    bool hasWritesPending() const { return !_queue.empty() || _writeInFlight != nullptr; }
    // Drops every write that has not been acknowledged (the connection ends) and says what
    // became of them; empty when there were none.
    QString abandonWrites();

signals:
    // A write ended: acknowledged or not (with the reason). `writesFinished` counts the
    // writes ended so far on this connection.
    void writeFinished(uint8_t address, const QByteArray& data, bool acknowledged, const QString& problem,
                       int writesFinished);
    // A read-all answer was shown; the read went out after `writesFinishedBeforeRead` writes had ended.
    void tableDecoded(int writesFinishedBeforeRead);
    // Once per valid read-all answer: its plotted and recorded values.
    void liveSample(const LiveSample& sample);

public slots:
    void addQueueRequest(uint8_t address, const QByteArray& data);
    void startScheduler(int pollingInterval);
    void stopScheduler();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void onTransactionFailed(FailureKind kind, const RequestInfo& request, uint8_t errorByte);
    void onWriteAcknowledged(const RequestInfo& request, uint8_t errorByte);
    void sendNext();
    void onTransactionEnded();
    void finishWrite(bool acknowledged, const QString& problem);

    int _id;
    std::shared_ptr<SerialHelper> _serial;
    std::vector<std::shared_ptr<QueueRequest>> _queue;
    int _timerId = 0;
    int _interval = 0;
    bool _tickDeferred = false;
    std::shared_ptr<QueueRequest> _writeInFlight;
    int _writesFinished = 0;
    BusStatistics _statistics;
    std::unique_ptr<LiveValueDecoder> _liveDecoder;
};
