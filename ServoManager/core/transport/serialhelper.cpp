#include "core/transport/serialhelper.h"

#include "core/transport/portdiagnostics.h"

#include "core/protocol/readanswer.h"
#include "core/traffic/trafficrecorder.h"
#include "core/transport/portlatency.h"

namespace {

// Protocol 2 sizes, for the broadcast ping (which Protocol 1 servos do not answer).
constexpr int instructionOverhead = 10;
constexpr int statusOverhead = 11;
constexpr int pingParameters = 3; // model number (2), firmware version

constexpr uint8_t instructionPing = 0x01;
constexpr uint8_t instructionRead = 0x02;
constexpr uint8_t instructionWrite = 0x03;
constexpr uint8_t instructionReset = 0x06;
constexpr uint8_t instructionReboot = 0x08;

constexpr uint8_t broadcastId = 0xFE;
// A deadline timer this late means the thread was busy.
constexpr int lateDeadlineMs = 1;

// Bits 0-6 of a status packet's error byte hold the error number; bit 7 only flags a hardware
// alert, the instruction itself was carried out.
constexpr uint8_t errorNumberMask = 0x7F;

} // namespace

SerialHelper::SerialHelper() : _kestrabus(std::make_shared<Kestrabus>(this, 2))
{
    qRegisterMetaType<FailureKind>();
    qRegisterMetaType<RequestInfo>();
    qRegisterMetaType<uint8_t>("uint8_t");
    installBusCallbacks();
    _deadline.setSingleShot(true);
    _deadline.setTimerType(Qt::PreciseTimer);
    connect(&_deadline, &QTimer::timeout, this, [this] {
        if (!_pending)
            return;
        // The deadline can come due while this thread was busy elsewhere (a repaint, say): the
        // request may have left only now, or the answer may be waiting unread. That lateness is
        // ours, not the servo's, so it gets the whole wait once more, counted from now. A
        // broadcast's window only needs a last look at what arrived meanwhile.
        if (!_lookedAgain && _sinceSend.elapsed() > _deadlineMs + lateDeadlineMs) {
            _lookedAgain = true;
            _deadline.start(_collector == Collector::Several ? lateDeadlineMs : _deadlineMs);
            return;
        }
        // An answer may be waiting at the port, not yet announced: it is an answer all the same.
        const quint64 transaction = _transaction;
        _kestrabus->collectArrivedData();
        if (!_pending || transaction != _transaction)
            return;
        if (_collector == Collector::Several)
            finishCollecting();
        else if (_collector == Collector::Multi)
            finishMulti();
        else
            finishWithFailure(_framer.failureKind(), 0);
    });
}

SerialHelper::~SerialHelper() = default;

std::vector<std::shared_ptr<SerialPortItem>> SerialHelper::getSerialPortList()
{
    return _kestrabus->getSerialPortList();
}

QString SerialHelper::openSerialPort(QString portName, int baudRate)
{
    cancelTransaction();
    const QString error = _kestrabus->openSerialPort(portName, baudRate);
    // Some devices open as if they were a port and swallow every request.
    if (const QString notSerial = notSerialPortText(portName); !notSerial.isEmpty()) {
        if (error.isEmpty())
            _kestrabus->closeSerialPort();
        _open = false;
        return notSerial;
    }
    _open = error.isEmpty();
    if (_open) {
        _portName = portName;
        _baudRate = baudRate;
        _adapterAllowanceUs = probePortLatency(portName).allowanceUs();
    }
    return error;
}

QString SerialHelper::reopenAt(int baudRate)
{
    if (_open && _baudRate == baudRate)
        return {};
    const QString port = _portName;
    closeSerialPort();
    return openSerialPort(port, baudRate);
}

void SerialHelper::closeSerialPort()
{
    cancelTransaction();
    _kestrabus->closeSerialPort();
    _open = false;
}

void SerialHelper::setPortErrorCallback(std::function<void(QString)> callback)
{
    _portErrorCallback = callback;
    _kestrabus->setPortErrorCallback(std::move(callback));
}

void SerialHelper::setTrafficRecorder(TrafficRecorder* recorder)
{
    _traffic = recorder;
    // A transaction under way is recorded from here on, without its request.
    if (recorder && _pending)
        recorder->requestSent(_protocol, {});
}

TrafficRecorder* SerialHelper::trafficRecorder() const
{
    return _traffic;
}

void SerialHelper::installBusCallbacks()
{
    // Bytes between transactions are read as they come, so late answers, noise and other masters
    // show in the traffic when they happen, and nothing waits in the port for the next request.
    _kestrabus->setIdleDataCallback([this] { readBetweenTransactions(); });
    _kestrabus->setSentCallback([this](const QByteArray& packet) {
        _lastSent = packet;
        if (_traffic)
            _traffic->requestSent(_protocol, packet);
    });
}

void SerialHelper::readBetweenTransactions()
{
    const QByteArray bytes = _kestrabus->readPendingSerialData();
    if (_traffic && !bytes.isEmpty())
        _traffic->received(_protocol, bytes);
}

void SerialHelper::setProtocol(BusProtocol protocol)
{
    if (protocol == _protocol)
        return;
    // Between Protocol 1 and its Feetech flavour only the meaning of the answers changes: the
    // port stays open, and a transaction under way keeps its framing.
    if (hasProtocol1Form(protocol) && hasProtocol1Form(_protocol)) {
        _protocol = protocol;
        _framer.setProtocol(protocol);
        return;
    }
    const bool wasOpen = _open;
    if (wasOpen)
        closeSerialPort();
    // The library speaks one protocol per object; Feetech servos take Protocol 1's packets.
    _kestrabus = std::make_shared<Kestrabus>(this, hasProtocol1Form(protocol) ? 1 : 2);
    if (_portErrorCallback)
        _kestrabus->setPortErrorCallback(_portErrorCallback);
    installBusCallbacks();
    _protocol = protocol;
    _sizes = ProtocolSizes::of(protocol);
    _framer.setProtocol(protocol);
    if (wasOpen)
        openSerialPort(_portName, _baudRate);
}

QByteArray SerialHelper::protocol1Request(uint8_t id, uint8_t instruction, const QByteArray& parameters) const
{
    if (!hasProtocol1Form(_protocol))
        return {};
    QByteArray packet("\xFF\xFF", 2);
    packet.append(char(id));
    packet.append(char(parameters.size() + 2));
    packet.append(char(instruction));
    packet.append(parameters);
    packet.append(char(StatusPacketFramer::checksum1(
        reinterpret_cast<const uint8_t*>(packet.constData()) + 2, packet.size() - 2)));
    return packet;
}

int SerialHelper::transactionDeadlineMs(int requestBytes, int answerBytes) const
{
    return transactionDeadlineMs(_baudRate, requestBytes, answerBytes, _adapterAllowanceUs);
}

bool SerialHelper::pingAll(int windowMs, std::function<void(QList<QByteArray>)> callback,
                           FailureCallback onFailure)
{
    _windowMs = windowMs;
    const bool sent = startTransaction(
        {broadcastId, instructionPing, 0, 0}, instructionOverhead, statusOverhead + pingParameters,
        completionOf({}, std::move(onFailure)), Collector::Several,
        [&](std::function<void()> collector) { return _kestrabus->ping(broadcastId, collector); });
    if (_pending && _collector == Collector::Several)
        _severalCallback = std::move(callback);
    return sent;
}

bool SerialHelper::submit(const BusRequest& request, Completion done)
{
    const uint8_t id = request.id;
    const uint8_t address = request.address;
    const uint8_t length = request.length;
    using Kind = BusRequest::Kind;
    switch (request.kind) {
    case Kind::Ping:
        return startTransaction(
            {id, instructionPing, 0, 0}, _sizes.instructionOverhead,
            _sizes.statusOverhead + _sizes.pingParameters, std::move(done), Collector::Answer,
            [&](std::function<void()> collector) { return _kestrabus->ping(id, collector); },
            protocol1Request(id, instructionPing, {}));
    case Kind::Read:
        return startTransaction(
            {id, instructionRead, address, length}, readRequestBytes(_protocol),
            readAnswerBytes(_protocol, length), std::move(done), Collector::Answer,
            [&](std::function<void()> collector) {
                return _kestrabus->readData(id, address, length, collector);
            },
            protocol1Request(id, instructionRead, QByteArray().append(char(address)).append(char(length))));
    case Kind::Write:
        return startTransaction(
            {id, instructionWrite, address, static_cast<int>(request.data.size())},
            _sizes.instructionOverhead + _sizes.addressBytes + request.data.size(), _sizes.statusOverhead,
            std::move(done), Collector::Write,
            [&](std::function<void()> collector) {
                return _kestrabus->writeData(id, address, request.data, collector);
            },
            protocol1Request(id, instructionWrite, QByteArray(1, char(address)) + request.data));
    case Kind::Reboot:
        return startTransaction(
            {id, instructionReboot, 0, 0}, _sizes.instructionOverhead, _sizes.statusOverhead, std::move(done),
            Collector::Answer,
            [&](std::function<void()> collector) { return _kestrabus->reboot(id, collector); },
            protocol1Request(id, instructionReboot, {}));
    case Kind::Reset:
        return startTransaction(
            {id, instructionReset, 0, 0}, _sizes.instructionOverhead + _sizes.resetOptionBytes,
            _sizes.statusOverhead, std::move(done), Collector::Answer,
            [&](std::function<void()> collector) {
                return _kestrabus->reset(
                    id, request.data.isEmpty() ? uint8_t(0x01) : uint8_t(request.data.at(0)), collector);
            },
            protocol1Request(id, instructionReset, {}));
    }
    return false;
}

SerialHelper::Completion SerialHelper::completionOf(ResponseCallback callback, FailureCallback onFailure)
{
    if (!callback && !onFailure)
        return {};
    return [callback = std::move(callback), onFailure = std::move(onFailure)](const BusResult& result) {
        if (result.answered) {
            if (callback)
                callback(result.answer);
        } else if (onFailure) {
            onFailure(result.failure, result.request, result.errorByte);
        }
    };
}

bool SerialHelper::ping(uint8_t id, ResponseCallback callback, FailureCallback onFailure)
{
    return submit(BusRequest::ping(id), completionOf(std::move(callback), std::move(onFailure)));
}

bool SerialHelper::readData(uint8_t id, uint8_t address, uint8_t length, ResponseCallback callback,
                            FailureCallback onFailure)
{
    return submit(BusRequest::read(id, address, length),
                  completionOf(std::move(callback), std::move(onFailure)));
}

bool SerialHelper::writeData(uint8_t id, uint8_t address, const QByteArray& data, ResponseCallback callback,
                             FailureCallback onFailure)
{
    Q_UNUSED(callback) // a write's answer is told through writeAcknowledged
    return submit(BusRequest::write(id, address, data), completionOf({}, std::move(onFailure)));
}

bool SerialHelper::reboot(uint8_t id, ResponseCallback callback, FailureCallback onFailure)
{
    return submit(BusRequest::reboot(id), completionOf(std::move(callback), std::move(onFailure)));
}

bool SerialHelper::reset(uint8_t id, ResponseCallback callback, FailureCallback onFailure)
{
    return submit(BusRequest::reset(id), completionOf(std::move(callback), std::move(onFailure)));
}

bool SerialHelper::startTransaction(const RequestInfo& info, int requestBytes, int expectedAnswerBytes,
                                    Completion done, Collector collector,
                                    const std::function<bool(std::function<void()>)>& send,
                                    const QByteArray& echo)
{
    // A caller that starts a new request before the last one ended gives that one up; it is
    // reported once the new one is under way, so a handler that starts yet another request
    // cannot overwrite this one unreported.
    const bool supersedes = _pending;
    const FailureKind supersededKind = _framer.failureKind();
    const RequestInfo supersededRequest = _request;
    const Completion supersededCompletion = _completion;
    const MultiCompletion supersededMulti = supersedes ? _multiCompletion : nullptr;
    QList<MultiReadAnswer> supersededAnswers;
    if (supersededMulti) {
        _multiFramer.finish();
        supersededAnswers = _multiFramer.answers();
    }
    _multiCompletion = nullptr;
    if (_traffic) {
        if (supersedes) {
            _traffic->transactionEnded(trafficOutcomeOf(supersededKind));
        } else {
            // What came since the last look is read before the request's write clears the port.
            // Inside an arrival's callback the port announces nothing new: it is read here.
            _kestrabus->collectArrivedData();
            readBetweenTransactions();
        }
    }

    // One library connection per transaction, and nothing carried over from the last one.
    _kestrabus->cleanUp();
    ++_transaction;
    _framer.reset(info.id, expectedAnswerBytes, echo);
    _request = info;
    _expectedLength = expectedAnswerBytes;
    _completion = std::move(done);
    _collector = collector;
    _pending = true;
    _collected.clear();
    _sinceSend.start();
    _lookedAgain = false;
    _deadlineMs = collector == Collector::Several ? _windowMs
                  : collector == Collector::Multi ? _multiDeadlineMs
                                                  : transactionDeadlineMs(requestBytes, expectedAnswerBytes);
    _deadline.start(_deadlineMs);

    const bool sent =
        send(collector == Collector::Write ? std::function<void()>([this] { writeDataCallback(); })
                                           : std::function<void()>([this] { readDataCallback(); }));
    if (!sent && _pending) {
        // A request to many servos tells its own caller, servo by servo.
        if (collector == Collector::Multi || collector == Collector::Unanswered)
            endTransaction(TrafficOutcome::NotSent);
        else
            finishWithFailure(FailureKind::NotSent, 0);
    }
    if (supersededMulti)
        supersededMulti(supersededAnswers);
    else if (supersedes)
        report(supersededKind, supersededRequest, 0, supersededCompletion);
    return sent;
}

void SerialHelper::readDataCallback()
{
    collect();
}

void SerialHelper::writeDataCallback()
{
    collect();
}

void SerialHelper::collect()
{
    const QByteArray bytes = _kestrabus->readPendingSerialData();
    if (_traffic && !bytes.isEmpty())
        _traffic->received(_protocol, bytes);
    if (!_pending || bytes.isEmpty())
        return;
    if (_collector == Collector::Multi) {
        collectMulti(bytes);
        return;
    }
    if (_collector == Collector::Several) {
        // Every answer of the train, until the window ends.
        for (auto state = _framer.feed(bytes); state == StatusPacketFramer::State::Complete;
             state = _framer.feed({}))
            _collected.append(_framer.packet());
        return;
    }
    if (_framer.feed(bytes) == StatusPacketFramer::State::Complete)
        finishWithPacket(_framer.packet());
}

void SerialHelper::finishWithPacket(const QByteArray& packet)
{
    const RequestInfo request = _request;
    const uint8_t errorByte = readanswer::errorByte(packet, _protocol);
    const Collector collector = _collector;
    const Completion done = _completion;
    const bool whole = packet.size() == _expectedLength;
    const bool refused = collector == Collector::Write ? isRefusal(errorByte) : !whole;
    endTransaction(refused ? TrafficOutcome::Refused : TrafficOutcome::Answered);

    if (collector == Collector::Write) {
        emit writeAcknowledged(request, errorByte);
        if (done)
            done({!refused, packet, FailureKind::Refused, request, errorByte});
        return;
    }
    if (!whole) {
        // An error status without the data asked for: nothing to decode.
        report(FailureKind::Refused, request, errorByte, done);
        return;
    }
    if (done)
        done({true, packet, FailureKind::Timeout, request, errorByte});
}

void SerialHelper::finishCollecting()
{
    const auto callback = _severalCallback;
    const QList<QByteArray> packets = _collected;
    endTransaction(packets.isEmpty() ? TrafficOutcome::NoAnswer : TrafficOutcome::Answered);
    if (callback)
        callback(packets);
}

void SerialHelper::finishWithFailure(FailureKind kind, uint8_t errorByte)
{
    const RequestInfo request = _request;
    const Completion done = _completion;
    const bool badFrame = _framer.sawBadFrame();
    endTransaction(trafficOutcomeOf(kind));
    emit transactionFailed(kind, request, errorByte);
    if (done)
        done({false, {}, kind, request, errorByte, badFrame});
}

void SerialHelper::report(FailureKind kind, const RequestInfo& request, uint8_t errorByte,
                          const Completion& done)
{
    emit transactionFailed(kind, request, errorByte);
    if (done)
        done({false, {}, kind, request, errorByte});
}

void SerialHelper::cancelTransaction()
{
    if (_pending)
        endTransaction(TrafficOutcome::Cancelled);
}

void SerialHelper::endTransaction(TrafficOutcome outcome)
{
    _pending = false;
    _deadline.stop();
    _completion = nullptr;
    _severalCallback = nullptr;
    _multiCompletion = nullptr;
    _collected.clear();
    _kestrabus->cleanUp();
    // Before any callback of the caller, which may send the next request.
    if (_traffic)
        _traffic->transactionEnded(outcome);
}

bool SerialHelper::isRefusal(uint8_t errorByte)
{
    return (errorByte & errorNumberMask) != 0;
}
