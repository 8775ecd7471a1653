#pragma once

#include "bus/busstatistics.h"
#include "bus/serialhelper.h"

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
// answer, so a short interval lowers the poll rate instead of mixing answers.
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

public slots:
    void addQueueRequest(uint8_t address, const QByteArray& data);
    void startScheduler(int pollingInterval);
    void stopScheduler();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void onTransactionFailed(FailureKind kind, const RequestInfo& request, uint8_t errorByte);
    void onWriteAcknowledged(const RequestInfo& request, uint8_t errorByte);

    int _id;
    std::shared_ptr<SerialHelper> _serial;
    std::vector<std::shared_ptr<QueueRequest>> _queue;
    int _timerId = 0;
    BusStatistics _statistics;
};
