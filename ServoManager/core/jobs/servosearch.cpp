#include "core/jobs/servosearch.h"

#include "core/jobs/searchhelper.h"
#include "core/model/modelregistry.h"
#include "core/protocol/readanswer.h"
#include "core/transport/portlatency.h"
#include "core/transport/serialhelper.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>

namespace {

constexpr int probeRequestBytes = 14; // read instruction with address and length
constexpr int probeAnswerBytes = 11 + ModelRegistry::identityBytes; // status packet with its data
// Events are let in at least this often while a long probe runs.
constexpr int eventSliceMs = 50;
// The worker's own deadline ends every probe; this only bounds a stalled worker.
constexpr int stalledWorkerMs = 1000;
// Reporting progress for every 10 ms probe would cost the caller more than the probes.
constexpr int progressRefreshMs = 100;

} // namespace

ServoSearch::ServoSearch(SearchPlan plan)
    : _plan(std::move(plan)), _adapterAllowanceUs(probePortLatency(_plan.portName).allowanceUs())
{
}

ServoSearch::~ServoSearch()
{
    _abort = true;
    if (_helper)
        stopWorker();
}

int ServoSearch::probeWaitMs(int baudRate, int adapterAllowanceUs)
{
    return SerialHelper::transactionDeadlineMs(baudRate, probeRequestBytes, probeAnswerBytes,
                                               adapterAllowanceUs);
}

QString ServoSearch::modelText(int modelNumber)
{
    if (modelNumber < 0)
        return {};
    if (const auto described = ModelRegistry::shared().byNumber(modelNumber))
        return described->caption;
    return QCoreApplication::translate("ServoSearch", "unknown model (%1)").arg(modelNumber);
}

int ServoSearch::probeDeadlineMs(int baudRate) const
{
    return _plan.quick ? SerialHelper::broadcastPingWindowMs(baudRate, _plan.upper, _adapterAllowanceUs)
                       : probeWaitMs(baudRate, _adapterAllowanceUs);
}

void ServoSearch::abort()
{
    _abort = true;
}

void ServoSearch::run()
{
    if (_running)
        return;
    _running = true;
    _abort = false;
    _probesMade = 0;
    _portError.clear();
    _found.clear();
    _progressShown.invalidate();
    if (!_plan.rates.isEmpty())
        startWorker();

    for (int r = 0; r < _plan.rates.size() && !_abort && _portError.isEmpty(); ++r) {
        const int rate = _plan.rates[r];
        if (pingsInstead()) {
            showProgress(r, _plan.lower);
            QCoreApplication::processEvents();
            if (_abort)
                break;
            const QList<QByteArray> answers = pingRate(rate);
            for (const QByteArray& answer : answers) {
                // The answer train may hold an id twice (two servos set alike) or one found earlier.
                const int id = readanswer::servoId(answer);
                if (id >= _plan.lower && id <= _plan.upper && !hasId(id))
                    addServo(rate, id, BusProtocol::Two, answer, true);
            }
        }
        // Protocol by protocol, so the port changes protocol once per rate, not once per id.
        for (BusProtocol protocol : probedProtocols()) {
            for (int id = _plan.lower; id <= _plan.upper && !_abort && _portError.isEmpty(); ++id) {
                if (hasId(id))
                    continue; // found at a slower rate, or in the other protocol
                showProgress(r, id);
                QCoreApplication::processEvents(); // clicks, repaints and abort(), between probes
                if (_abort)
                    break;
                const QByteArray answer = readId(id, rate, protocol);
                if (!answer.isEmpty())
                    addServo(rate, id, protocol, answer, false);
            }
        }
    }

    if (_helper)
        stopWorker();
    _running = false;
}

bool ServoSearch::pingsInstead() const
{
    return _plan.quick && _plan.protocols.contains(BusProtocol::Two);
}

QList<BusProtocol> ServoSearch::probedProtocols() const
{
    // Protocol 1 servos are asked id by id, quick search or not.
    QList<BusProtocol> protocols;
    for (BusProtocol protocol : _plan.protocols) {
        if (!protocols.contains(protocol) && !(protocol == BusProtocol::Two && pingsInstead()))
            protocols.append(protocol);
    }
    return protocols;
}

QByteArray ServoSearch::readId(int id, int baudRate, BusProtocol protocol)
{
    const int probe = _helper->expectProbe();
    SearchHelper* helper = _helper.get();
    QMetaObject::invokeMethod(
        helper, [helper, id, baudRate, protocol] { helper->scanServo(id, baudRate, protocol); },
        Qt::QueuedConnection);
    ++_probesMade;
    if (onReadSent)
        onReadSent(id, baudRate, protocol);
    if (!awaitProbe(probe, probeWaitMs(baudRate, _adapterAllowanceUs)))
        return {};
    _portError = _helper->openError();
    return _helper->getData();
}

QList<QByteArray> ServoSearch::pingRate(int baudRate)
{
    const int probe = _helper->expectProbe();
    SearchHelper* helper = _helper.get();
    const int highestId = _plan.upper;
    QMetaObject::invokeMethod(
        helper, [helper, baudRate, highestId] { helper->quickScan(baudRate, highestId); },
        Qt::QueuedConnection);
    ++_probesMade;
    if (onPingSent)
        onPingSent(baudRate, highestId);
    if (!awaitProbe(probe, SerialHelper::broadcastPingWindowMs(baudRate, highestId, _adapterAllowanceUs)))
        return {};
    _portError = _helper->openError();
    return _helper->answers();
}

bool ServoSearch::awaitProbe(int probe, int expectedMs)
{
    const int limitMs = 2 * expectedMs + stalledWorkerMs;
    QElapsedTimer clock;
    clock.start();
    bool cancelled = false;
    for (;;) {
        const int leftMs = static_cast<int>(std::max<qint64>(0, limitMs - clock.elapsed()));
        if (_helper->waitForProbe(probe, std::min(eventSliceMs, leftMs)))
            return true;
        if (leftMs == 0)
            return false;
        // A slow line or a broadcast window can take seconds: keep the caller responsive meanwhile.
        QCoreApplication::processEvents();
        if (_abort && !cancelled) {
            SearchHelper* helper = _helper.get();
            QMetaObject::invokeMethod(
                helper, [helper] { helper->cancel(); }, Qt::QueuedConnection);
            cancelled = true;
        }
    }
}

void ServoSearch::addServo(int baudRate, int id, BusProtocol protocol, const QByteArray& answer, bool pinged)
{
    FoundServo servo;
    servo.baudRate = baudRate;
    servo.id = id;
    servo.protocol = protocol;
    const QByteArray table = readanswer::table(answer);
    if (!pinged) {
        const ModelRegistry::Identity identity = ModelRegistry::shared().identify(table, int(protocol));
        servo.modelNumber = identity.modelNumber;
        servo.firmware = identity.firmware;
    } else if (table.size() >= 3) {
        servo.modelNumber = static_cast<int>(readanswer::valueAt(answer, 0, 2));
        servo.firmware = static_cast<int>(readanswer::valueAt(answer, 2, 1));
    }
    servo.answer = answer;
    _found.append(servo);
    if (onFound)
        onFound(_found.last());
}

bool ServoSearch::hasId(int id) const
{
    return std::any_of(_found.cbegin(), _found.cend(),
                       [id](const FoundServo& servo) { return servo.id == id; });
}

void ServoSearch::showProgress(int rateIndex, int nextId)
{
    if (!onProgress)
        return;
    if (_progressShown.isValid() && !_progressShown.hasExpired(progressRefreshMs))
        return;
    _progressShown.start();
    // Every probe still to come is assumed to wait its whole deadline.
    int remaining = 0;
    qint64 leftMs = 0;
    for (int r = rateIndex; r < _plan.rates.size(); ++r) {
        int reads = 0;
        for (int id = r == rateIndex ? nextId : _plan.lower; id <= _plan.upper; ++id)
            reads += hasId(id) ? 0 : 1;
        reads *= static_cast<int>(probedProtocols().size());
        const int pings = pingsInstead() ? 1 : 0;
        remaining += reads + pings;
        leftMs += static_cast<qint64>(reads) * probeWaitMs(_plan.rates[r], _adapterAllowanceUs) +
                  static_cast<qint64>(pings) *
                      SerialHelper::broadcastPingWindowMs(_plan.rates[r], _plan.upper, _adapterAllowanceUs);
    }
    onProgress(_probesMade, _probesMade + remaining, leftMs);
}

void ServoSearch::startWorker()
{
    _thread = std::make_unique<QThread>();
    _helper = std::make_shared<SearchHelper>(_plan.portName);
    _helper->moveToThread(_thread.get());
    _thread->start();
}

void ServoSearch::stopWorker()
{
    // The port and its notifiers belong to the worker thread: they are closed there, and the
    // helper comes back to the thread that ran the search.
    SearchHelper* helper = _helper.get();
    QThread* home = QThread::currentThread();
    QMetaObject::invokeMethod(
        helper, [helper, home] { helper->release(home); }, Qt::BlockingQueuedConnection);
    _thread->quit();
    _thread->wait();
    _helper.reset();
    _thread.reset();
}
