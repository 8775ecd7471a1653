// Polls a simulated servo with the plot dock shown (every curve on, the 60 s window) and a
// recording running, while the shaft moves, and prints what that costs: polls per second,
// GUI-thread time per poll with the plot's drawing spread over the polls, frames per second,
// process CPU, and whether the CSV has a row for every poll decoded.
//   bench_plot [seconds] [interval-ms] [screenshot.png]

#include "core/files/csvrecorder.h"
#include "core/session/uischeduler.h"
#include "window/docks/plotdock.h"
#include "window/mainwindow.h"

#include "benchsupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

using bench::percentile;
using bench::runEvents;


int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 20;
    const int interval = argc > 2 ? atoi(argv[2]) : 10;
    const QString screenshot = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();

    QTemporaryDir home;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
    QProcess simulator;
    if (!bench::startSimulator(simulator, home.filePath("velkora-sim"), 1000000, interval))
        return 1;

    MainWindow window;
    window.resize(1280, 1000);
    window.show();
    PlotDock* dock = window.plotDock();
    dock->show();
    for (QCheckBox* box : dock->findChildren<QCheckBox*>())
        box->setChecked(true);
    dock->findChild<QComboBox*>(QStringLiteral("timeWindowComboBox"))->setCurrentIndex(2);
    if (!bench::connectAndWait(window))
        return 1;

    // Motor on and a target, through the program's own write path.
    UiScheduler* scheduler = window.scheduler().get();
    scheduler->addQueueRequest(48, QByteArray(1, 1));
    QTimer swing;
    bench::swingTarget(swing, scheduler, 4000);
    runEvents(500);

    const QString csv = home.filePath("run.csv");
    int samplesWhileRecording = 0;
    if (!bench::startCountedRecording(window, scheduler, csv, &samplesWhileRecording))
        return 1;

    const int pollsBefore = scheduler->statistics().polls();
    const int failuresBefore = scheduler->statistics().failures();
    const int framesBefore = dock->framesDrawn();
    const qint64 drawingBefore = dock->drawingNs();
    const double cpuBefore = bench::cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    runEvents(seconds * 1000);
    const double elapsed = clock.elapsed() / 1000.0;
    const double cpu = bench::cpuSeconds() - cpuBefore;
    const int polls = scheduler->statistics().polls() - pollsBefore;
    const int failures = scheduler->statistics().failures() - failuresBefore;
    const int frames = dock->framesDrawn() - framesBefore;
    const double drawingMs = (dock->drawingNs() - drawingBefore) / 1e6;
    // Decoding with the edit view's fields, the plot's and the recording's share of each sample.
    const std::vector<qint64> pollTimes = scheduler->statistics().decodeSamples();
    const double drawingPerPollUs = polls ? 1000.0 * drawingMs / polls : 0;

    if (!screenshot.isEmpty())
        window.grab().save(screenshot);
    window.getDisconnectAction()->trigger();
    int rows = -2; // the comment line and the header
    QFile file(csv);
    if (file.open(QIODevice::ReadOnly))
        while (!file.readLine().isEmpty())
            ++rows;

    std::printf("polling at %d ms for %.1f s with the plot (9 curves, 60 s window) and a recording\n", interval,
                elapsed);
    std::printf("  polls per second                 %8.1f   (target >= 99)\n", polls / elapsed);
    std::printf("  failed transactions              %8d\n", failures);
    std::printf("  GUI time per poll, median        %8.1f us (decode, fields, plot store, CSV row)\n",
                percentile(pollTimes, 0.5));
    std::printf("  GUI time per poll, p99           %8.1f us\n", percentile(pollTimes, 0.99));
    std::printf("  plot drawing per poll            %8.1f us (%.1f ms per frame)\n", drawingPerPollUs,
                frames ? drawingMs / frames : 0.0);
    std::printf("  median with the drawing share    %8.1f us (target <= 500)\n",
                percentile(pollTimes, 0.5) + drawingPerPollUs);
    std::printf("  p99 with the drawing share       %8.1f us\n", percentile(pollTimes, 0.99) + drawingPerPollUs);
    std::printf("  frames drawn per second          %8.1f   (at most about 30)\n", frames / elapsed);
    std::printf("  process CPU                      %8.1f %% of one core (target <= 20)\n", 100.0 * cpu / elapsed);
    std::printf("  CSV rows / polls while recording %8d / %d (%s)\n", rows, samplesWhileRecording,
                rows == samplesWhileRecording ? "equal" : "DIFFERENT");

    simulator.terminate();
    simulator.waitForFinished(3000);
    return rows == samplesWhileRecording ? 0 : 1;
}
