// Polls a simulated servo through the whole program and prints what it achieved:
// polls per second (also as a share of what the line and the interval allow), failed
// transactions, GUI-thread time per poll, process CPU; then the decoder alone on a recorded
// answer.
//   bench_polling [seconds] [interval-ms] [baud]

#include "core/session/uischeduler.h"
#include "core/transport/serialhelper.h"
#include "window/editview/uiregisterhelper.h"
#include "window/mainwindow.h"

#include "benchsupport.h"

#include <servomodel.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>

#include <cstdio>

using bench::cpuSeconds;
using bench::percentile;
using bench::runEvents;

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 20;
    const int interval = argc > 2 ? atoi(argv[2]) : 10;
    const int baudRate = argc > 3 ? atoi(argv[3]) : 1000000;

    QTemporaryDir home;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
    const QString link = home.filePath("velkora-sim");

    QProcess simulator;
    if (!bench::startSimulator(simulator, link, baudRate, interval))
        return 1;

    MainWindow window;
    window.show();
    // Watch the registers live, as a user would: the view repaints on every poll.
    window.findChild<QTabWidget*>(QStringLiteral("tabWidget"))->setCurrentIndex(1);
    if (!bench::connectAndWait(window))
        return 1;

    runEvents(500); // settle
    const int pollsBefore = window.scheduler()->statistics().polls();
    const int timeoutsBefore = window.scheduler()->statistics().timeouts();
    const int corruptBefore = window.scheduler()->statistics().corrupt();
    const int refusedBefore = window.scheduler()->statistics().refused();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    runEvents(seconds * 1000);
    const double elapsed = clock.elapsed() / 1000.0;
    const double cpu = cpuSeconds() - cpuBefore;
    const BusStatistics& statistics = window.scheduler()->statistics();
    const std::vector<qint64> samples = statistics.decodeSamples();
    const double pollRate = (statistics.polls() - pollsBefore) / elapsed;
    const int timeouts = statistics.timeouts() - timeoutsBefore;
    const int corrupt = statistics.corrupt() - corruptBefore;
    const int refused = statistics.refused() - refusedBefore;

    // The decoder with the sized register view, fed an answer recorded from the simulator.
    window.scheduler()->stopScheduler();
    for (int i = 0; i < 100 && window.serialHelper()->isBusy(); ++i)
        runEvents(10);
    QByteArray recorded;
    window.serialHelper()->readData(1, 0, 118, [&recorded](QByteArray answer) { recorded = answer; });
    for (int i = 0; i < 100 && recorded.isEmpty(); ++i)
        runEvents(10);
    if (recorded.size() != 129) {
        std::fprintf(stderr, "could not record an answer\n");
        return 1;
    }

    // One poll occupies the line for its request (14 bytes) and answer (11 + 118 bytes), ten
    // bits a byte, plus the servo's return delay (2 us a unit).
    const double returnDelaySeconds =
        quint8(recorded.at(9 + servosim::ServoModel::ReturnDelayAddress)) * 2e-6;
    const double lineLimit = 1.0 / ((14 + 129) * 10.0 / baudRate + returnDelaySeconds);
    const double intervalLimit = 1000.0 / interval;
    const double limit = std::min(lineLimit, intervalLimit);
    std::printf("polling at %d ms for %.1f s over a simulated line at %d baud\n", interval, elapsed,
                baudRate);
    std::printf("  line limit                 %8.1f polls/s (%.0f us return delay)\n", lineLimit,
                returnDelaySeconds * 1e6);
    std::printf("  interval limit             %8.1f polls/s\n", intervalLimit);
    std::printf("  polls per second           %8.1f   (target >= 95 %% of %.1f)\n", pollRate, limit);
    std::printf("  share of the line limit    %8.1f %%\n", 100.0 * pollRate / lineLimit);
    std::printf("  share of the lower limit   %8.1f %% (target >= 95)\n", 100.0 * pollRate / limit);
    std::printf("  failed transactions        %8d   (target 0; %d timed out, %d corrupt, %d refused)\n",
                timeouts + corrupt + refused, timeouts, corrupt, refused);
    std::printf("  ticks deferred (bus busy)  %8d\n", statistics.skippedTicks());
    // Decoding with the register view's updates; the repaint that follows is in the CPU figure.
    std::printf("  GUI time per poll, median  %8.1f us (target <= 1000)\n", percentile(samples, 0.5));
    std::printf("  GUI time per poll, p99     %8.1f us\n", percentile(samples, 0.99));
    std::printf("  process CPU                %8.1f %% of one core (target <= 25)\n", 100.0 * cpu / elapsed);

    const int rounds = 20000;
    QElapsedTimer decodeClock;
    decodeClock.start();
    for (int i = 0; i < rounds; ++i) {
        recorded[9 + 86] = char(i); // the actual position changes on every poll
        UiRegisterHelper::_instance->decodeResponse(recorded);
    }
    const double decodeSeconds = decodeClock.nsecsElapsed() / 1e9;
    std::printf("decoder alone: %.0f polls/s (target >= 5000)\n", rounds / decodeSeconds);

    window.getDisconnectAction()->trigger();
    runEvents(200);

    simulator.terminate();
    simulator.waitForFinished(3000);
    return 0;
}
