#include "cli/busclient.h"

#include "core/model/idevice.h"
#include "core/protocol/readanswer.h"
#include "core/session/devicehelper.h"
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

// Runs the event loop until `done` is set (or the stall limit passed); false on a stall.
bool waitFor(const bool& done, int limitMs = stalledMs)
{
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(limitMs);
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done)
            loop.quit();
    });
    check.start(1);
    while (!done && limit.isActive())
        loop.exec();
    return done;
}
} // namespace

BusClient::BusClient(QString portName, int baudRate, int id, BusProtocol protocol)
    : _portName(std::move(portName)), _baudRate(baudRate), _id(id), _serial(std::make_shared<SerialHelper>())
{
    _serial->setProtocol(protocol);
}

BusClient::~BusClient()
{
    if (_serial->isOpen())
        _serial->closeSerialPort();
}

QString BusClient::noAnswerText(const QString& what) const
{
    return QStringLiteral("no answer from servo %1 at %2 baud in Protocol %3 on %4%5")
        .arg(_id)
        .arg(_baudRate)
        .arg(static_cast<int>(_serial->protocol()))
        .arg(_portName, what.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(what));
}

ExitStatus BusClient::connect()
{
    const QString openError = _serial->openSerialPort(_portName, _baudRate);
    if (!openError.isEmpty()) {
        _error = QStringLiteral("cannot open %1: %2").arg(_portName, portOpenErrorText(_portName, openError));
        return ExitPortFailed;
    }
    // The window's way of telling the model: its identification read, by the process-wide helper
    // that the scheduler's live values ask for the model too.
    const auto helper = DeviceHelper::getInstance(_serial);
    bool done = false;
    bool identified = false;
    FailureKind failure = FailureKind::Timeout;
    QObject context;
    QObject::connect(helper.get(), &DeviceHelper::loadDeviceMetadata, &context, [&] { identified = done = true; });
    QObject::connect(helper.get(), &DeviceHelper::identificationFailed, &context, [&](int, FailureKind kind) {
        failure = kind;
        done = true;
    });
    helper->triggerDeviceInfoRead(_id);
    if (!waitFor(done) || !identified) {
        _error = noAnswerText(failureKindText(failure));
        return ExitNoAnswer;
    }
    _device = helper->getDevice();
    _catalogue = std::make_unique<FieldCatalogue>(*_device);
    return readTable();
}

ExitStatus BusClient::readTable()
{
    bool done = false;
    QString problem;
    const bool sent = _serial->readData(
        static_cast<uint8_t>(_id), 0, static_cast<uint8_t>(_device->getMemoryUpperLimit()),
        [&](QByteArray response) {
            _table = readanswer::table(response);
            _alarms = readanswer::isProtocol1(response) ? readanswer::alarmsOf(response) : -1;
            done = true;
        },
        [&](FailureKind kind, const RequestInfo&, uint8_t errorByte) {
            problem = kind == FailureKind::Refused ? servoErrorText(errorByte) : failureKindText(kind);
            done = true;
        });
    if (!sent || !waitFor(done) || !problem.isEmpty()) {
        _error = noAnswerText(problem);
        return ExitNoAnswer;
    }
    return ExitDone;
}

ExitStatus BusClient::write(const QList<GroupWrite>& writes, QList<WriteOutcome>* outcomes)
{
    outcomes->clear();
    if (writes.isEmpty())
        return ExitDone;
    UiScheduler scheduler(_id, _serial, DeviceHelper::getInstance());
    QList<WriteOutcome> finished;
    QString lost;
    QObject::connect(&scheduler, &UiScheduler::writeFinished,
                     [&](const GroupWrite&, const WriteOutcome& outcome) { finished.append(outcome); });
    QObject::connect(&scheduler, &UiScheduler::servoMoved, [&](int id, int baudRate, WriteOutcome::Answer) {
        _id = id;
        _baudRate = baudRate;
    });
    QObject::connect(&scheduler, &UiScheduler::servoNotFound, [&](const QList<BusAddress>&) {
        lost = QStringLiteral("the servo answers neither at its old nor at its new id and rate");
    });
    QObject::connect(&scheduler, &UiScheduler::portFailed, [&](const QString& error) { lost = error; });
    // A write's bytes between its fields come from the newest table read: one read first, or they
    // would be written as zeros.
    bool tableRead = false;
    QObject::connect(&scheduler, &UiScheduler::tableDecoded, [&] { tableRead = true; });
    scheduler.startScheduler(writePollMs);
    if (!waitFor(tableRead) || scheduler.lastTable().isEmpty()) {
        scheduler.stopScheduler();
        _error = noAnswerText(QStringLiteral("nothing was written"));
        return ExitNoAnswer;
    }
    for (const GroupWrite& write : writes)
        scheduler.addWrite(write);
    bool done = false;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        done = finished.size() >= writes.size() || !lost.isEmpty() || !scheduler.isServoAnswering();
    });
    check.start(1);
    waitFor(done, stalledMs * (writes.size() + 1));
    scheduler.stopScheduler();
    _id = scheduler.servoId();
    *outcomes = finished;
    if (!lost.isEmpty()) {
        _error = lost;
        return ExitNoAnswer;
    }
    if (finished.size() < writes.size()) {
        _error = noAnswerText(QStringLiteral("it stopped answering while it was written"));
        return ExitNoAnswer;
    }
    _table = scheduler.lastTable();
    return ExitDone;
}

ExitStatus BusClient::poll(int intervalMs,
                           const std::function<bool(const QByteArray& table, qint64 arrivalNs)>& onTable)
{
    UiScheduler scheduler(_id, _serial, DeviceHelper::getInstance());
    bool done = false;
    bool silent = false;
    QEventLoop loop;
    QObject::connect(&scheduler, &UiScheduler::liveSample, [&](const LiveSample& sample) {
        if (!done && !onTable(scheduler.lastTable(), sample.arrivalNs)) {
            done = true;
            loop.quit();
        }
    });
    QObject::connect(&scheduler, &UiScheduler::servoAnswering, [&](bool answering, const QDateTime&) {
        if (!answering) {
            silent = done = true;
            loop.quit();
        }
    });
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &loop, &QEventLoop::quit);
    scheduler.startScheduler(intervalMs);
    if (!done)
        loop.exec();
    scheduler.stopScheduler();
    _table = scheduler.lastTable();
    if (silent) {
        _error = noAnswerText(QStringLiteral("it stopped answering"));
        return ExitNoAnswer;
    }
    return ExitDone;
}

ExitStatus BusClient::maintenance(bool reset)
{
    const auto helper = DeviceHelper::getInstance(_serial);
    bool done = false;
    bool answered = false;
    auto onAnswer = [&](QByteArray) { answered = done = true; };
    auto onSilence = [&] { done = true; };
    const bool sent = reset ? helper->triggerDeviceReset(_id, onAnswer, onSilence)
                            : helper->triggerDeviceReboot(_id, onAnswer, onSilence);
    if (!sent) {
        _error = QStringLiteral("the %1 request could not be sent").arg(reset ? "factory reset" : "reboot");
        return ExitNoAnswer;
    }
    waitFor(done);
    if (!answered) {
        _error = QStringLiteral("no answer from servo %1 to the %2 request").arg(_id).arg(reset ? "factory reset" : "reboot");
        return ExitNoAnswer;
    }
    return ExitDone;
}
