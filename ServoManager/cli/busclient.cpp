#include "cli/busclient.h"

#include "core/model/idevice.h"
#include "core/model/modeldescription.h"
#include "core/protocol/readanswer.h"
#include "core/session/devicehelper.h"
#include "core/session/servosession.h"
#include "core/transport/busreply.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/serialhelper.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace {
// Every request ends by its own deadline; this only bounds a request layer that never reports.
constexpr int stalledMs = 5000;
// A write is judged by a read after it; the scheduler polls this often meanwhile.
constexpr int writePollMs = 1;

// Runs the event loop until `done` holds, looking again whenever one of the watched signals
// arrives; false when the limit passed first.
class SignalWait
{
public:
    explicit SignalWait(std::function<bool()> done) : _done(std::move(done)) {}

    template <typename Sender, typename Signal> SignalWait& on(const Sender* sender, Signal signal)
    {
        QObject::connect(sender, signal, &_loop, [this] { _loop.quit(); });
        return *this;
    }

    bool run(int limitMs)
    {
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &_loop, &QEventLoop::quit);
        limit.start(limitMs);
        while (!_done() && limit.isActive())
            _loop.exec();
        return _done();
    }

private:
    std::function<bool()> _done;
    QEventLoop _loop;
};
} // namespace

BusClient::BusClient(QString portName, int baudRate, int id, BusProtocol protocol)
    : _portName(std::move(portName)), _baudRate(baudRate), _id(id), _serial(std::make_shared<SerialHelper>()),
      _deviceHelper(std::make_shared<DeviceHelper>(_serial)),
      _session(std::make_unique<ServoSession>(_serial, _deviceHelper))
{
    _serial->setProtocol(protocol);
}

BusClient::~BusClient()
{
    _session->close();
}

QString BusClient::noAnswerText(const QString& what) const
{
    return QStringLiteral("no answer from servo %1 at %2 baud in Protocol %3 on %4%5")
        .arg(_id)
        .arg(_baudRate)
        .arg(static_cast<int>(_serial->protocol()))
        .arg(_portName, what.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(what));
}

void BusClient::treatUnknownAs(std::shared_ptr<const ModelDescription> description)
{
    _unknownAs = description;
    _deviceHelper->treatUnknownAs(std::move(description));
}

ExitStatus BusClient::connect()
{
    QString openError;
    FailureKind failure = FailureKind::Timeout;
    QObject context;
    ServoSession* session = _session.get();
    QObject::connect(session, &ServoSession::portFailed, &context,
                     [&](const QString& error) { openError = error; });
    QObject::connect(session, &ServoSession::identificationFailed, &context,
                     [&](int, FailureKind kind) { failure = kind; });
    int unknownNumber = -1;
    QObject::connect(_deviceHelper.get(), &DeviceHelper::unknownModel, &context,
                     [&](int, int modelNumber, int) { unknownNumber = modelNumber; });
    if (!session->open({_portName, _baudRate, _serial->protocol(), _id})) {
        _error = QStringLiteral("cannot open %1: %2").arg(_portName, portOpenErrorText(_portName, openError));
        return ExitPortFailed;
    }
    SignalWait([session, &unknownNumber] {
        return unknownNumber >= 0 || session->state() != ServoSession::State::Identifying;
    })
        .on(session, &ServoSession::identified)
        .on(session, &ServoSession::identificationFailed)
        .on(_deviceHelper.get(), &DeviceHelper::unknownModel)
        .run(stalledMs);
    if (unknownNumber >= 0) {
        // Nothing more is sent: the servo's layout is not known.
        _error = QStringLiteral("servo %1 reports model number %2, which no model description covers "
                                "(choose one with --as MODEL)")
                     .arg(_id)
                     .arg(unknownNumber);
        return ExitUnknownModel;
    }
    if (session->state() != ServoSession::State::Connected) {
        _error = noAnswerText(failureKindText(failure));
        return ExitNoAnswer;
    }
    _device = session->device();
    if (_unknownAs && _device->description().name != _unknownAs->name) {
        _error =
            QStringLiteral("--as %1: servo %2 is a %3 (model number %4), which its own description covers")
                .arg(_unknownAs->name)
                .arg(_id)
                .arg(_device->description().name)
                .arg(_deviceHelper->modelNumber());
        return ExitUsage;
    }
    _catalogue = std::make_unique<FieldCatalogue>(*_device);
    return readTable();
}

ExitStatus BusClient::readTable()
{
    BusReply reply(*_serial, BusRequest::read(static_cast<uint8_t>(_id), 0,
                                              static_cast<uint8_t>(_device->getMemoryUpperLimit())));
    SignalWait([&reply] { return reply.isFinished(); }).on(&reply, &BusReply::finished).run(stalledMs);
    const BusResult& result = reply.result();
    if (!reply.isFinished() || !result.answered) {
        QString problem;
        if (reply.isFinished())
            problem = result.failure == FailureKind::Refused ? servoErrorText(result.errorByte)
                                                             : failureKindText(result.failure);
        _error = noAnswerText(problem);
        return ExitNoAnswer;
    }
    _table = readanswer::table(result.answer);
    _alarms = readanswer::isProtocol1(result.answer)
                  ? readanswer::alarmsOf(result.answer, _serial->protocol())
                  : -1;
    return ExitDone;
}

ExitStatus BusClient::write(const QList<GroupWrite>& writes, QList<WriteOutcome>* outcomes)
{
    outcomes->clear();
    if (writes.isEmpty())
        return ExitDone;
    ServoSession* session = _session.get();
    const std::shared_ptr<UiScheduler> scheduler = session->scheduler();
    QList<WriteOutcome> finished;
    QString lost;
    bool tableRead = false;
    QObject context;
    QObject::connect(scheduler.get(), &UiScheduler::writeFinished, &context,
                     [&](const GroupWrite&, const WriteOutcome& outcome) { finished.append(outcome); });
    QObject::connect(session, &ServoSession::servoMoved, &context,
                     [&](int id, int baudRate, WriteOutcome::Answer) {
                         _id = id;
                         _baudRate = baudRate;
                     });
    QObject::connect(session, &ServoSession::servoNotFound, &context, [&] {
        lost = QStringLiteral("the servo answers neither at its old nor at its new id and rate");
    });
    QObject::connect(session, &ServoSession::portFailed, &context,
                     [&](const QString& error) { lost = error; });
    QObject::connect(session, &ServoSession::firstTable, &context, [&] { tableRead = true; });
    // A write's bytes between its fields come from the newest table read: one read first, or they
    // would be written as zeros.
    session->startPolling(writePollMs);
    SignalWait([&] { return tableRead; }).on(session, &ServoSession::firstTable).run(stalledMs);
    if (!tableRead || scheduler->lastTable().isEmpty()) {
        session->stopPolling();
        _error = noAnswerText(QStringLiteral("nothing was written"));
        return ExitNoAnswer;
    }
    for (const GroupWrite& write : writes)
        scheduler->addWrite(write);
    SignalWait(
        [&] { return finished.size() >= writes.size() || !lost.isEmpty() || !scheduler->isServoAnswering(); })
        .on(scheduler.get(), &UiScheduler::writeFinished)
        .on(scheduler.get(), &UiScheduler::servoAnswering)
        .on(session, &ServoSession::servoNotFound)
        .on(session, &ServoSession::portFailed)
        .run(stalledMs * (writes.size() + 1));
    session->stopPolling();
    _id = scheduler->servoId();
    *outcomes = finished;
    if (!lost.isEmpty()) {
        _error = lost;
        return ExitNoAnswer;
    }
    if (finished.size() < writes.size()) {
        _error = noAnswerText(QStringLiteral("it stopped answering while it was written"));
        return ExitNoAnswer;
    }
    _table = scheduler->lastTable();
    return ExitDone;
}

ExitStatus BusClient::poll(int intervalMs,
                           const std::function<bool(const QByteArray& table, qint64 arrivalNs)>& onTable)
{
    const std::shared_ptr<UiScheduler> scheduler = _session->scheduler();
    bool done = false;
    bool silent = false;
    QEventLoop loop;
    QObject::connect(scheduler.get(), &UiScheduler::liveSample, &loop, [&](const LiveSample& sample) {
        if (!done && !onTable(scheduler->lastTable(), sample.arrivalNs)) {
            done = true;
            loop.quit();
        }
    });
    QObject::connect(scheduler.get(), &UiScheduler::servoAnswering, &loop,
                     [&](bool answering, const QDateTime&) {
                         if (!answering) {
                             silent = done = true;
                             loop.quit();
                         }
                     });
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &loop, &QEventLoop::quit);
    _session->startPolling(intervalMs);
    if (!done)
        loop.exec();
    _session->stopPolling();
    _table = scheduler->lastTable();
    if (silent) {
        _error = noAnswerText(QStringLiteral("it stopped answering"));
        return ExitNoAnswer;
    }
    return ExitDone;
}

ExitStatus BusClient::maintenance(bool reset, uint8_t resetOption)
{
    // The bus library waits for the servo's answer itself (up to a second): the outcome is known
    // when the request returns.
    bool answered = false;
    auto onAnswer = [&](QByteArray) { answered = true; };
    const bool sent = reset ? _deviceHelper->triggerDeviceReset(_id, onAnswer, {}, resetOption)
                            : _deviceHelper->triggerDeviceReboot(_id, onAnswer);
    if (!sent) {
        _error = QStringLiteral("the %1 request could not be sent").arg(reset ? "factory reset" : "reboot");
        return ExitNoAnswer;
    }
    if (!answered) {
        _error = QStringLiteral("no answer from servo %1 to the %2 request")
                     .arg(_id)
                     .arg(reset ? "factory reset" : "reboot");
        return ExitNoAnswer;
    }
    return ExitDone;
}
