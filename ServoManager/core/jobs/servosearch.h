#pragma once

#include "core/protocol/statuspacketframer.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

class QThread;
class SearchHelper;

// A servo that answered a probe: the rate it answered at, its id and model, and its status packet.
struct FoundServo
{
    int baudRate = 0;
    int id = 0;
    int modelNumber = 0;
    int firmware = -1; // when the answer carries it (a ping's does)
    BusProtocol protocol = BusProtocol::Two;
    QByteArray answer;
};

// What one search asks of the bus.
struct SearchPlan
{
    QString portName;
    QList<int> rates;   // in the order to scan (the dialog passes its ticked rates, slowest first)
    // Tried in this order at each rate. No Protocol 1 servo answers a broadcast ping: a quick
    // search is Protocol 2 only.
    QList<BusProtocol> protocols{BusProtocol::Two};
    bool quick = false; // one broadcast ping per rate instead of one read per id
    int lower = 1;
    int upper = 10;
};

// Finds the servos on a port: every id of a range at every rate of the plan, or one broadcast ping
// per rate. An id found at one rate is not looked for at the later ones. Each probe runs on a worker
// thread of the search's own (see SearchHelper); the caller's thread only waits for it, letting
// events in meanwhile, so that a window stays alive and a command-line tool can react to a signal.
class ServoSearch
{
public:
    explicit ServoSearch(SearchPlan plan);
    ~ServoSearch();
    ServoSearch(const ServoSearch&) = delete;
    ServoSearch& operator=(const ServoSearch&) = delete;

    // Runs the whole search in the calling thread (which must run a Qt event loop's thread, e.g. the GUI
    // or the main thread of a QCoreApplication), letting events in between probes and every 50 ms during one.
    // Returns when every probe is done, after abort(), or once the port failed. Each call starts afresh
    // (an abort() made before it included); a call made from an event handler while the search runs
    // returns at once.
    void run();
    void abort(); // may be called from an event handler while run() runs
    bool aborted() const { return _abort; }
    bool isRunning() const { return _running; }
    // The port could not be opened or failed; empty otherwise (raw error text; callers add
    // portOpenErrorText).
    QString portError() const { return _portError; }
    const QList<FoundServo>& found() const { return _found; }
    int probesMade() const { return _probesMade; }

    const SearchPlan& plan() const { return _plan; }
    // What the waits allow for the port's adapter (probePortLatency), in microseconds.
    int adapterAllowanceUs() const { return _adapterAllowanceUs; }
    // The longest one probe at this rate of the plan may take: a read's deadline, or a ping's window.
    int probeDeadlineMs(int baudRate) const;

    // Called when a servo answers (after it was added to found()).
    std::function<void(const FoundServo&)> onFound;
    // Probes made, probes in all, and the time left if every probe to come waits its whole deadline (ms);
    // called before each probe, at most every 100 ms (the dialog's progress refresh rule).
    std::function<void(int made, int total, qint64 leftMs)> onProgress;
    // Called as a probe is handed to the worker: a read of one id, or a broadcast ping for ids up to
    // highestId.
    std::function<void(int id, int baudRate, BusProtocol protocol)> onReadSent;
    std::function<void(int baudRate, int highestId)> onPingSent;

    // How long one probe of one id may take at this baud rate: the request layer's deadline for
    // the 14-byte read and its answer of the identity bytes.
    static int probeWaitMs(int baudRate, int adapterAllowanceUs);
    // The name a model number is shown by; empty for -1.
    static QString modelText(int modelNumber);

private:
    void startWorker();
    void stopWorker();
    QByteArray readId(int id, int baudRate, BusProtocol protocol);
    QList<QByteArray> pingRate(int baudRate);
    bool awaitProbe(int probe, int expectedMs);
    // `pinged`: the answer is a Protocol 2 ping's (model number, firmware); otherwise a read's.
    void addServo(int baudRate, int id, BusProtocol protocol, const QByteArray& answer, bool pinged);
    // A broadcast ping per rate instead of Protocol 2 reads.
    bool pingsInstead() const;
    // The protocols ids are read in one by one.
    QList<BusProtocol> probedProtocols() const;
    bool hasId(int id) const;
    void showProgress(int rateIndex, int nextId);

    SearchPlan _plan;
    int _adapterAllowanceUs = 0;
    std::shared_ptr<SearchHelper> _helper;
    std::unique_ptr<QThread> _thread;

    bool _running = false;
    bool _abort = false;
    QString _portError;
    QList<FoundServo> _found;
    int _probesMade = 0;
    QElapsedTimer _progressShown;
};
