// Fast sampling against a simulated servo with line time: the plot dock shown with every curve
// ticked and Fast sampling on, a recording running, the whole table polled at its interval while
// the shaft steps. For each line setting it prints the samples per second beside two limits:
//   line_left:   what the line leaves the span reads, i.e. the span exchange's line limit
//                (request and answer at 10 bits a byte, plus the return delay) times the share
//                of the line the whole-table polls leave free;
//   bare_left:   what a bare client gets from the same simulator, span reads and whole-table
//                reads back to back, scaled the same way (the simulator's own processing counts);
// and the whole-table polls against the interval, the GUI time per sample, process CPU, CSV rows
// against samples and failed transactions. One figure a line: name, value, target.
//   bench_fastsampling [seconds-per-setting]

#include "core/files/csvrecorder.h"
#include "window/controllers/windowdevicehelper.h"
#include "core/session/uischeduler.h"
#include "window/docks/plotdock.h"
#include "window/mainwindow.h"

#include "benchsupport.h"

#include <protocol.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace bench;

namespace {

struct Setting
{
    int baudRate;
    int returnDelayUnits; // 2 us each
    int intervalMs;
};

QByteArray u16(int value)
{
    return QByteArray(1, char(value & 0xFF)) + char((value >> 8) & 0xFF);
}

void figure(const char* name, double value, const char* target = "")
{
    std::printf("%-34s %10.1f%s%s\n", name, value, *target ? "   " : "", target);
}

// False when the setting could not be measured at all.
bool measure(const Setting& setting, int seconds, const QDir& home)
{
    const QString link = home.filePath(QStringLiteral("velkora-sim"));
    QProcess simulator;
    if (!startSimulator(simulator, link, setting.baudRate, setting.intervalMs))
        return false;

    SampledSpan span;
    int tableLength = 0;
    double elapsed = 0;
    double cpu = 0;
    int polls = 0;
    int fastSamples = 0;
    int failures = 0;
    int samplesWhileRecording = 0;
    int rows = -2; // the comment line and the header
    std::vector<qint64> sampleTimes;
    std::vector<qint64> pollTimes;
    int frames = 0;
    double drawingMs = 0;
    {
        MainWindow window;
        window.resize(1280, 1000);
        window.show();
        PlotDock* dock = window.plotDock();
        dock->show();
        if (!connectAndWait(window))
            return false;
        tableLength = WindowDeviceHelper::getInstance()->getDevice()->getMemoryUpperLimit();
        UiScheduler* scheduler = window.scheduler().get();
        int written = 0;
        QObject::connect(scheduler, &UiScheduler::writeFinished, [&written] { ++written; });
        // The return delay first (it cannot change while the motor is on), then the motor.
        scheduler->addQueueRequest(5, QByteArray(1, char(setting.returnDelayUnits)));
        scheduler->addQueueRequest(48, QByteArray(1, 1));
        if (!waitFor(5000, [&] { return written == 2; })) {
            std::fprintf(stderr, "the servo did not take its settings\n");
            return false;
        }
        for (QCheckBox* box : dock->findChildren<QCheckBox*>())
            box->setChecked(true); // every curve and Fast sampling
        QTimer swing;
        swingTarget(swing, scheduler, 2000);
        runEvents(500);
        span = scheduler->sampledSpan();

        const QString csv = home.filePath(QStringLiteral("run.csv"));
        if (!startCountedRecording(window, scheduler, csv, &samplesWhileRecording))
            return false;
        const BusStatistics& statistics = scheduler->statistics();
        const int pollsBefore = statistics.polls();
        const int fastBefore = statistics.fastSamples();
        const int failuresBefore = statistics.failures();
        const int framesBefore = dock->framesDrawn();
        const qint64 drawingBefore = dock->drawingNs();
        const double cpuBefore = cpuSeconds();
        QElapsedTimer clock;
        clock.start();
        runEvents(seconds * 1000);
        elapsed = clock.elapsed() / 1000.0;
        cpu = cpuSeconds() - cpuBefore;
        polls = statistics.polls() - pollsBefore;
        fastSamples = statistics.fastSamples() - fastBefore;
        failures = statistics.failures() - failuresBefore;
        sampleTimes = statistics.fastSampleTimes();
        pollTimes = statistics.decodeSamples();
        frames = dock->framesDrawn() - framesBefore;
        drawingMs = (dock->drawingNs() - drawingBefore) / 1e6;
        window.getDisconnectAction()->trigger();
        QFile file(csv);
        if (file.open(QIODevice::ReadOnly))
            while (!file.readLine().isEmpty())
                ++rows;
        runEvents(300); // the window lets the port go
    }

    // The same simulator, now without the program.
    BareClient bare(link, setting.baudRate);
    if (!bare.isOpen() || span.isEmpty()) {
        std::fprintf(stderr, "no bare client or no span\n");
        return false;
    }
    int bareFailures = 0;
    const auto readRate = [&](int address, int length) {
        return bare.rate(servosim::instructionPacket(1, 0x02, u16(address) + u16(length)),
                         servosim::StatusOverhead + length, 2000, &bareFailures);
    };
    const double bareSpanRate = readRate(span.address, span.length);
    const double bareTableRate = readRate(0, tableLength);

    const double byteSeconds = 10.0 / setting.baudRate;
    const double returnDelay = setting.returnDelayUnits * 2e-6;
    const double spanExchange = (14 + servosim::StatusOverhead + span.length) * byteSeconds + returnDelay;
    const double tableExchange = (14 + servosim::StatusOverhead + tableLength) * byteSeconds + returnDelay;
    const double pollRate = polls / elapsed;
    const double lineLeft = (1 - pollRate * tableExchange) / spanExchange;
    const double bareLeft = bareSpanRate * (1 - pollRate / bareTableRate);
    const double sampleRate = fastSamples / elapsed;
    const double lower = std::min(lineLeft, bareLeft);

    std::printf("\n%d baud, %d us return delay, whole table every %d ms, span %d bytes from %d, %.1f s\n",
                setting.baudRate, setting.returnDelayUnits * 2, setting.intervalMs, span.length, span.address,
                elapsed);
    figure("line_left_samples_per_s", lineLeft);
    figure("bare_client_span_reads_per_s", bareSpanRate);
    figure("bare_client_table_reads_per_s", bareTableRate);
    figure("bare_left_samples_per_s", bareLeft);
    figure("samples_per_s", sampleRate);
    figure("samples_share_of_lower_limit_pct", 100.0 * sampleRate / lower, "(target >= 90)");
    figure("polls_per_s", pollRate);
    figure("polls_share_of_interval_pct", 100.0 * pollRate * setting.intervalMs / 1000.0, "(target >= 95)");
    figure("line_share_of_polls_pct", 100.0 * pollRate * tableExchange);
    figure("gui_us_per_sample_median", percentile(sampleTimes, 0.5), "(target <= 50)");
    figure("gui_us_per_poll_median", percentile(pollTimes, 0.5));
    figure("frames_per_s", frames / elapsed, "(at most about 30)");
    figure("drawing_ms_per_s", drawingMs / elapsed);
    figure("process_cpu_pct_of_one_core", 100.0 * cpu / elapsed, "(target <= 40)");
    figure("csv_rows", rows);
    figure("samples_while_recording", samplesWhileRecording,
           rows == samplesWhileRecording ? "(equal)" : "(DIFFERENT)");
    figure("failed_transactions", failures, "(target 0)");
    figure("bare_client_failures", bareFailures);
    std::fflush(stdout);

    simulator.terminate();
    simulator.waitForFinished(3000);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;

    QTemporaryDir home;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
    const Setting settings[] = {{1000000, 250, 10}, {1000000, 0, 10}, {57600, 250, 100}};
    bool all = true;
    for (const Setting& setting : settings)
        all = measure(setting, seconds, QDir(home.path())) && all;
    return all ? 0 : 1;
}
