// Polls a simulated servo through the whole program, first with the Traffic dock closed, then
// open and following, and prints what the monitor costs: polls per second, GUI time per poll
// (the decode median, and the GUI thread's CPU per poll, which includes recording, batches and
// the table's drawing), table redraws per second; then resident memory with 100,000 and
// 300,000 packets recorded into the open dock.
//   bench_traffic [seconds per phase] [interval-ms]

#include "core/session/uischeduler.h"
#include "core/traffic/trafficmodel.h"
#include "core/transport/serialhelper.h"
#include "window/docks/trafficdock.h"
#include "window/mainwindow.h"

#include "benchsupport.h"

#include <servosimulator.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QScrollBar>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <unistd.h>

using bench::percentile;
using bench::runEvents;

namespace {

double threadCpuUs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

double residentMb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0)
                             : 0;
}

QByteArray withCrc(QByteArray packet)
{
    const uint16_t crc =
        StatusPacketFramer::crc16(reinterpret_cast<const uint8_t*>(packet.constData()), packet.size());
    return packet.append(char(crc & 0xFF)).append(char(crc >> 8));
}

struct Phase
{
    double seconds = 0;
    int polls = 0;
    double decodeMedianUs = 0;
    double cpuPerPollUs = 0;
    int frames = 0;
    double drawingMs = 0;
    int batches = 0;
};

Phase measure(MainWindow& window, TrafficDock* dock, int seconds)
{
    const BusStatistics& statistics = window.scheduler()->statistics();
    const int pollsBefore = statistics.polls();
    const int framesBefore = dock->table()->framesDrawn();
    const qint64 drawingBefore = dock->table()->drawingNs();
    const int batchesBefore = dock->model()->batches();
    const double cpuBefore = threadCpuUs();
    QElapsedTimer clock;
    clock.start();
    runEvents(seconds * 1000);
    Phase phase;
    phase.seconds = clock.elapsed() / 1000.0;
    phase.polls = statistics.polls() - pollsBefore;
    phase.cpuPerPollUs = phase.polls ? (threadCpuUs() - cpuBefore) / phase.polls : 0;
    // The decode times of this phase's polls only.
    std::vector<qint64> samples = statistics.decodeSamples();
    if (samples.size() > size_t(phase.polls))
        samples.erase(samples.begin(), samples.end() - phase.polls);
    phase.decodeMedianUs = percentile(samples, 0.5);
    phase.frames = dock->table()->framesDrawn() - framesBefore;
    phase.drawingMs = (dock->table()->drawingNs() - drawingBefore) / 1e6;
    phase.batches = dock->model()->batches() - batchesBefore;
    return phase;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 10;
    const int interval = argc > 2 ? atoi(argv[2]) : 10;
    constexpr int baudRate = 1000000;

    QTemporaryDir home;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
    // In this process, on its own thread: the figures below are the GUI thread's alone.
    servosim::Options options;
    options.baudRate = baudRate;
    options.linkPath = home.filePath("velkora-sim");
    servosim::ServoSimulator simulator(options);
    QString error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "cannot start the simulator: %s\n", qPrintable(error));
        return 1;
    }
    bench::pointSettingsAt(simulator.portName(), baudRate, interval);

    MainWindow window;
    window.resize(1280, 1000);
    window.show();
    // The register view repaints on every poll, as in bench_polling.
    window.findChild<QTabWidget*>(QStringLiteral("tabWidget"))->setCurrentIndex(1);
    auto* dock = window.findChild<TrafficDock*>(QStringLiteral("trafficDock"));
    if (!dock || !bench::connectAndWait(window))
        return 1;
    runEvents(500);

    const Phase closed = measure(window, dock, seconds);
    const bool recordedWhileClosed = window.serialHelper()->trafficRecorder() != nullptr;
    dock->toggleViewAction()->trigger();
    runEvents(500);
    const Phase open = measure(window, dock, seconds);
    const quint64 recordedOpen = dock->model()->log().endSeq();
    const QScrollBar* bar = dock->table()->verticalScrollBar();
    const bool following = bar->value() == bar->maximum();

    window.getDisconnectAction()->trigger();
    runEvents(300);

    // Memory with a full log and beyond: poll-like transactions fed straight to the recorder,
    // with batches and redraws between them as the dock does them.
    dock->model()->clear();
    TrafficRecorder* recorder = dock->model()->recorder();
    const QByteArray request = withCrc(QByteArray::fromHex("fffffd000107000200007600"));
    QByteArray table(118, '\0');
    for (int i = 0; i < table.size(); ++i)
        table[i] = char(i * 37);
    const QByteArray answerStart = QByteArray::fromHex("fffffd0001") + char(122) + '\0' + char(0x55) + '\0';
    double at100k = 0;
    qint64 recordingNs = 0;
    int transactions = 0;
    constexpr int packetsPerRound = 2000;
    for (int round = 0; round < 300000 / packetsPerRound; ++round) {
        QElapsedTimer recording;
        recording.start();
        for (int i = 0; i < packetsPerRound / 2; ++i, ++transactions) {
            table[86] = char(transactions); // the position moves
            recorder->requestSent(BusProtocol::Two, request);
            recorder->received(BusProtocol::Two, withCrc(answerStart + table));
            recorder->transactionEnded(TrafficOutcome::Answered);
        }
        recordingNs += recording.nsecsElapsed();
        runEvents(TrafficModel::refreshMs + 2);
        if ((round + 1) * packetsPerRound == 100000)
            at100k = residentMb();
    }
    const double at300k = residentMb();

    std::printf("traffic monitor, polling at %d ms at %d baud, %d s per phase\n", interval, baudRate,
                seconds);
    std::printf("  recorded while never opened      %s\n", recordedWhileClosed ? "yes (WRONG)" : "no");
    std::printf("  polls per second, closed         %8.1f\n", closed.polls / closed.seconds);
    std::printf("  polls per second, open           %8.1f   (target >= 99)\n", open.polls / open.seconds);
    std::printf("  GUI time per poll median, closed %8.1f us\n", closed.decodeMedianUs);
    std::printf("  GUI time per poll median, open   %8.1f us\n", open.decodeMedianUs);
    std::printf("  median growth                    %8.1f us (target <= 50)\n",
                open.decodeMedianUs - closed.decodeMedianUs);
    std::printf("  GUI thread CPU per poll, closed  %8.1f us\n", closed.cpuPerPollUs);
    std::printf("  GUI thread CPU per poll, open    %8.1f us (recording, batches and drawing included)\n",
                open.cpuPerPollUs);
    std::printf("  GUI thread CPU growth per poll   %8.1f us\n", open.cpuPerPollUs - closed.cpuPerPollUs);
    std::printf("  recording per poll               %8.2f us (request, answer, outcome)\n",
                recordingNs / 1e3 / std::max(1, transactions));
    std::printf("  table drawing per poll           %8.1f us (%.2f ms per redraw)\n",
                open.polls ? 1000.0 * open.drawingMs / open.polls : 0.0,
                open.frames ? open.drawingMs / open.frames : 0.0);
    std::printf("  table redraws per second         %8.1f   (at most about 30)\n",
                open.frames / open.seconds);
    std::printf("  batches per second               %8.1f\n", open.batches / open.seconds);
    std::printf("  packets recorded while open      %8llu (%s the newest)\n",
                static_cast<unsigned long long>(recordedOpen), following ? "following" : "NOT following");
    std::printf("  resident memory, 100k packets    %8.1f MB\n", at100k);
    std::printf("  resident memory, 300k packets    %8.1f MB (%d kept, %llu dropped)\n", at300k,
                dock->model()->log().size(), static_cast<unsigned long long>(dock->model()->log().dropped()));
    std::printf("  resident memory growth           %8.1f MB (target < 5)\n", at300k - at100k);
    return 0;
}
