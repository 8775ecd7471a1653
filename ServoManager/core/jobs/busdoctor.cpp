#include "core/jobs/busdoctor.h"

#include "core/jobs/servocheck.h"
#include "core/model/modelregistry.h"
#include "core/protocol/readanswer.h"
#include "core/transport/linecheck.h"
#include "core/transport/portlatency.h"
#include "core/transport/serialhelper.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTimer>

#include <algorithm>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("BusDoctor", text);
}

using Verdict = DoctorFinding::Verdict;

// A corrupt answer is asked again this often before it counts as two servos talking at once:
// noise spoils one answer now and then, a shared id spoils every one.
constexpr int corruptRetries = 2;
constexpr uint8_t broadcastId = 0xFE;
// The longest read a request asks for.
constexpr int longestRead = 255;

QString rateText(int baudRate)
{
    return QLocale(QLocale::English).toString(baudRate) + tr(" baud");
}

QString whereText(int baudRate, BusProtocol protocol)
{
    return tr("%1 in Protocol %2").arg(rateText(baudRate), protocolText(protocol));
}

bool sameProtocol(BusProtocol a, BusProtocol b)
{
    return a == b || (hasProtocol1Form(a) && hasProtocol1Form(b));
}

} // namespace

struct BusDoctor::Probe
{
    int baudRate = 0;
    BusProtocol protocol = BusProtocol::Two;
    int id = broadcastId; // broadcastId: a broadcast ping
};

BusDoctor::BusDoctor(DoctorPlan plan, QObject* parent) : QObject(parent), _plan(std::move(plan))
{
    qRegisterMetaType<DoctorFinding>();
    qRegisterMetaType<FoundServo>();
    _report.portName = _plan.portName;
}

BusDoctor::~BusDoctor()
{
    if (_serial)
        _serial->closeSerialPort();
}

QList<int> BusDoctor::ratesOf(const DoctorPlan& plan)
{
    QList<int> rates = plan.rates.isEmpty() ? ModelRegistry::shared().baudRates() : plan.rates;
    if (plan.baudRate > 0) {
        rates.removeAll(plan.baudRate);
        rates.prepend(plan.baudRate);
    }
    return rates;
}

void BusDoctor::start()
{
    if (_running)
        return;
    _running = true;
    _stopping = false;
    _report = {};
    _report.portName = _plan.portName;
    _done = 0;
    _corruptSeen = 0;
    _collided.clear();
    _pingOnly.clear();
    _spoiledWindows.clear();
    _steps = {[this] { return checkThePort(); }, [this] { return checkTheLine(); },
              [this] { return planScan(); }};
    QTimer::singleShot(0, this, &BusDoctor::next);
}

void BusDoctor::stop()
{
    if (!_running || _stopping)
        return;
    _stopping = true;
    _report.stopped = true;
    if (_line) {
        _line->stop(); // ends in finished(), which goes on to next()
    } else if (_serial && _serial->isBusy()) {
        // A cancelled request is not reported: the run goes on from here.
        _serial->cancelTransaction();
        QTimer::singleShot(0, this, &BusDoctor::next);
    }
}

void BusDoctor::add(const DoctorFinding& finding)
{
    _report.findings.append(finding);
    emit findingAdded(finding);
}

void BusDoctor::next()
{
    if (!_running)
        return;
    // A step that ends at once says so; one that waits for the bus calls next() when it is done.
    while (!_stopping && !_steps.isEmpty()) {
        const std::function<bool()> step = _steps.takeFirst();
        ++_done;
        if (step())
            return;
    }
    finish();
}

void BusDoctor::finish()
{
    _steps.clear();
    if (_serial) {
        _serial->cancelTransaction();
        _serial->closeSerialPort();
    }
    if (_report.stopped)
        add({tr("Stopped"), Verdict::Note, tr("Stopped before every check was made."), {}});
    _running = false;
    emit progress(_done, _done, {});
    emit finished();
}

bool BusDoctor::checkThePort()
{
    emit progress(_done, _done + int(_steps.size()), tr("Looking at the port"));
    const QList<DoctorFinding> findings = checkPort(_plan.portName);
    for (const DoctorFinding& finding : findings)
        add(finding);
    if (std::any_of(findings.cbegin(), findings.cend(),
                    [](const DoctorFinding& f) { return f.isProblem(); })) {
        _report.portFailed = true;
        _steps.clear(); // the port cannot be opened: nothing further can be looked at
    } else {
        add(latencyFinding(probePortLatency(_plan.portName)));
    }
    return false;
}

bool BusDoctor::checkTheLine()
{
    const int rate = ratesOf(_plan).value(0, 1000000);
    emit progress(_done, _done + int(_steps.size()), tr("Listening to the line at %1").arg(rateText(rate)));
    _line = std::make_unique<LineCheck>(_plan.portName, rate, _plan.quietWindowMs);
    connect(_line.get(), &LineCheck::finished, this, &BusDoctor::lineChecked, Qt::QueuedConnection);
    _line->start();
    return true;
}

void BusDoctor::lineChecked()
{
    const LineCheckResult line = _line->result();
    _line.release()->deleteLater();
    if (!line.openError.isEmpty()) {
        add({tr("Opening the port"), Verdict::Problem,
             tr("%1 cannot be opened: %2.").arg(_plan.portName, line.openError),
             tr("Check that the adapter is plugged in and that no other program uses it.")});
        _report.portFailed = true;
        _steps.clear();
        next();
        return;
    }
    if (_report.stopped) {
        next();
        return;
    }
    if (line.quietBytes > 0)
        add({tr("Noise"), Verdict::Problem,
             tr("%1 bytes arrived in %2 ms while nothing was sent: noise on the line, or another "
                "controller sending on the bus.")
                 .arg(line.quietBytes)
                 .arg(line.quietMs),
             tr("Make sure nothing else drives the bus (a second adapter, a controller board), that the "
                "servos and the adapter share ground, and that the data cable is short and firmly seated.")});
    else
        add({tr("Noise"), Verdict::Fine, tr("The line stays quiet while nothing is sent."), {}});
    if (line.echoed)
        add({tr("Echo"), Verdict::Note,
             tr("The adapter gives back every byte sent (a loop-back adapter, or a half-duplex line wired "
                "without a direction switch). The program passes over the echo."),
             tr("Nothing to do with a loop-back adapter. Otherwise check the wiring: the adapter's "
                "transmit and receive lines should not be joined without a direction switch.")});
    else
        add({tr("Echo"), Verdict::Fine, tr("The adapter does not give back what it sends."), {}});
    next();
}

bool BusDoctor::ensureOpen(int baudRate, BusProtocol protocol)
{
    if (!_serial) {
        _serial = std::make_shared<SerialHelper>();
        _serial->setPortErrorCallback([this](const QString& error) {
            add({tr("Port"), Verdict::Problem, tr("The port failed: %1.").arg(error),
                 tr("Check the adapter's cable; plug it in again.")});
            _report.portFailed = true;
            _steps.clear();
            // Whether or not the request under way still ends, the run ends here (a second
            // next() after the end does nothing).
            _serial->cancelTransaction();
            QTimer::singleShot(0, this, &BusDoctor::next);
        });
    }
    if (_serial->isOpen() && _serial->baudRate() == baudRate && _serial->protocol() == protocol)
        return true;
    _serial->setProtocol(protocol);
    const QString error =
        _serial->isOpen() ? _serial->reopenAt(baudRate) : _serial->openSerialPort(_plan.portName, baudRate);
    if (error.isEmpty())
        return true;
    add({tr("Opening the port"), Verdict::Problem,
         tr("%1 cannot be opened at %2: %3.").arg(_plan.portName, rateText(baudRate), error),
         tr("Check that the adapter is plugged in, takes this rate, and that no other program uses it.")});
    _report.portFailed = true;
    _steps.clear();
    return false;
}

bool BusDoctor::planScan()
{
    for (int rate : ratesOf(_plan)) {
        // Protocol 2 has a broadcast ping; ids whose answers collided in it are asked one by one, as
        // every id is in Protocol 1, which has none.
        QList<Probe> probes{{rate, BusProtocol::Two, broadcastId}};
        for (BusProtocol protocol : {BusProtocol::Two, BusProtocol::One})
            for (int id = _plan.lower; id <= _plan.upper; ++id)
                probes.append({rate, protocol, id});
        for (const Probe& probe : probes)
            _steps.append([this, probe] { return runProbe(probe); });
    }
    _steps.append([this] { return scanEnded(); });
    return false;
}

bool BusDoctor::runProbe(const Probe& probe)
{
    if (probe.id != broadcastId && (hasId(probe.id, probe.baudRate) || hasCollided(probe.id, probe.baudRate)))
        return false;
    // Every Protocol 2 servo in range answers the broadcast ping; its ids are asked one by one only
    // where the window held a spoiled frame, to find the id two servos share.
    if (probe.protocol == BusProtocol::Two && probe.id != broadcastId &&
        !_spoiledWindows.contains(probe.baudRate))
        return false;
    if (!ensureOpen(probe.baudRate, probe.protocol))
        return false;
    const QString where = whereText(probe.baudRate, probe.protocol);
    emit progress(_done, _done + int(_steps.size()),
                  probe.id == broadcastId ? tr("Broadcast ping at %1").arg(where)
                                          : tr("Id %1 at %2").arg(probe.id).arg(where));
    if (probe.id == broadcastId) {
        const int windowMs =
            SerialHelper::broadcastPingWindowMs(probe.baudRate, _plan.upper, _serial->adapterAllowanceUs());
        _serial->pingAll(
            windowMs,
            [this, probe](const QList<QByteArray>& answers) {
                for (const QByteArray& answer : answers) {
                    // The train may hold an id twice (two servos set alike): its id probe tells.
                    const int id = readanswer::servoId(answer);
                    if (!hasId(id, probe.baudRate))
                        addServo(probe, id, answer, true);
                }
                if (_serial->windowSawBadFrame())
                    _spoiledWindows.append(probe.baudRate);
                next();
            },
            [this](FailureKind, const RequestInfo&, uint8_t) { next(); });
        return true;
    }
    _serial->submit(BusRequest::ping(uint8_t(probe.id)),
                    [this, probe](const BusResult& result) { probeEnded(probe, result); });
    return true;
}

void BusDoctor::probeEnded(const Probe& probe, const BusResult& result)
{
    // A refusal is still an answer: the servo is there, with an alarm set.
    if (result.answered || result.failure == FailureKind::Refused) {
        _corruptSeen = 0;
        if (probe.protocol == BusProtocol::Two) {
            addServo(probe, probe.id, result.answer, true);
            next();
        } else {
            identifyProtocol1(probe); // a Protocol 1 ping carries no model number
        }
        return;
    }
    // Noise spoils an answer into stray bytes; two servos at once leave a frame that fails its check.
    if (result.badFrame) {
        if (_corruptSeen++ < corruptRetries && runProbe(probe))
            return;
        collisionAt(probe);
    }
    _corruptSeen = 0;
    next();
}

void BusDoctor::identifyProtocol1(const Probe& probe)
{
    _serial->submit(BusRequest::read(uint8_t(probe.id), 0, uint8_t(ModelRegistry::identityBytes)),
                    [this, probe](const BusResult& result) {
                        if (result.answered) {
                            addServo(probe, probe.id, result.answer, false);
                        } else {
                            // It answers a ping, not a read: what it is stays unknown.
                            addServo(probe, probe.id, {}, false);
                            _pingOnly.append(int(_report.servos.size()) - 1);
                        }
                        next();
                    });
}

void BusDoctor::addServo(const Probe& probe, int id, const QByteArray& answer, bool pinged)
{
    FoundServo servo;
    servo.baudRate = probe.baudRate;
    servo.id = id;
    servo.protocol = probe.protocol;
    servo.answer = answer;
    servo.modelNumber = -1;
    if (pinged && readanswer::table(answer).size() >= 3) {
        servo.modelNumber = int(readanswer::valueAt(answer, 0, 2));
        servo.firmware = int(readanswer::valueAt(answer, 2, 1));
    } else if (!pinged && !answer.isEmpty()) {
        const ModelRegistry::Identity identity =
            ModelRegistry::shared().identify(readanswer::table(answer), int(probe.protocol));
        servo.modelNumber = identity.modelNumber;
        servo.firmware = identity.firmware;
        if (identity.protocol > 0)
            servo.protocol = BusProtocol(identity.protocol); // Feetech servos take Protocol 1's packets
    }
    _report.servos.append(servo);
    const QString model =
        servo.modelNumber >= 0 ? ServoSearch::modelText(servo.modelNumber) : tr("model unknown");
    add({tr("Servo %1").arg(id),
         Verdict::Fine,
         tr("Servo %1 (%2) answers at %3.").arg(id).arg(model, whereText(servo.baudRate, servo.protocol)),
         {}});
    emit servoFound(servo);
}

void BusDoctor::collisionAt(const Probe& probe)
{
    _collided.append({probe.id, probe.baudRate});
    if (!_report.collidedIds.contains(probe.id))
        _report.collidedIds.append(probe.id);
    add({tr("Servo %1").arg(probe.id), Verdict::Problem,
         tr("Answers to id %1 at %2 arrive corrupt every time: most likely two servos share id %1 "
            "and answer at once.")
             .arg(probe.id)
             .arg(whereText(probe.baudRate, probe.protocol)),
         tr("Connect the servos one at a time and give each its own id (Connections → Number new "
            "servos…, or %1 with only one of them connected).")
             .arg(servoCommand(_plan.portName, probe.id, probe.baudRate, probe.protocol,
                               QStringLiteral("set id=N")))});
}

bool BusDoctor::hasId(int id, int baudRate) const
{
    return std::any_of(
        _report.servos.cbegin(), _report.servos.cend(),
        [id, baudRate](const FoundServo& servo) { return servo.id == id && servo.baudRate == baudRate; });
}

bool BusDoctor::hasCollided(int id, int baudRate) const
{
    return _collided.contains({id, baudRate});
}

bool BusDoctor::scanEnded()
{
    if (_report.servos.isEmpty() && _collided.isEmpty()) {
        const QList<int> rates = ratesOf(_plan);
        add({tr("Servos"), Verdict::Problem,
             tr("No servo answered at ids %1 to %2 at %3, in Protocol 1 or 2.")
                 .arg(_plan.lower)
                 .arg(_plan.upper)
                 .arg(rates.size() == 1 ? rateText(rates.first())
                                        : tr("%1 rates (%2 to %3 baud)")
                                              .arg(rates.size())
                                              .arg(*std::min_element(rates.cbegin(), rates.cend()))
                                              .arg(*std::max_element(rates.cbegin(), rates.cend()))),
             tr("Check that the servos' supply is switched on (their LED blinks at power-up), that the "
                "data cable sits in the servo and the adapter, and that the adapter is set to the servos' "
                "bus (TTL or RS-485). A servo numbered beyond this range: Connections → Search.")});
        return false;
    }
    judgeSettings();
    for (int i = 0; i < _report.servos.size(); ++i)
        _steps.append([this, i] { return checkFoundServo(i); });
    return false;
}

void BusDoctor::judgeSettings()
{
    if (_plan.baudRate <= 0 || _report.servos.isEmpty())
        return;
    const QString settings = whereText(_plan.baudRate, _plan.protocol);
    QList<FoundServo> there;
    for (const FoundServo& servo : std::as_const(_report.servos))
        if (servo.baudRate == _plan.baudRate && sameProtocol(servo.protocol, _plan.protocol))
            there.append(servo);
    const auto byId = [this](const QList<FoundServo>& servos) {
        const auto it = std::find_if(servos.cbegin(), servos.cend(),
                                     [this](const FoundServo& servo) { return servo.id == _plan.servoId; });
        return it != servos.cend() ? *it : servos.first();
    };
    if (!there.isEmpty() && (_plan.servoId < 0 || byId(there).id == _plan.servoId)) {
        add({tr("Settings"),
             Verdict::Fine,
             tr("A servo answers where the settings point (%1).").arg(settings),
             {}});
        return;
    }
    const FoundServo pick = byId(there.isEmpty() ? _report.servos : there);
    _report.elsewhere = pick;
    const QString found =
        tr("servo %1 answers at %2").arg(pick.id).arg(whereText(pick.baudRate, pick.protocol));
    const QString text = there.isEmpty()
                             ? tr("Nothing answers at %1, where the settings point; %2.").arg(settings, found)
                             : tr("No servo %1 answers at %2, where the settings point; %3.")
                                   .arg(_plan.servoId)
                                   .arg(settings, found);
    add({tr("Settings"), Verdict::Problem, text,
         tr("Take its settings: %1, Protocol %2, id %3 (Take these settings; on the command line: %4).")
             .arg(rateText(pick.baudRate), protocolText(pick.protocol))
             .arg(pick.id)
             .arg(servoCommand(_plan.portName, pick.id, pick.baudRate, pick.protocol,
                               QStringLiteral("info")))});
}

bool BusDoctor::checkFoundServo(int index)
{
    const FoundServo servo = _report.servos.at(index);
    const auto model = ModelRegistry::shared().byNumber(servo.modelNumber);
    if (_pingOnly.contains(index)) {
        answersPingsOnly(servo, model);
        return false;
    }
    if (!model) {
        add({tr("Servo %1").arg(servo.id),
             Verdict::Note,
             tr("Servo %1 reports model number %2, which no model description covers: its settings are "
                "not looked at.")
                 .arg(servo.id)
                 .arg(servo.modelNumber),
             {}});
        return false;
    }
    if (!ensureOpen(servo.baudRate, servo.protocol))
        return false;
    emit progress(_done, _done + int(_steps.size()), tr("Reading servo %1").arg(servo.id));
    const int length = std::min(model->tableLength, longestRead);
    _serial->submit(BusRequest::read(uint8_t(servo.id), 0, uint8_t(length)),
                    [this, servo, model](const BusResult& result) {
                        servoTableRead(servo, model, result);
                        next();
                    });
    return true;
}

void BusDoctor::servoTableRead(const FoundServo& servo, const std::shared_ptr<const ModelDescription>& model,
                               const BusResult& result)
{
    if (result.answered) {
        const int alarms =
            readanswer::isProtocol1(result.answer) ? readanswer::alarmsOf(result.answer, servo.protocol) : -1;
        for (const DoctorFinding& finding :
             checkServo(servo.id, model, readanswer::table(result.answer), servo.baudRate, alarms,
                        _plan.portName, servo.protocol))
            add(finding);
    } else if (result.failure == FailureKind::Timeout) {
        answersPingsOnly(servo, model);
    } else {
        add({tr("Servo %1").arg(servo.id), Verdict::Problem,
             tr("Servo %1 answers a ping, but its control table could not be read: %2.")
                 .arg(servo.id)
                 .arg(failureKindText(result.failure)),
             tr("Check the data cable and its plugs; with long cables, try a slower rate.")});
    }
}

void BusDoctor::answersPingsOnly(const FoundServo& servo,
                                 const std::shared_ptr<const ModelDescription>& model)
{
    const ModelEntry* level = model ? model->entryWithRole(QStringLiteral("statusReturnLevel")) : nullptr;
    const QString where = level ? tr(" (address %1)").arg(level->address) : QString();
    add({tr("Status return level of servo %1").arg(servo.id), Verdict::Problem,
         tr("Servo %1 answers pings but no read: its status return level is 0, so it answers nothing "
            "else and looks absent to every other request.")
             .arg(servo.id),
         tr("Write 2 to its status return level%1: the servo carries the write out without answering "
            "it. A factory reset brings its answers back too.")
             .arg(where)});
}
