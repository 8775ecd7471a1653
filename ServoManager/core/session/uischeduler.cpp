#include "core/session/uischeduler.h"

#include "core/model/idevice.h"
#include "core/protocol/readanswer.h"
#include "core/session/devicehelper.h"
#include "core/session/servoviews.h"

#include <QTimer>

#include <algorithm>

namespace {
constexpr uint8_t instructionRead = 0x02;
constexpr uint8_t instructionWrite = 0x03;

bool overlaps(const WriteField& a, const WriteField& b)
{
    return a.address < b.address + b.size && b.address < a.address + a.size && (a.mask & b.mask) != 0;
}
} // namespace

QString servoMovedText(int id, int baudRate, WriteOutcome::Answer answer)
{
    QString text = id >= 0 && baudRate > 0
                       ? UiScheduler::tr("Servo id changed to %1 and baud rate to %2").arg(id).arg(baudRate)
                   : id >= 0 ? UiScheduler::tr("Servo id changed to %1").arg(id)
                             : UiScheduler::tr("Baud rate changed to %1").arg(baudRate);
    if (answer == WriteOutcome::Answer::Lost)
        text += UiScheduler::tr(" (the acknowledgement was lost)");
    else if (answer == WriteOutcome::Answer::Refused)
        text += UiScheduler::tr(" (although the servo reported an error)");
    return text;
}

UiScheduler::UiScheduler(int id, std::shared_ptr<SerialHelper> serial, std::shared_ptr<DeviceHelper> device,
                         ServoViews* views)
    : _id(id), _serial(std::move(serial)), _device(std::move(device)), _views(views)
{
    qRegisterMetaType<GroupWrite>();
    qRegisterMetaType<WriteOutcome>();
    if (_views)
        _views->attach(*this);
}

UiScheduler::~UiScheduler()
{
    stopScheduler();
}

void UiScheduler::addQueueRequest(uint8_t address, const QByteArray& data)
{
    QList<WriteField> fields;
    for (int i = 0; i < data.size(); ++i)
        fields.append({QString(), address + i, 1, uint8_t(data.at(i)), 0xFF});
    addWrite(GroupWrite(fields));
}

void UiScheduler::addWrite(const GroupWrite& write)
{
    if (write.isEmpty())
        return;
    auto request = std::make_shared<QueueRequest>();
    request->id = static_cast<uint8_t>(_id);
    request->write = write;
    request->callback = [this](QByteArray response) { writeDataCallback(response); };
    _queue.push_back(request);
}

void UiScheduler::startScheduler(int pollingInterval)
{
    if (_timerId != 0)
        return;
    connect(_serial.get(), &SerialHelper::transactionFailed, this, &UiScheduler::onTransactionFailed);
    connect(_serial.get(), &SerialHelper::writeAcknowledged, this, &UiScheduler::onWriteAcknowledged);
    _interval = pollingInterval;
    _tickDeferred = false;
    _sinceAnswer.start(); // identification has just been answered
    _timerId = startTimer(pollingInterval, Qt::CoarseTimer);
}

void UiScheduler::stopScheduler()
{
    if (_timerId == 0)
        return;
    killTimer(_timerId);
    _timerId = 0;
    _sideRead.reset(); // the transaction in flight is dropped with the connection
    _spanInFlight = false;
    disconnect(_serial.get(), nullptr, this, nullptr);
}

void UiScheduler::timerEvent(QTimerEvent*)
{
    if (_paused)
        return;
    if (_serial->isBusy()) {
        _statistics.recordSkippedTick();
        _tickDeferred = true;
        return;
    }
    sendNext();
}

void UiScheduler::setBusRoster(BusRoster* roster)
{
    _roster = roster;
    if (_roster)
        _roster->setConnected(_id, _serial->baudRate(), int(_serial->protocol()));
}

void UiScheduler::sendNext()
{
    _tickDeferred = false;
    _sinceTick.start();
    if (!_queue.empty() && writesHeld())
        writeData();
    else
        readAllData();
}

// A write whose answer was refused or lost leaves the servo's state unknown: nothing more is
// written over it until a read has shown that state.
bool UiScheduler::writesHeld() const
{
    for (const Unverified& entry : _unverified) {
        if (entry.outcome.answer != WriteOutcome::Answer::Acknowledged || entry.differedBefore)
            return false;
    }
    return true;
}

// The request layer ends a transaction before it reports the outcome, so the request of a
// deferred tick can start from here.
void UiScheduler::onTransactionEnded()
{
    if (_timerId == 0 || _paused || _serial->isBusy())
        return;
    if (!_tickDeferred) {
        if (!isFastSampling())
            sendSideRead();
        else if (!_queue.empty() && writesHeld())
            writeData(); // before the next sample, not at the next tick
        else
            sendSpanRead();
        return;
    }
    // The ticks start over from this request, so the next one is a whole interval away. While
    // fast sampling nearly every tick finds a span read on the line: the ticks keep their phase
    // instead, or each poll would slip by up to a span read and the polls fall behind.
    if (!isFastSampling()) {
        killTimer(_timerId);
        _timerId = startTimer(_interval, Qt::CoarseTimer);
    }
    sendNext();
}

void UiScheduler::readAllData()
{
    const std::shared_ptr<IDevice> device = _device->getDevice();
    if (!device)
        return;
    // Every write ended before this read goes out, so its answer shows what they left behind.
    const size_t verifies = _unverified.size();
    _serial->readData(static_cast<uint8_t>(_id), 0, static_cast<uint8_t>(device->getMemoryUpperLimit()),
                      [this, verifies](QByteArray response) {
                          readAllDataCallback(response);
                          verify(verifies);
                      });
}

void UiScheduler::readAllDataCallback(QByteArray response)
{
    const qint64 arrivalNs = LiveValueDecoder::monotonicNs();
    pollAnswered();
    _spanHeld = false;
    _spanFailuresInRow = 0;
    _lastTable = readanswer::table(response);
    if (_roster)
        _roster->tableRead(_id, _lastTable, readanswer::isProtocol1(response) ? readanswer::alarmsOf(response) : -1);
    // The model and the unit choice stand for a connection; a new model gets a new decoder.
    const std::shared_ptr<IDevice> device = _device->getDevice();
    if (!_liveDecoder || _liveDecoder->device() != device.get()) {
        _liveDecoder = std::make_unique<LiveValueDecoder>(device, FieldCore::currentUnits());
        updateSpan();
    }
    // The next request first: it is on the line while this answer is decoded.
    onTransactionEnded();
    QElapsedTimer decodeTime;
    decodeTime.start();
    if (ServoViews* views = _views)
        views->showAnswer(response);
    emit liveSample(_liveDecoder->decode(response, arrivalNs));
    // Includes what plotting and recording do with the values.
    _statistics.recordPoll(decodeTime.nsecsElapsed());
    emit tableDecoded();
}

// The first `count` writes waiting for a read are judged by the table just read. A field that a
// later write of the same batch wrote again is judged with that later write only.
void UiScheduler::verify(size_t count)
{
    count = std::min(count, _unverified.size());
    QList<QPair<GroupWrite, WriteOutcome>> finished;
    for (size_t i = 0; i < count; ++i) {
        Unverified entry = _unverified.front();
        const GroupWrite& write = entry.request->write;
        QList<WriteField> judged;
        for (const WriteField& field : write.fields()) {
            bool superseded = false;
            // The entry judged is at the front; the later ones of the batch follow it.
            for (size_t later = 1; later + i < count && !superseded; ++later) {
                for (const WriteField& other : _unverified.at(later).request->write.fields())
                    superseded = superseded || overlaps(field, other);
            }
            if (!superseded)
                judged.append(field);
        }
        const GroupWrite subset(judged);
        entry.outcome.check = subset.check(_lastTable);
        if (!entry.outcome.check.allHeld() && !entry.differedBefore) {
            // A late answer of an earlier read looks just like this read's: a write is only
            // called not written when a second read agrees. Written needs no second look, an
            // answer from before the write cannot hold what it wrote.
            _unverified.front().differedBefore = true;
            break;
        }
        _unverified.pop_front();
        if (!entry.outcome.check.allHeld()) {
            // Reported against the write as queued.
            const WriteField& differing = subset.fields().at(entry.outcome.check.firstDiffering);
            for (int f = 0; f < write.fields().size(); ++f) {
                if (write.fields().at(f).address == differing.address && write.fields().at(f).name == differing.name)
                    entry.outcome.check.firstDiffering = f;
            }
        }
        entry.outcome.readBack = true;
        finished.append({write, entry.outcome});
    }
    for (const auto& [write, outcome] : finished)
        emit writeFinished(write, outcome);
}

QByteArray UiScheduler::expectedTable() const
{
    QByteArray table = _lastTable;
    for (const Unverified& entry : _unverified) {
        const GroupWrite& write = entry.request->write;
        if (entry.outcome.answer != WriteOutcome::Answer::Acknowledged)
            continue;
        const QByteArray block = write.block(table);
        if (table.size() < write.address() + write.length())
            table.append(QByteArray(write.address() + write.length() - table.size(), '\0'));
        table.replace(write.address(), write.length(), block);
    }
    return table;
}

void UiScheduler::writeData()
{
    const std::shared_ptr<QueueRequest> request = _queue.front();
    _queue.erase(_queue.begin());
    request->id = static_cast<uint8_t>(_id);
    _writeInFlight = request;
    const QByteArray data = request->write.block(expectedTable());
    if (!_serial->writeData(request->id, request->write.address(), data, request->callback) &&
        _writeInFlight == request) {
        WriteOutcome outcome;
        outcome.answer = WriteOutcome::Answer::NotSent;
        outcome.problem = tr("the request could not be sent");
        endWrite(outcome);
    }
}

void UiScheduler::writeDataCallback(QByteArray) {}

void UiScheduler::pingCallback(QByteArray) {}

void UiScheduler::controlEnableCallback(QByteArray) {}

void UiScheduler::ping()
{
    _serial->ping(static_cast<uint8_t>(_id), [this](QByteArray response) { pingCallback(response); });
}

// Side reads go out while the line time they need, and two milliseconds for the way there and back,
// fits before the next tick, so the connected servo's polls keep their interval.
void UiScheduler::sendSideRead()
{
    if (!_roster || !_queue.empty() || !_sinceTick.isValid())
        return;
    constexpr int overheadUs = 2000;
    constexpr int shortReadBytes = 14 + 11 + 24; // a read request and an answer with a short span
    const qint64 expectedUs = qint64(shortReadBytes) * 10 * 1000000 / std::max(1, _serial->baudRate()) + overheadUs;
    if (_sinceTick.nsecsElapsed() / 1000 + expectedUs > qint64(_interval) * 1000)
        return;
    _sideRead = _roster->nextSideRead(_serial->baudRate(), int(_serial->protocol()));
    if (!_sideRead)
        return;
    const SideRead read = *_sideRead;
    auto answered = [this, read](QByteArray response) {
        _sideRead.reset();
        if (_roster)
            _roster->sideReadAnswered(read, response);
        onTransactionEnded();
    };
    // A Protocol 1 ping's answer carries no model number: the first three bytes of the table
    // (model number, firmware) are read instead, which the roster takes as a ping's answer.
    constexpr int identityBytes = 3;
    const bool ping = read.ping && _serial->protocol() == BusProtocol::Two;
    const bool identity = read.ping && !ping;
    const bool sent = ping ? _serial->ping(uint8_t(read.id), answered)
                           : _serial->readData(uint8_t(read.id), identity ? 0 : uint8_t(read.address),
                                               identity ? identityBytes : uint8_t(read.length), answered);
    if (!sent)
        _sideRead.reset();
}

void UiScheduler::setFastSampling(const std::array<bool, liveChannelCount>& wanted)
{
    _wantedChannels = wanted;
    updateSpan();
    // The line may be idle, with no transaction to end and start the first read.
    onTransactionEnded();
}

void UiScheduler::updateSpan()
{
    const bool wasFast = isFastSampling();
    const bool any = std::any_of(_wantedChannels.begin(), _wantedChannels.end(), [](bool on) { return on; });
    _span = _liveDecoder && any ? _liveDecoder->spanOf(_wantedChannels) : SampledSpan();
    _tableLength = _liveDecoder && _liveDecoder->device() ? _liveDecoder->device()->getMemoryUpperLimit() : 0;
    // The ticks keep their phase while fast sampling, and then keep the interval's rate only on a
    // precise timer: a coarse one may fire up to 5 % late every time.
    if (_timerId != 0 && wasFast != isFastSampling()) {
        killTimer(_timerId);
        _timerId = startTimer(_interval, isFastSampling() ? Qt::PreciseTimer : Qt::CoarseTimer);
    }
}

void UiScheduler::sendSpanRead()
{
    if (_span.isEmpty() || _spanHeld)
        return;
    int address = _span.address;
    int length = _span.length;
    if (_spanResized) {
        if (address + length < _tableLength)
            ++length;
        else if (address > 0) {
            --address;
            ++length;
        }
    }
    _spanInFlight = true;
    // One that cannot be sent is reported as failed, which holds the span reads.
    _serial->readData(uint8_t(_id), uint8_t(address), uint8_t(length),
                      [this, address](QByteArray response) { spanAnswered(response, address); });
}

void UiScheduler::spanAnswered(const QByteArray& response, int address)
{
    const qint64 arrivalNs = LiveValueDecoder::monotonicNs();
    _spanInFlight = false;
    _spanFailuresInRow = 0;
    pollAnswered();
    // The next read is on the line while this answer is handled.
    onTransactionEnded();
    QElapsedTimer handling;
    handling.start();
    if (_liveDecoder)
        emit liveSample(_liveDecoder->decodeSpan(response, address, arrivalNs));
    _statistics.recordFastSample(handling.nsecsElapsed());
}

void UiScheduler::spanFailed(FailureKind kind)
{
    _spanInFlight = false;
    _statistics.recordFailure(kind);
    if (kind == FailureKind::Timeout || kind == FailureKind::Incomplete)
        _spanResized = !_spanResized;
    // Reads failing in a row mean trouble on the line (late answers coming in a train, say): the
    // polls alone go on until one is answered. A read that was not sent would fail again at once.
    if (++_spanFailuresInRow >= 2 || kind == FailureKind::NotSent)
        _spanHeld = true;
    pollFailed();
    emit sampleMissed();
    onTransactionEnded();
}

void UiScheduler::onTransactionFailed(FailureKind kind, const RequestInfo& request, uint8_t errorByte)
{
    if (_spanInFlight && request.instruction == instructionRead) {
        spanFailed(kind);
        return;
    }
    if (_sideRead && request.id == _sideRead->id) {
        // Another servo's silence is not the connected servo's.
        const SideRead read = *_sideRead;
        _sideRead.reset();
        if (_roster)
            _roster->sideReadFailed(read, kind);
        onTransactionEnded();
        return;
    }
    _statistics.recordFailure(kind);
    if (request.instruction == instructionWrite) {
        // Before the next request goes out: it may be the next write.
        WriteOutcome outcome;
        outcome.answer = kind == FailureKind::Refused   ? WriteOutcome::Answer::Refused
                         : kind == FailureKind::NotSent ? WriteOutcome::Answer::NotSent
                                                        : WriteOutcome::Answer::Lost;
        outcome.errorByte = errorByte;
        outcome.problem = kind == FailureKind::Refused ? servoErrorText(errorByte) : failureKindText(kind);
        endWrite(outcome);
    } else if (request.instruction == instructionRead) {
        if (kind == FailureKind::Refused)
            if (ServoViews* views = _views)
                views->showRefusal(errorByte);
        pollFailed();
        if (isFastSampling())
            emit sampleMissed();
    }
    onTransactionEnded();
}

void UiScheduler::onWriteAcknowledged(const RequestInfo&, uint8_t errorByte)
{
    WriteOutcome outcome;
    if (SerialHelper::isRefusal(errorByte)) {
        outcome.answer = WriteOutcome::Answer::Refused;
        outcome.problem = servoErrorText(errorByte);
    }
    outcome.errorByte = errorByte;
    endWrite(outcome);
    onTransactionEnded();
}

void UiScheduler::endWrite(WriteOutcome outcome)
{
    const std::shared_ptr<QueueRequest> request = std::move(_writeInFlight);
    _writeInFlight.reset();
    if (!request)
        return;
    if (outcome.answer != WriteOutcome::Answer::Acknowledged)
        _statistics.recordWriteProblem(request->write.address(), outcome.problem);
    if (outcome.answer == WriteOutcome::Answer::NotSent) {
        // Nothing reached the servo: nothing to read back.
        emit writeFinished(request->write, outcome);
        return;
    }
    _unverified.push_back({request, outcome});
    if (request->write.movesServo())
        follow(request->write, outcome);
}

// An acknowledged write moved the servo: it answers at its new address from now on. Otherwise
// the program cannot know where it is and looks.
void UiScheduler::follow(const GroupWrite& write, const WriteOutcome& outcome)
{
    const int newRate = write.newBaudCode >= 0 ? SerialHelper::baudRateOfCode(write.newBaudCode) : 0;
    if (outcome.answer == WriteOutcome::Answer::Acknowledged) {
        moveTo(write.newId >= 0 ? write.newId : _id, newRate > 0 ? newRate : _serial->baudRate(), outcome.answer);
        return;
    }
    const BusAddress old{_id, _serial->baudRate()};
    const BusAddress moved{write.newId >= 0 ? write.newId : _id, newRate > 0 ? newRate : old.baudRate};
    _paused = true;
    if (_locator)
        _locator->deleteLater();
    _locator = new ServoLocator(_serial, {old, moved, {moved.id, old.baudRate}, {old.id, moved.baudRate}});
    _locator->setParent(this);
    const WriteOutcome::Answer answer = outcome.answer;
    connect(_locator, &ServoLocator::found, this, [this, old, answer](const BusAddress& where) {
        _locator->deleteLater();
        _locator = nullptr;
        _id = where.id;
        if (_roster)
            _roster->connectedMoved(where.id, where.baudRate, int(_serial->protocol()));
        resume();
        if (!(where == old))
            emit servoMoved(where.id, where.baudRate, answer);
    });
    connect(_locator, &ServoLocator::notFound, this, [this] {
        const QList<BusAddress> tried = _locator->candidates();
        _locator->deleteLater();
        _locator = nullptr;
        resume();
        // Nothing can show what became of the writes: say so instead of judging them, and send
        // no more to a servo nobody knows the address of.
        std::deque<Unverified> abandoned;
        abandoned.swap(_unverified);
        std::vector<std::shared_ptr<QueueRequest>> unsent;
        unsent.swap(_queue);
        emit servoNotFound(tried);
        for (const Unverified& entry : abandoned)
            emit writeFinished(entry.request->write, entry.outcome);
        WriteOutcome notSent;
        notSent.answer = WriteOutcome::Answer::NotSent;
        notSent.problem = tr("the servo was not found");
        for (const auto& request : unsent)
            emit writeFinished(request->write, notSent);
    });
    connect(_locator, &ServoLocator::portFailed, this, &UiScheduler::portFailed);
    _locator->start();
}

void UiScheduler::moveTo(int id, int baudRate, WriteOutcome::Answer answer)
{
    _id = id;
    if (_roster)
        _roster->connectedMoved(id, baudRate, int(_serial->protocol()));
    if (baudRate == _serial->baudRate()) {
        emit servoMoved(id, baudRate, answer);
        return;
    }
    // The servo listens at the new rate once its answer is out; the port follows outside the
    // request layer's own callback.
    _paused = true;
    QTimer::singleShot(0, this, [this, id, baudRate, answer] {
        if (_timerId == 0)
            return; // disconnected meanwhile
        const QString port = _serial->portName();
        _serial->closeSerialPort();
        const QString error = _serial->openSerialPort(port, baudRate);
        if (!error.isEmpty()) {
            emit portFailed(error);
            return;
        }
        resume();
        emit servoMoved(id, baudRate, answer);
    });
}

void UiScheduler::resume()
{
    _paused = false;
    // Silence while the servo was looked for is not its silence.
    _failedPolls = 0;
    _sinceAnswer.restart();
}

void UiScheduler::pollFailed()
{
    ++_failedPolls;
    if (_answering && _failedPolls >= silentAfterPolls && _sinceAnswer.elapsed() >= silentAfterMs) {
        _answering = false;
        if (_roster)
            _roster->connectedSilent(_id, true);
        emit servoAnswering(false, QDateTime::currentDateTime().addMSecs(-_sinceAnswer.elapsed()));
    }
}

void UiScheduler::pollAnswered()
{
    _failedPolls = 0;
    _sinceAnswer.restart();
    if (!_answering) {
        _answering = true;
        if (_roster)
            _roster->connectedSilent(_id, false);
        emit servoAnswering(true, QDateTime::currentDateTime());
    }
}

QString UiScheduler::abandonWrites()
{
    QString text;
    bool unacknowledged = _writeInFlight != nullptr;
    for (const Unverified& entry : _unverified)
        unacknowledged = unacknowledged || entry.outcome.answer != WriteOutcome::Answer::Acknowledged;
    if (unacknowledged)
        text = tr("Parameters may not have been written: disconnected before the servo acknowledged them");
    else if (!_unverified.empty())
        text = tr("Parameters may not have been written: disconnected before they were read back");
    else if (!_queue.empty())
        text = tr("Parameters not written: disconnected before they were sent");
    _writeInFlight.reset();
    _unverified.clear();
    _queue.clear();
    if (_locator) {
        _locator->deleteLater();
        _locator = nullptr;
    }
    _paused = false;
    return text;
}
