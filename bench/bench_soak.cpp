// Polls a simulated servo through the program (window, request layer, scheduler, decoder) at
// 1,000,000 baud while the simulator spoils a share of its answers with every fault it knows,
// with writes queued among the polls. Every table the register view shows is checked against the
// answers the simulator actually sent, and every write's reported outcome against what the servo
// answered. Prints the figures; exits non-zero when a table or a write outcome was wrong.
//   bench_soak [polls] [fault-percent] [interval-ms]

#include "bus/devicehelper.h"
#include "bus/serialhelper.h"
#include "bus/uischeduler.h"
#include "device/idevice.h"
#include "mainwindow.h"
#include "views/registerview.h"

#include <servosimulator.h>

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
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

// A write as queued, and what the program said of it.
struct WriteRecord
{
    QByteArray params; // address (2 bytes) and data, as the instruction packet carries them
    bool reported = false;
    bool acknowledged = false;
    uint8_t errorByte = 0;
    FailureKind failure = FailureKind::Timeout;
};

class Soak : public QObject
{
public:
    Soak(MainWindow& window, servosim::ServoSimulator& simulator) : _window(window), _simulator(simulator)
    {
        const auto device = DeviceHelper::getInstance()->getDevice();
        for (int address = 0; address < tableSize; ++address) {
            const auto record = device->getRegisterDeviceMetadata(static_cast<unsigned short>(address));
            _cells.push_back(record ? std::make_pair(RegisterView::_instance->getRegisterBank(record->bank),
                                                     int(record->row))
                                    : std::make_pair(static_cast<QTableWidget*>(nullptr), 0));
        }
        SerialHelper* serial = window.serialHelper().get();
        connect(serial, &SerialHelper::writeAcknowledged, this,
                [this](const RequestInfo&, uint8_t errorByte) { reportWrite(true, errorByte, {}); });
        connect(serial, &SerialHelper::transactionFailed, this,
                [this](FailureKind kind, const RequestInfo& request, uint8_t errorByte) {
                    ++_failures[kind];
                    if (request.instruction == readInstruction)
                        ++_readFailures;
                    // A refusal is also acknowledged; that report carries the outcome.
                    else if (request.instruction == writeInstruction && kind != FailureKind::Refused)
                        reportWrite(false, errorByte, kind);
                });
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

    void print(qint64 rssStart, qint64 rssMiddle, qint64 rssEnd, double seconds)
    {
        takeSentAnswers();
        int misreported = 0;
        int failedThoughAnswered = 0;
        int unreported = 0;
        for (const WriteRecord& write : _writes) {
            if (!write.reported) {
                ++unreported;
                continue;
            }
            const auto truth = _writeAnswers.find(write.params);
            if (write.acknowledged) {
                // Acknowledged: only with the very error byte the servo sent for this write.
                if (truth == _writeAnswers.end() || !truth->second.whole ||
                    truth->second.fault == Fault::WrongId ||
                    uint8_t(truth->second.packet.at(8)) != write.errorByte)
                    ++misreported;
            } else if (truth != _writeAnswers.end() && truth->second.whole &&
                       (truth->second.fault == Fault::None || truth->second.fault == Fault::GarbageBefore)) {
                ++failedThoughAnswered;
            }
        }

        std::printf("fault soak: %d polls in %.1f s at 1000000 baud, %d writes queued among them\n", polls(),
                    seconds, int(_writes.size()));
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
        std::printf("  write outcomes misreported              %8d   (target 0)\n", misreported);
        std::printf("  writes failed though answered in time   %8d\n", failedThoughAnswered);
        std::printf("  writes still queued at the end          %8d\n", unreported);
        std::printf("  RSS at 10 %% / 50 %% / 100 %% of the polls %8lld / %lld / %lld KiB\n", rssStart,
                    rssMiddle, rssEnd);
        std::printf("  RSS growth from 10 %% to the end         %+8lld KiB   (target < 1024)\n",
                    rssEnd - rssStart);
        _failed = _tablesNotSent != 0 || misreported != 0;
    }

    bool failed() const { return _failed; }

private:
    void takeSentAnswers()
    {
        const QList<servosim::SentAnswer> sent = _simulator.sentAnswers();
        _simulator.clearSentAnswers();
        _simulator.clearReceived(); // bounds the simulator's memory; nothing here needs it
        for (const servosim::SentAnswer& answer : sent) {
            if (answer.fault != Fault::None)
                ++_faults[answer.fault];
            if (answer.request.instruction == writeInstruction)
                _writeAnswers[answer.request.params] = answer;
            const bool readAnswer =
                answer.request.instruction == readInstruction && answer.packet.size() == 11 + tableSize;
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
            std::fprintf(stderr, "table shown that was not sent whole: %s\n", shown.toHex(' ').constData());
    }

    void queueWrite()
    {
        // Mostly accepted writes of the moving threshold; every fourth one to the read-only model
        // number, which the servo refuses. The value makes every write's parameters unique.
        const int round = _writeRound;
        const uint8_t address = round % 4 == 0 ? 0 : 24;
        QByteArray data(2, '\0');
        data[0] = char(round & 0xFF);
        data[1] = char((round >> 8) & 0xFF);
        QByteArray params(2, '\0');
        params[0] = char(address);
        _writes.push_back({params + data});
        _window.scheduler()->addQueueRequest(address, data);
    }

    void reportWrite(bool acknowledged, uint8_t errorByte, FailureKind kind)
    {
        if (_nextReport >= _writes.size())
            return;
        WriteRecord& write = _writes[_nextReport++];
        write.reported = true;
        write.acknowledged = acknowledged;
        write.errorByte = errorByte;
        write.failure = kind;
    }

    MainWindow& _window;
    servosim::ServoSimulator& _simulator;
    std::vector<std::pair<QTableWidget*, int>> _cells;
    QHash<QByteArray, int> _recentTables;
    std::deque<QByteArray> _recentOrder;
    std::map<QByteArray, servosim::SentAnswer> _writeAnswers;
    std::deque<WriteRecord> _writes;
    size_t _nextReport = 0;
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
    const int pollTarget = argc > 1 ? atoi(argv[1]) : 10000;
    const double faultRate = (argc > 2 ? atof(argv[2]) : 10.0) / 100.0;
    const int interval = argc > 3 ? atoi(argv[3]) : 5;

    QTemporaryDir home;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
    servosim::Options options;
    options.linkPath = home.filePath(QStringLiteral("velkora-sim"));
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

    Soak soak(window, simulator);
    QElapsedTimer clock;
    clock.start();
    qint64 rssStart = 0;
    qint64 rssMiddle = 0;
    while (soak.polls() < pollTarget) {
        runEvents(100);
        if (rssStart == 0 && soak.polls() >= pollTarget / 10)
            rssStart = residentKiB(); // after warm-up: caches, fonts, the tables' items
        if (rssMiddle == 0 && soak.polls() >= pollTarget / 2)
            rssMiddle = residentKiB();
    }
    window.scheduler()->stopScheduler();
    runEvents(500); // late answers and the last writes' outcomes
    const double seconds = clock.elapsed() / 1000.0;
    soak.print(rssStart, rssMiddle, residentKiB(), seconds);

    window.getDisconnectAction()->trigger();
    runEvents(200);
    return soak.failed() ? 2 : 0;
}
