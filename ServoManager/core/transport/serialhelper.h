#pragma once

#include "core/protocol/linetime.h"
#include "core/protocol/multianswerframer.h"
#include "core/protocol/statuspacketframer.h"

#include <kestrabus.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class TrafficRecorder;
enum class TrafficOutcome : uint8_t;

// What a transaction asked for; handed back with every outcome so callers can say which
// request failed.
struct RequestInfo
{
    uint8_t id = 0;
    uint8_t instruction = 0;
    uint8_t address = 0;
    int length = 0; // bytes read, or data bytes written
};
Q_DECLARE_METATYPE(RequestInfo)

// One request to one servo, as a value: what SerialHelper::submit() sends.
struct BusRequest
{
    enum class Kind : uint8_t
    {
        Ping,
        Read,
        Write,
        Reboot,
        Reset
    };
    Kind kind = Kind::Ping;
    uint8_t id = 0;
    uint8_t address = 0;
    uint8_t length = 0; // bytes to read
    QByteArray data;    // bytes to write

    static BusRequest ping(uint8_t id) { return {Kind::Ping, id, 0, 0, {}}; }
    static BusRequest read(uint8_t id, uint8_t address, uint8_t length)
    {
        return {Kind::Read, id, address, length, {}};
    }
    static BusRequest write(uint8_t id, uint8_t address, const QByteArray& data)
    {
        return {Kind::Write, id, address, 0, data};
    }
    static BusRequest reboot(uint8_t id) { return {Kind::Reboot, id, 0, 0, {}}; }
    // `option` is Protocol 2's: 0xFF everything, 0x01 all but the id, 0x02 all but id and rate.
    static BusRequest reset(uint8_t id, uint8_t option = 0x01)
    {
        return {Kind::Reset, id, 0, 0, QByteArray(1, char(option))};
    }
};

// How a request ended: the servo's whole, checked answer, or why there is none.
struct BusResult
{
    // The whole answer came (for a write: an acknowledgement without a refusal).
    bool answered = false;
    QByteArray answer; // the status packet, also the one a write was refused with

    FailureKind failure = FailureKind::Timeout; // when not answered
    RequestInfo request;
    uint8_t errorByte = 0; // of the answer, or of the refusal
    // A failed answer held a frame of the right form whose check failed (see StatusPacketFramer).
    bool badFrame = false;
};

// One servo of a multi-servo read: the span asked of it (the sync kinds ask every servo the same)
// and its return delay where known (negative: the longest a servo can have).
struct MultiReadItem
{
    uint8_t id = 0;
    uint16_t address = 0;
    uint16_t length = 0;
    int returnDelayUs = -1;
};

// The program's way onto the bus: one transaction at a time on one port, in the protocol set
// for it (Protocol 2 unless told otherwise), each with a deadline. Whole, checked answers reach the caller's callback once; every failure
// reaches transactionFailed (and the request's own failure callback, if it gave one).
class SerialHelper : public QObject
{
    Q_OBJECT

public:
    using ResponseCallback = std::function<void(QByteArray)>;
    using FailureCallback = std::function<void(FailureKind, const RequestInfo&, uint8_t errorByte)>;
    using Completion = std::function<void(const BusResult&)>;
    // Every servo's result of a multi-servo read, in the items' order.
    using MultiCompletion = std::function<void(const QList<MultiReadAnswer>&)>;

    SerialHelper();
    ~SerialHelper() override;

    std::vector<std::shared_ptr<SerialPortItem>> getSerialPortList();
    QString openSerialPort(QString portName, int baudRate);
    void closeSerialPort();
    // The port open again at `baudRate` (nothing happens when it is open at that rate already);
    // the error text, empty when it is open.
    QString reopenAt(int baudRate);
    bool isOpen() const { return _open; }
    // The protocol of the next opening; an open port is opened again in it.
    void setProtocol(BusProtocol protocol);
    BusProtocol protocol() const { return _protocol; }
    int baudRate() const { return _baudRate; }
    // The port last opened.
    QString portName() const { return _portName; }

    // The one way a request goes out: `done` is told its result once, when the answer is whole or
    // the request failed (a request that cannot be sent fails as NotSent before this returns, and
    // a reboot or reset is answered before it returns); false when it was not sent. Every failure
    // also reaches transactionFailed, except a write's refusal, which reaches writeAcknowledged.
    bool submit(const BusRequest& request, Completion done);
    // Wrappers over submit() for callers that take the answer and the failure apart.
    bool ping(uint8_t id, ResponseCallback callback, FailureCallback onFailure = {});
    bool readData(uint8_t id, uint8_t address, uint8_t length, ResponseCallback callback,
                  FailureCallback onFailure = {});
    // The answer callback of a write is never called; the write's outcome goes to
    // writeAcknowledged or transactionFailed (and onFailure). A request that could not be sent
    // returns false and is reported as NotSent.
    bool writeData(uint8_t id, uint8_t address, const QByteArray& data, ResponseCallback callback,
                   FailureCallback onFailure = {});
    bool reboot(uint8_t id, ResponseCallback callback, FailureCallback onFailure = {});
    bool reset(uint8_t id, ResponseCallback callback, FailureCallback onFailure = {});

    // One multi-servo read as one transaction: its deadline covers the request, every answer and
    // each servo's return delay; each servo's answer is framed and checked on its own, so a servo
    // that is silent or answers corrupt fails alone. `done` is told every result once, at the end
    // (before this returns when nothing was sent: all NotSent, and false). A sync kind needs every
    // item at the same span. Failures go to `done` only, not to transactionFailed: the caller
    // knows which servos it asked.
    bool multiRead(MultiReadKind kind, const QList<MultiReadItem>& items, MultiCompletion done);
    // Sync write: `data` (the same size for every servo) to `address` of each servo. No servo
    // answers, so the transaction ends as the packet leaves; false when it was not sent.
    bool syncWrite(uint16_t address, const std::vector<Kestrabus::SyncWriteItem>& items);

    // True while a transaction waits for its answer or its deadline.
    bool isBusy() const { return _pending; }
    // Drops the transaction in progress without reporting it.
    void cancelTransaction();

    // Port failure while open (adapter unplugged, read error), called in this object's thread.
    void setPortErrorCallback(std::function<void(QString)> callback);

    // Every packet sent, every byte received (in a transaction or between them) and each
    // transaction's outcome go to the recorder; none (the default): nothing is recorded.
    void setTrafficRecorder(TrafficRecorder* recorder);
    TrafficRecorder* trafficRecorder() const;

    // True when a status packet's error byte (in the Protocol 2 form every outcome carries) says the instruction was not carried out (the
    // hardware alert bit alone does not).
    static bool isRefusal(uint8_t errorByte);

    // The line-time arithmetic under the names callers know it by (see linetime).

    static constexpr int defaultAdapterAllowanceUs = linetime::defaultAdapterAllowanceUs;
    static int transactionDeadlineMs(int baudRate, int requestBytes, int answerBytes,
                                     int adapterAllowanceUs = defaultAdapterAllowanceUs)
    {
        return linetime::transactionDeadlineMs(baudRate, requestBytes, answerBytes, adapterAllowanceUs);
    }
    static int readRequestBytes(BusProtocol protocol) { return linetime::readRequestBytes(protocol); }
    static int readAnswerBytes(BusProtocol protocol, int length)
    {
        return linetime::readAnswerBytes(protocol, length);
    }
    // The same for the port that is open now.
    int transactionDeadlineMs(int requestBytes, int answerBytes) const;
    int adapterAllowanceUs() const { return _adapterAllowanceUs; }

    // Broadcast ping: every servo answers in turn, in id order. Collects every valid status packet
    // that arrives within windowMs and hands them over, in arrival order, when the window ends
    // (an empty list when none came; a request that was not sent reports NotSent instead).
    bool pingAll(int windowMs, std::function<void(QList<QByteArray>)> callback,
                 FailureCallback onFailure = {});
    // A window long enough for every id up to highestId to answer a broadcast ping in its turn.
    static int broadcastPingWindowMs(int baudRate, int highestId, int adapterAllowanceUs)
    {
        return linetime::broadcastPingWindowMs(baudRate, highestId, adapterAllowanceUs);
    }

    void readDataCallback();
    void writeDataCallback();

signals:
    void queueRequest(unsigned char id, unsigned char address, const QByteArray& data,
                      std::function<void(QByteArray)> callback);
    void startScheduler(int);
    void stopScheduler();

    void transactionFailed(FailureKind kind, const RequestInfo& request, uint8_t errorByte);
    void writeAcknowledged(const RequestInfo& request, uint8_t errorByte);

private:
    enum class Collector
    {
        Answer,
        Write,
        Several,
        Multi,
        Unanswered
    };
    static Completion completionOf(ResponseCallback callback, FailureCallback onFailure);
    bool startTransaction(const RequestInfo& info, int requestBytes, int expectedAnswerBytes, Completion done,
                          Collector collector, const std::function<bool(std::function<void()>)>& send,
                          const QByteArray& echo = {});
    void collect();
    void finishWithPacket(const QByteArray& packet);
    void finishWithFailure(FailureKind kind, uint8_t errorByte);
    void finishCollecting();
    void collectMulti(const QByteArray& bytes);
    void finishMulti();
    bool sendMultiRead(MultiReadKind kind, const QList<MultiReadItem>& items, std::function<void()> collector);
    void report(FailureKind kind, const RequestInfo& request, uint8_t errorByte, const Completion& done);
    void endTransaction(TrafficOutcome outcome);
    void installBusCallbacks();
    void readBetweenTransactions();

    // Protocol 1 answers carry no marker of their own: the request is kept to tell its echo.
    QByteArray protocol1Request(uint8_t id, uint8_t instruction, const QByteArray& parameters) const;

    std::shared_ptr<Kestrabus> _kestrabus;
    BusProtocol _protocol = BusProtocol::Two;
    ProtocolSizes _sizes = ProtocolSizes::of(BusProtocol::Two);
    std::function<void(QString)> _portErrorCallback;
    Completion _completion;
    int _expectedLength = 0;

    StatusPacketFramer _framer;
    RequestInfo _request;
    Collector _collector = Collector::Answer;
    bool _pending = false;
    bool _open = false;
    int _baudRate = 1000000;
    QString _portName;
    quint64 _transaction = 0; // counts transactions, so a handler can tell that a new one began
    int _adapterAllowanceUs = defaultAdapterAllowanceUs;
    std::function<void(QList<QByteArray>)> _severalCallback;
    int _windowMs = 0;
    QList<QByteArray> _collected;
    QTimer _deadline;
    QElapsedTimer _sinceSend;
    int _deadlineMs = 0;
    bool _lookedAgain = false;
    QPointer<TrafficRecorder> _traffic;
    // The multi-servo read under way.
    MultiAnswerFramer _multiFramer;
    MultiCompletion _multiCompletion;
    int _multiDeadlineMs = 0;
    QByteArray _lastSent; // the packet last written, the echo a looped-back line returns
};
