// Polls a simulated servo through the program (window, request layer, scheduler, decoder) at
// 1,000,000 baud while the simulator spoils a share of its answers with every fault it knows,
// with writes queued among the polls. Every table the register view shows is checked against the
// answers the simulator actually sent, and every write's reported outcome against what the servo
// answered. Prints the figures; exits non-zero when a table or a write outcome was wrong.
//   bench_soak [polls] [fault-percent] [interval-ms] [--no-wire-time]
// --no-wire-time: the simulator answers at once instead of taking the line time, so long soaks
// (110,000 polls and more, for the memory figure) finish in minutes; best with a short interval.

#include "core/model/idevice.h"
#include "core/session/devicehelper.h"
#include "window/controllers/windowdevicehelper.h"
#include "core/session/uischeduler.h"
#include "core/transport/serialhelper.h"
#include "window/editview/registerview.h"
#include "window/mainwindow.h"

#include <servosimulator.h>

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <deque>
#include <map>

using servosim::Fault;

namespace {

constexpr int servoId = 1;
constexpr int tableSize = 118;
constexpr uint8_t readInstruction = 0x02;
constexpr uint8_t writeInstruction = 0x03;
constexpr int writeEveryPolls = 20;
// Whole answers kept to check tables against: far more than arrive while an answer is late.
constexpr size_t recentAnswers = 4000;
// Read answers that did not count (spoiled, or from another id), to name a shown one.
constexpr size_t spoiledAnswers = 200;
// Every this many write rounds two writes are queued back to back.
constexpr int backToBackEveryRounds = 3;
// Memory is compared from this many polls on, after caches and the tables' items have settled.
constexpr int warmUpPolls = 10000;

// 110000 as "110,000".
QString grouped(qint64 value)
{
    QString digits = QString::number(value);
    for (int at = digits.size() - 3; at > (value < 0 ? 1 : 0); at -= 3)
        digits.insert(at, QLatin1Char(','));
    return digits;
}

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return 0;
}

void runEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

const char* failureName(FailureKind kind)
{
    switch (kind) {
    case FailureKind::Timeout:
        return "no answer";
    case FailureKind::Incomplete:
        return "cut short";
    case FailureKind::Corrupt:
        return "corrupt";
    case FailureKind::WrongId:
        return "wrong id";
    case FailureKind::Refused:
        return "refused";
    case FailureKind::NotSent:
        return "not sent";
    }
    return "?";
}

// A write as queued: the servo takes it exactly when it is for the moving threshold (24); the
// model number (0) is read-only and refused.
struct WriteRecord
{
    uint8_t address = 0;
    QByteArray data;
    bool taken() const { return address == 24; }
};

class Soak : public QObject
{
public:
    Soak(MainWindow& window, servosim::ServoSimulator& simulator, bool wireTime)
        : _window(window), _simulator(simulator), _wireTime(wireTime)
    {
        const auto device = WindowDeviceHelper::getInstance()->getDevice();
        for (int address = 0; address < tableSize; ++address) {
            const auto record = device->getRegisterDeviceMetadata(static_cast<unsigned short>(address));
            _cells.push_back(record ? std::make_pair(RegisterView::_instance->getRegisterBank(record->bank),
                                                     int(record->row))
                                    : std::make_pair(static_cast<QTableWidget*>(nullptr), 0));
        }
        SerialHelper* serial = window.serialHelper().get();
        connect(serial, &SerialHelper::transactionFailed, this,
                [this](FailureKind kind, const RequestInfo& request, uint8_t) {
                    ++_failures[kind];
                    if (request.instruction == readInstruction)
                        ++_readFailures;
                });
        // What the program tells of each write, after reading back what the servo holds.
        connect(window.scheduler().get(), &UiScheduler::writeFinished, this, &Soak::judgeWrite);
        connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
                &Soak::check);
    }

    int polls() const { return _window.scheduler()->statistics().polls() + _readFailures; }

    // Between event-loop passes: the tables shown since the last pass, the answers sent, writes.
    void check()
    {
        takeSentAnswers();
        const int shown = _window.scheduler()->statistics().polls();
        if (shown != _tablesSeen) {
            _tablesUnchecked += shown - _tablesSeen - 1; // more than one decode in one pass
            _tablesSeen = shown;
            checkShownTable();
        }
        const int polled = polls();
        if (polled / writeEveryPolls != _writeRound) {
            _writeRound = polled / writeEveryPolls;
            queueWrite();
        }
    }

    void print(qint64 rssStart, qint64 rssMiddle, qint64 rssEnd, int warmUp, qint64 rssWarm, double seconds)
    {
        takeSentAnswers();

        std::printf("fault soak: %d polls in %.1f s at 1000000 baud%s, %d writes queued among them\n", polls(),
                    seconds, _wireTime ? "" : " (answers without line time)", _writesQueued);
        std::printf("  faults injected by kind:");
        for (Fault fault : servosim::allFaults())
            std::printf(" %s %d,", qPrintable(servosim::faultName(fault)), _faults[fault]);
        std::printf("\n  failures counted by kind:");
        for (const auto& [kind, count] : _failures)
            std::printf(" %s %d,", failureName(kind), count);
        std::printf("\n");
        std::printf("  tables shown and checked                %8d\n", _tablesSeen - _tablesUnchecked);
        std::printf("  tables shown but not checked            %8d\n", _tablesUnchecked);
        std::printf("  tables shown that were not sent whole   %8d   (target 0)\n", _tablesNotSent);
        std::printf("  writes shown written / not written      %8d / %d (%d acknowledgements lost, "
                    "%d back to back)\n",
                    _shownWritten, _shownNotWritten, _acknowledgementsLost, _backToBack);
        std::printf("  write outcomes misreported              %8d   (target 0)\n", _misreported);
        std::printf("  writes not judged by a read             %8d\n", _notReadBack);
        std::printf("  writes still unreported at the end      %8d\n", int(_writes.size()));
        std::printf("  RSS at 10 %% / 50 %% / 100 %% of the polls %8lld / %lld / %lld KiB\n", rssStart,
                    rssMiddle, rssEnd);
        std::printf("  RSS growth from 10 %% to the end         %+8lld KiB   (target < 1024)\n",
                    rssEnd - rssStart);
        if (rssWarm > 0)
            std::printf("  resident memory growth after warm-up (%s polls) over the next %s polls: %.2f MB"
                        "   (target < 1 MB over 100,000)\n",
                        qPrintable(grouped(warmUp)), qPrintable(grouped(polls() - warmUp)),
                        (rssEnd - rssWarm) / 1024.0);
        _failed = _tablesNotSent != 0 || _misreported != 0;
    }

    bool failed() const { return _failed; }

private:
    void takeSentAnswers()
    {
        const QList<servosim::SentAnswer> sent = _simulator.takeSentAnswers();
        _simulator.clearReceived(); // bounds the simulator's memory; nothing here needs it
        for (const servosim::SentAnswer& answer : sent) {
            if (answer.fault != Fault::None)
                ++_faults[answer.fault];
            const bool readAnswer =
                answer.request.instruction == readInstruction && answer.packet.size() == 11 + tableSize;
            if (readAnswer && (!answer.whole || answer.fault == Fault::WrongId)) {
                _spoiledRecent.push_back({answer.packet.mid(9, tableSize), answer.fault});
                if (_spoiledRecent.size() > spoiledAnswers)
                    _spoiledRecent.pop_front();
            }
            if (!readAnswer || !answer.whole || answer.fault == Fault::WrongId)
                continue;
            const QByteArray table = answer.packet.mid(9, tableSize);
            ++_recentTables[table];
            _recentOrder.push_back(table);
            if (_recentOrder.size() > recentAnswers) {
                if (--_recentTables[_recentOrder.front()] == 0)
                    _recentTables.remove(_recentOrder.front());
                _recentOrder.pop_front();
            }
        }
    }

    void checkShownTable()
    {
        QByteArray shown(tableSize, '\0');
        for (int address = 0; address < tableSize; ++address) {
            const auto& [table, row] = _cells[size_t(address)];
            const QTableWidgetItem* item = table ? table->item(row, 1) : nullptr;
            bool ok = false;
            const int value = item ? item->text().toInt(&ok, 0) : 0;
            shown[address] = char(ok ? value : 0);
        }
        if (_recentTables.contains(shown))
            return;
        if (++_tablesNotSent <= 3)
            std::fprintf(stderr, "table shown that was not sent whole: %s\n  %s\n", shown.toHex(' ').constData(),
                         qPrintable(nearestSent(shown)));
    }

    // Which spoiled answer the shown table is, or where it differs from the closest one sent
    // whole lately.
    QString nearestSent(const QByteArray& shown) const
    {
        for (const auto& [table, fault] : _spoiledRecent)
            if (table == shown)
                return QStringLiteral("it is an answer sent with the fault %1").arg(servosim::faultName(fault));
        const QByteArray* nearest = nullptr;
        int fewest = tableSize + 1;
        for (const QByteArray& sent : _recentOrder) {
            int differing = 0;
            for (int i = 0; i < tableSize; ++i)
                differing += sent[i] != shown[i];
            if (differing <= fewest) { // the latest of equally near ones
                fewest = differing;
                nearest = &sent;
            }
        }
        if (!nearest)
            return QStringLiteral("no table sent whole lately");
        QString text = QStringLiteral("the nearest sent whole differs at");
        for (int i = 0; i < tableSize; ++i)
            if ((*nearest)[i] != shown[i])
                text += QStringLiteral(" %1 (sent %2)").arg(i).arg(uint8_t((*nearest)[i]), 2, 16, QLatin1Char('0'));
        return text;
    }

    void queueWrite()
    {
        // Mostly writes of the moving threshold, which the servo takes; every fourth one to the
        // read-only model number, which it refuses. Some rounds queue a second write right behind
        // the first, so two answers can be late together.
        const int round = _writeRound;
        queueOne(round % 4 == 0 ? 0 : 24, round);
        if (round % backToBackEveryRounds == 0) {
            queueOne(round % 2 == 0 ? 24 : 0, round + 0x8000);
            ++_backToBack;
        }
    }

    void queueOne(uint8_t address, int value)
    {
        QByteArray data(2, '\0');
        data[0] = char(value & 0xFF);
        data[1] = char((value >> 8) & 0xFF);
        _writes.push_back({address, data});
        ++_writesQueued;
        _window.scheduler()->addQueueRequest(address, data);
    }

    // Writes end in the order they were queued. Shown written exactly when the servo took it.
    void judgeWrite(const GroupWrite& write, const WriteOutcome& outcome)
    {
        if (_writes.empty())
            return;
        const WriteRecord record = _writes.front();
        _writes.pop_front();
        if (write.address() != record.address) {
            ++_misreported; // out of order: the outcome belongs to another write
            return;
        }
        if (!outcome.readBack) {
            ++_notReadBack;
            return;
        }
        const bool shownWritten = outcome.check.allHeld();
        ++(shownWritten ? _shownWritten : _shownNotWritten);
        _acknowledgementsLost += outcome.answer == WriteOutcome::Answer::Lost;
        if (shownWritten != record.taken() && ++_misreported <= 3)
            std::fprintf(stderr, "write of %s at %d shown %s (answer %d, %s)\n", record.data.toHex(' ').constData(),
                         record.address, shownWritten ? "written" : "not written", int(outcome.answer),
                         qPrintable(outcome.problem));
    }

    MainWindow& _window;
    servosim::ServoSimulator& _simulator;
    const bool _wireTime;
    std::vector<std::pair<QTableWidget*, int>> _cells;
    QHash<QByteArray, int> _recentTables;
    std::deque<QByteArray> _recentOrder;
    std::deque<std::pair<QByteArray, Fault>> _spoiledRecent;
    std::deque<WriteRecord> _writes; // not reported yet, oldest first
    int _writesQueued = 0;
    int _misreported = 0;
    int _shownWritten = 0;
    int _shownNotWritten = 0;
    int _acknowledgementsLost = 0;
    int _notReadBack = 0;
    int _backToBack = 0;
    std::map<Fault, int> _faults;
    std::map<FailureKind, int> _failures;
    int _readFailures = 0;
    int _tablesSeen = 0;
    int _tablesUnchecked = 0;
    int _tablesNotSent = 0;
    int _writeRound = 0;
    bool _failed = false;
};

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false"); // the offscreen platform's notes on every window
    QApplication application(argc, argv);
    QStringList arguments = application.arguments().mid(1);
    const bool wireTime = !arguments.removeAll(QStringLiteral("--no-wire-time"));
    const int pollTarget = arguments.size() > 0 ? arguments[0].toInt() : 10000;
    const double faultRate = (arguments.size() > 1 ? arguments[1].toDouble() : 10.0) / 100.0;
    // Without line time an answer is there at once; the interval is all that paces the polls.
    const int interval = arguments.size() > 2 ? arguments[2].toInt() : wireTime ? 5 : 2;
    if (pollTarget <= 0 || interval <= 0 || faultRate < 0 || faultRate > 1) {
        std::fprintf(stderr, "usage: bench_soak [polls] [fault-percent] [interval-ms] [--no-wire-time]\n");
        return 1;
    }
    // Long soaks compare memory from a fixed warm-up on; short ones from a tenth of the polls.
    const int warmUp = pollTarget > warmUpPolls ? warmUpPolls : pollTarget / 10;

    QTemporaryDir home;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
    servosim::Options options;
    options.linkPath = home.filePath(QStringLiteral("velkora-sim"));
    options.wireTime = wireTime;
    servosim::ServoSimulator simulator(options);
    QString error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "cannot start the simulator: %s\n", qPrintable(error));
        return 1;
    }
    {
        QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
        settings.setValue(QStringLiteral("port settings/serialPortName"), simulator.portName());
        settings.setValue(QStringLiteral("port settings/baudRate"), 1000000);
        settings.setValue(QStringLiteral("main window settings/servoId"), servoId);
    }

    MainWindow window;
    window.show();
    // The window fits the screen it opens on, and the offscreen one is small; at the size the
    // window was designed for, as on a large screen, every field of the edit view is drawn.
    window.resize(1192, 1428);
    window.getConnectAction()->trigger();
    for (int i = 0; i < 30 && !(window.scheduler() && window.scheduler()->isRunning()); ++i)
        runEvents(100);
    if (!window.scheduler() || !window.scheduler()->isRunning()) {
        std::fprintf(stderr, "could not connect to the simulator\n");
        return 1;
    }
    // The window's own interval is at least 10 ms; the soak polls faster.
    window.scheduler()->stopScheduler();
    window.scheduler()->startScheduler(interval);
    simulator.clearSentAnswers();
    simulator.setFaultRate(faultRate, servosim::allFaults());

    Soak soak(window, simulator, wireTime);
    QElapsedTimer clock;
    clock.start();
    qint64 rssStart = 0;
    qint64 rssWarm = 0;
    qint64 rssMiddle = 0;
    while (soak.polls() < pollTarget) {
        runEvents(100);
        if (rssStart == 0 && soak.polls() >= pollTarget / 10)
            rssStart = residentKiB(); // after warm-up: caches, fonts, the tables' items
        if (rssWarm == 0 && soak.polls() >= warmUp)
            rssWarm = residentKiB();
        if (rssMiddle == 0 && soak.polls() >= pollTarget / 2)
            rssMiddle = residentKiB();
    }
    window.scheduler()->stopScheduler();
    runEvents(500); // late answers and the last writes' outcomes
    const double seconds = clock.elapsed() / 1000.0;
    soak.print(rssStart, rssMiddle, residentKiB(), warmUp, rssWarm, seconds);

    window.getDisconnectAction()->trigger();
    runEvents(200);
    return soak.failed() ? 2 : 0;
}
