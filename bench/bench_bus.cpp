// Ten simulated servos on one bus: the connected one polled at 10 ms, alone and then with the other
// nine in the Bus table, read in turn between its polls. Prints the connected servo's poll rate in
// both runs and how often each other row was refreshed. Then numbers ten factory-new servos plugged
// in one after another and prints how long each took from being plugged in to being ready.
//   bench_bus [seconds] [interval-ms]

#include "core/jobs/busroster.h"
#include "core/jobs/servonumbering.h"
#include "core/session/uischeduler.h"
#include "core/transport/serialhelper.h"
#include "window/controllers/buscontrol.h"
#include "window/mainwindow.h"

#include "benchsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <servosimulator.h>

#include <cstdio>
#include <map>

using bench::runEvents;

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 10;
    const int interval = argc > 2 ? atoi(argv[2]) : 10;
    constexpr int servos = 10;

    QTemporaryDir home;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
    QStringList ids;
    for (int id = 1; id <= servos; ++id)
        ids << QString::number(id);
    QProcess simulator;
    if (!bench::startSimulator(simulator, home.filePath("velkora-sim"), 1000000, interval,
                               {"--id", ids.join(QLatin1Char(','))}))
        return 1;

    MainWindow window;
    window.show();
    if (!bench::connectAndWait(window))
        return 1;
    UiScheduler* scheduler = window.scheduler().get();
    runEvents(500);

    auto pollRate = [&](double* elapsed) {
        const int before = scheduler->statistics().polls();
        QElapsedTimer clock;
        clock.start();
        runEvents(seconds * 1000);
        *elapsed = clock.elapsed() / 1000.0;
        return (scheduler->statistics().polls() - before) / *elapsed;
    };
    double aloneSeconds = 0;
    const double alone = pollRate(&aloneSeconds);

    BusRoster* roster = window.bus()->roster();
    QList<int> listed;
    for (int id = 1; id <= servos; ++id)
        listed << id;
    window.bus()->list(listed, 1000000);
    std::map<int, int> refreshes; // id -> rows changed with new values
    QObject::connect(roster, &QAbstractItemModel::dataChanged, [&](const QModelIndex& from, const QModelIndex&) {
        if (from.column() == 0)
            ++refreshes[roster->idAt(from.row())];
    });
    runEvents(500);
    refreshes.clear();
    double withSeconds = 0;
    const double withTable = pollRate(&withSeconds);
    double slowest = 1e9;
    int slowestId = 0;
    for (int id = 2; id <= servos; ++id) {
        const double rate = refreshes[id] / withSeconds;
        if (rate < slowest) {
            slowest = rate;
            slowestId = id;
        }
    }

    std::printf("%d simulated servos at 1000000 baud, servo 1 polled every %d ms, %d s per run\n", servos, interval,
                seconds);
    std::printf("polls_per_second_alone %.1f\n", alone);
    std::printf("polls_per_second_with_bus_table %.1f\n", withTable);
    std::printf("poll_rate_kept_percent %.1f (target >= 95)\n", alone > 0 ? 100.0 * withTable / alone : 0.0);
    std::printf("slowest_row_refreshes_per_second %.1f (servo %d; target >= 10)\n", slowest, slowestId);
    std::printf("side_reads_answered %d\n", roster->sideReadsAnswered());
    window.getDisconnectAction()->trigger();
    simulator.terminate();
    simulator.waitForFinished(3000);

    // Numbering: the simulator in this process, so a new servo can be plugged in when one is wanted.
    servosim::Options options;
    options.ids = {200}; // a servo already on the bus
    servosim::ServoSimulator bus(options);
    QString error;
    if (!bus.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    auto serial = std::make_shared<SerialHelper>();
    error = serial->openSerialPort(bus.devicePath(), 1000000);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    ServoNumbering numbering(serial);
    std::vector<qint64> perServo;
    QElapsedTimer sincePlug;
    QObject::connect(&numbering, &ServoNumbering::waiting, [&] {
        if (int(perServo.size()) < servos) {
            bus.plugServo(1);
            sincePlug.start();
        }
    });
    QObject::connect(&numbering, &ServoNumbering::servoReady,
                     [&](int, int, const QString&) { perServo.push_back(sincePlug.nsecsElapsed()); });
    QString failure;
    QObject::connect(&numbering, &ServoNumbering::failed, [&](const QString& why) { failure = why; });
    NumberingPlan plan;
    numbering.start(plan);
    for (int i = 0; i < 200 && int(perServo.size()) < servos && failure.isEmpty(); ++i)
        runEvents(100);
    numbering.stop();
    if (!failure.isEmpty())
        std::fprintf(stderr, "numbering failed: %s\n", qPrintable(failure));
    std::printf("servos_numbered %zu of %d (ids %d to %d)\n", perServo.size(), servos, plan.nextId,
                numbering.nextId() - 1);
    std::printf("numbering_ms_per_servo_median %.0f (target <= 1000)\n", bench::percentile(perServo, 0.5) / 1000);
    std::printf("numbering_ms_per_servo_max %.0f\n", bench::percentile(perServo, 1.0) / 1000);
    return int(perServo.size()) == servos ? 0 : 1;
}
