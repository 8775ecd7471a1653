#pragma once

#include "core/traffic/trafficlog.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <utility>
#include <vector>

// Takes what the request layer hands over (a request as sent, the bytes that came back, the
// transaction's outcome, and bytes that came while no transaction was open) and keeps it in a
// log as packets. A transaction's packets reach the log together once its outcome is known, so
// each shows the outcome it belongs to.
class TrafficRecorder : public QObject
{
    Q_OBJECT

public:
    explicit TrafficRecorder(TrafficLog* log, QObject* parent = nullptr);

    // Times count from here.
    void start();
    qint64 nowUs() const;

    // A transaction begins with its request as written; empty for one that was under way before
    // recording began.
    void requestSent(BusProtocol protocol, const QByteArray& packet);
    void received(BusProtocol protocol, const QByteArray& bytes);
    void transactionEnded(TrafficOutcome outcome);

    // Bytes outside a transaction that may still become a packet wait this long for the rest.
    static constexpr int outsideWaitMs = 20;

signals:
    // Packets were added to the log.
    void recorded();

private:
    using Marks = std::vector<std::pair<int, qint64>>; // byte offset, arrival time
    // Adds the pieces cut from `bytes` and removes them from it; the bytes left wait.
    void keep(QByteArray& bytes, Marks& marks, bool final, const TrafficLog::Meta& meta);
    void flushOutside();

    TrafficLog* _log;
    QElapsedTimer _clock;
    bool _open = false;
    BusProtocol _protocol = BusProtocol::Two;
    QByteArray _request;
    qint64 _requestUs = 0;
    QByteArray _answer;
    Marks _answerMarks;
    QByteArray _outside;
    Marks _outsideMarks;
    BusProtocol _outsideProtocol = BusProtocol::Two;
    QTimer _outsideWait;
    std::vector<TrafficPiece> _pieces;
};
