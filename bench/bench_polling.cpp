// Polls a simulated servo through the whole program and prints what it achieved:
// polls per second (also as a share of what the line and the interval allow), failed
// transactions, GUI-thread time per poll, process CPU; then the decoder alone on a recorded
// answer.
//   bench_polling [seconds] [interval-ms] [baud]

#include "bus/serialhelper.h"
#include "bus/uischeduler.h"
#include "device/uiregisterhelper.h"
#include "mainwindow.h"

#include <servomodel.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<qint64> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(fraction * (values.size() - 1) + 0.5));
    return values[index] / 1000.0; // µs
}

// Runs the event loop like the program does, without spinning.
void runEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

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

    // The simulator runs as its own process so that the CPU figure is the program's alone.
    QProcess simulator;
    simulator.setProgram(QStringLiteral(VSM_SIMULATOR_PATH));
    simulator.setArguments({"--link", link, "--quiet", "--baud", QString::number(baudRate)});
    simulator.start();
    if (!simulator.waitForStarted(5000)) {
        std::fprintf(stderr, "cannot start %s\n", VSM_SIMULATOR_PATH);
        return 1;
    }
    for (int i = 0; i < 200 && !QFileInfo::exists(link); ++i)
        QThread::msleep(10);

    {
        QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
        settings.setValue(QStringLiteral("port settings/serialPortName"), link);
        settings.setValue(QStringLiteral("port settings/baudRate"), baudRate);
        settings.setValue(QStringLiteral("main window settings/servoId"), 1);
        settings.setValue(QStringLiteral("main window settings/pollingInterval"), interval);
    }

    MainWindow window;
    window.show();
    // Watch the registers live, as a user would: the view repaints on every poll.
    window.findChild<QTabWidget*>(QStringLiteral("tabWidget"))->setCurrentIndex(1);
    window.getConnectAction()->trigger();
    for (int i = 0; i < 30 && !(window.scheduler() && window.scheduler()->isRunning()); ++i)
        runEvents(100);
    if (!window.scheduler() || !window.scheduler()->isRunning()) {
        std::fprintf(stderr, "could not connect to the simulator\n");
        return 1;
    }

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
