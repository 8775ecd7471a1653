#include "core/session/uischeduler.h"

#include "core/model/fieldcatalogue.h"
#include "core/model/idevice.h"
#include "core/model/locksequence.h"
#include "core/protocol/readanswer.h"
#include "core/session/devicehelper.h"
#include "core/session/servoviews.h"
#include "core/settings/settingshelper.h"
#include "core/units/unitshelper.h"

#include <QTimerEvent>

#include <algorithm>

namespace {
constexpr uint8_t instructionRead = 0x02;
constexpr uint8_t instructionWrite = 0x03;
} // namespace

UiScheduler::UiScheduler(int id, std::shared_ptr<SerialHelper> serial, std::shared_ptr<DeviceHelper> device,
                         ServoViews* views)
    : _id(id), _serial(std::move(serial)), _device(std::move(device)), _views(views), _units(storedUnits()),
      _follower(_serial), _sideReads(_serial), _multi(_serial)
{
    qRegisterMetaType<ServoSamples>();
    followMoves();
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

// Settings of a model with a lock go between its opening and closing; the close goes to the
// servo where the settings moved it, as every queued write goes to the servo polled then.
void UiScheduler::addWrite(const GroupWrite& write)
{
    const std::shared_ptr<IDevice> device = _device->getDevice();
    if (!device) {
        _writes.queue(write);
        return;
    }
    _writes.queue(lockSequence(FieldCatalogue(*device), {write}));
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
    _sideReads.drop(); // the transaction in flight is dropped with the connection
    _sampler.stop();
    _multi.stop();
    _follower.stop();
    disconnect(_serial.get(), nullptr, this, nullptr);
}

void UiScheduler::timerEvent(QTimerEvent*)
{
    if (_follower.isBusy())
        return;
    if (_serial->isBusy()) {
        _statistics.recordSkippedTick();
        _tickDeferred = true;
        return;
    }
    sendNext();
}

void UiScheduler::setBusRoster(RosterLink* roster)
{
    _sideReads.setRoster(roster);
    if (roster)
        roster->setConnected(_id, _serial->baudRate(), int(_serial->protocol()));
}

void UiScheduler::setUnits(const PhysicalQuantities& units)
{
    _units = units;
    if (_liveDecoder)
        renewDecoder(_device->getDevice());
}

void UiScheduler::sendNext()
{
    _tickDeferred = false;
    _sinceTick.start();
    if (_writes.mayWrite())
        writeData();
    else
        readAllData();
}

// The request layer ends a transaction before it reports the outcome, so the request of a
// deferred tick can start from here.
void UiScheduler::onTransactionEnded()
{
    if (_timerId == 0 || _follower.isBusy() || _serial->isBusy())
        return;
    if (!_tickDeferred) {
        if (!isFastSampling())
            sendSideRead();
        else if (_writes.mayWrite())
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
    const size_t verifies = _writes.waitingForRead();
    _serial->readData(static_cast<uint8_t>(_id), 0, static_cast<uint8_t>(device->getMemoryUpperLimit()),
                      [this, verifies](QByteArray response) {
                          readAllDataCallback(response);
                          for (const FinishedWrite& done : _writes.judge(verifies, _lastTable))
                              emit writeFinished(done.write, done.outcome);
                      });
}

void UiScheduler::readAllDataCallback(QByteArray response)
{
    const qint64 arrivalNs = LiveValueDecoder::monotonicNs();
    pollAnswered();
    _sampler.pollAnswered();
    _multi.pollAnswered();
    _lastTable = readanswer::table(response);
    if (RosterLink* roster = _sideReads.roster())
        roster->tableRead(
            _id, _lastTable,
            readanswer::isProtocol1(response) ? readanswer::alarmsOf(response, _serial->protocol()) : -1);
    const std::shared_ptr<IDevice> device = _device->getDevice();
    if (!_liveDecoder || _liveDecoder->device() != device.get())
        renewDecoder(device);
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

// The model and the unit choice stand for a connection: a new model gets a new decoder.
void UiScheduler::renewDecoder(std::shared_ptr<const IDevice> device)
{
    const bool wasFast = isFastSampling();
    _liveDecoder = std::make_unique<LiveValueDecoder>(
        std::move(device), std::make_shared<UnitsHelper>(std::make_shared<PhysicalQuantities>(_units)));
    _sampler.setDecoder(_liveDecoder.get());
    applySampledServos();
    retime(wasFast);
}

void UiScheduler::writeData()
{
    const std::optional<WriteVerifier::Outgoing> outgoing = _writes.send(_lastTable);
    if (!outgoing)
        return;
    const quint64 number = outgoing->number;
    const bool sent = _serial->writeData(static_cast<uint8_t>(_id), outgoing->write.address(), outgoing->data,
                                         [this](QByteArray response) { writeDataCallback(response); });
    // One that could not be sent may have been reported already, and another write sent since.
    if (!sent && _writes.isInFlight(number))
        endWrite(WriteVerifier::notSent(tr("the request could not be sent")));
}

void UiScheduler::writeDataCallback(QByteArray) {}

void UiScheduler::pingCallback(QByteArray) {}

void UiScheduler::controlEnableCallback(QByteArray) {}

void UiScheduler::ping()
{
    _serial->ping(static_cast<uint8_t>(_id), [this](QByteArray response) { pingCallback(response); });
}

// Side reads keep to the time left before the next tick, so the connected servo's polls keep
// their interval.
void UiScheduler::sendSideRead()
{
    if (_writes.hasQueued() || !_sinceTick.isValid())
        return;
    const qint64 leftUs = qint64(_interval) * 1000 - _sinceTick.nsecsElapsed() / 1000;
    _sideReads.sendNext(leftUs, [this] { onTransactionEnded(); });
}

void UiScheduler::setFastSampling(const std::array<bool, liveChannelCount>& wanted)
{
    const bool wasFast = isFastSampling();
    _sampler.setWanted(wanted, _liveDecoder.get());
    retime(wasFast);
    // The line may be idle, with no transaction to end and start the first read.
    onTransactionEnded();
}

// The ticks keep their phase while fast sampling, and then keep the interval's rate only on a
// precise timer: a coarse one may fire up to 5 % late every time.
void UiScheduler::retime(bool wasFastSampling)
{
    if (_timerId != 0 && wasFastSampling != isFastSampling()) {
        killTimer(_timerId);
        _timerId = startTimer(_interval, isFastSampling() ? Qt::PreciseTimer : Qt::CoarseTimer);
    }
}

void UiScheduler::sendSpanRead()
{
    if (_multi.isSampling()) {
        sendMultiRead();
        return;
    }
    const std::optional<SpanSampler::Read> read = _sampler.next();
    if (!read)
        return;
    const int address = read->address;
    // One that cannot be sent is reported as failed, which holds the span reads.
    _serial->readData(uint8_t(_id), uint8_t(address), uint8_t(read->length),
                      [this, address](QByteArray response) { spanAnswered(response, address); });
}

void UiScheduler::spanAnswered(const QByteArray& response, int address)
{
    const qint64 arrivalNs = LiveValueDecoder::monotonicNs();
    _sampler.answered();
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
    _sampler.failed(kind);
    _statistics.recordFailure(kind);
    pollFailed();
    emit sampleMissed();
    onTransactionEnded();
}

void UiScheduler::onTransactionFailed(FailureKind kind, const RequestInfo& request, uint8_t errorByte)
{
    // The sampler's reads are judged servo by servo where they end.
    if (_multi.isInFlight())
        return;
    if (_sampler.isInFlight() && request.instruction == instructionRead) {
        spanFailed(kind);
        return;
    }
    if (_sideReads.failed(request.id, kind)) {
        onTransactionEnded();
        return;
    }
    _statistics.recordFailure(kind);
    if (request.instruction == instructionWrite) {
        // Before the next request goes out: it may be the next write.
        endWrite(WriteVerifier::failedWith(kind, errorByte));
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
    endWrite(WriteVerifier::answeredWith(errorByte));
    onTransactionEnded();
}

void UiScheduler::endWrite(const WriteOutcome& outcome)
{
    QList<FinishedWrite> unsent;
    const std::optional<GroupWrite> write = _writes.answered(outcome, &unsent);
    if (!write)
        return;
    if (outcome.answer != WriteOutcome::Answer::Acknowledged)
        _statistics.recordWriteProblem(write->address(), outcome.problem);
    for (const FinishedWrite& done : unsent)
        emit writeFinished(done.write, done.outcome);
    if (outcome.answer != WriteOutcome::Answer::NotSent && write->movesServo())
        follow(*write, outcome);
}

void UiScheduler::follow(const GroupWrite& write, const WriteOutcome& outcome)
{
    const BusAddress from{_id, _serial->baudRate()};
    const int newRate = write.newBaudCode >= 0 ? write.newBaudRate : 0;
    const BusAddress to{write.newId >= 0 ? write.newId : _id, newRate > 0 ? newRate : from.baudRate};
    _follower.follow(from, to, outcome.answer);
}

void UiScheduler::followMoves()
{
    connect(&_follower, &MoveFollower::addressChanged, this, [this](int id, int baudRate) {
        _id = id;
        if (RosterLink* roster = _sideReads.roster())
            roster->connectedMoved(id, baudRate, int(_serial->protocol()));
    });
    // Silence while the servo was looked for is not its silence.
    connect(&_follower, &MoveFollower::resumed, this, [this] {
        _failedPolls = 0;
        _sinceAnswer.restart();
    });
    connect(&_follower, &MoveFollower::servoMoved, this, &UiScheduler::servoMoved);
    connect(&_follower, &MoveFollower::servoNotFound, this, [this](const QList<BusAddress>& tried) {
        // Nothing can show what became of the writes: say so instead of judging them, and send
        // no more to a servo nobody knows the address of.
        const QList<FinishedWrite> dropped = _writes.dropAll(tr("the servo was not found"));
        emit servoNotFound(tried);
        for (const FinishedWrite& done : dropped)
            emit writeFinished(done.write, done.outcome);
    });
    connect(&_follower, &MoveFollower::portFailed, this, &UiScheduler::portFailed);
}

void UiScheduler::pollFailed()
{
    ++_failedPolls;
    if (_answering && _failedPolls >= silentAfterPolls && _sinceAnswer.elapsed() >= silentAfterMs) {
        _answering = false;
        if (RosterLink* roster = _sideReads.roster())
            roster->connectedSilent(_id, true);
        emit servoAnswering(false, QDateTime::currentDateTime().addMSecs(-_sinceAnswer.elapsed()));
    }
}

void UiScheduler::pollAnswered()
{
    _failedPolls = 0;
    _sinceAnswer.restart();
    if (!_answering) {
        _answering = true;
        if (RosterLink* roster = _sideReads.roster())
            roster->connectedSilent(_id, false);
        emit servoAnswering(true, QDateTime::currentDateTime());
    }
}

QString UiScheduler::abandonWrites()
{
    const QString text = _writes.abandon();
    _follower.abandon();
    return text;
}

void UiScheduler::setSampledServos(const QList<SampledServo>& others, const std::array<bool, liveChannelCount>& wanted)
{
    const bool wasFast = isFastSampling();
    _sampledOthers = others;
    _sampledWanted = wanted;
    applySampledServos();
    retime(wasFast);
    onTransactionEnded();
}

// The connected servo leads, with the model and units of its connection.
void UiScheduler::applySampledServos()
{
    QList<SampledServo> servos;
    const std::shared_ptr<const IDevice> device = _device->getDevice();
    if (!_sampledOthers.isEmpty() && device) {
        servos.append({_id, device});
        for (const SampledServo& other : _sampledOthers)
            if (other.id != _id)
                servos.append(other);
    }
    const QList<SampledServoLayout> before = _multi.layouts();
    _multi.setServos(servos, _sampledWanted,
                     std::make_shared<UnitsHelper>(std::make_shared<PhysicalQuantities>(_units)));
    const QList<SampledServoLayout> after = _multi.layouts();
    const auto sameId = [](const SampledServoLayout& a, const SampledServoLayout& b) { return a.id == b.id; };
    const bool sameIds =
        before.size() == after.size() && std::equal(before.begin(), before.end(), after.begin(), sameId);
    if (!sameIds)
        emit sampledServosChanged();
}

void UiScheduler::sendMultiRead()
{
    _multi.sendNext([this](const ServoSamples& samples) { multiReadEnded(samples); });
}

void UiScheduler::multiReadEnded(const ServoSamples& samples)
{
    for (const ServoSample& sample : samples) {
        if (!sample.answered)
            _statistics.recordFailure(sample.failure);
        if (sample.id != _id)
            continue;
        if (sample.answered)
            pollAnswered();
        else
            pollFailed();
    }
    // The next read is on the line while these answers are handled.
    onTransactionEnded();
    if (samples.isEmpty())
        return; // a read of servos no longer sampled
    QElapsedTimer handling;
    handling.start();
    emit servoSamples(samples);
    _statistics.recordFastSample(handling.nsecsElapsed());
}
