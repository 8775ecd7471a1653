// Measures the servo search against a simulated bus and prints the figures:
//   - how late answers come on this port, against the allowance the deadlines give it;
//   - a per-id scan of ids 0-253 at 1,000,000 baud on an empty bus, wall time against the sum
//     of the probes' waits (thread hand-over and port handling must stay cheap);
//   - quick scans (broadcast ping) of all ten rates over ids 0-252 and over 1-10;
//   - servos placed at every rate, found by both kinds of scan.
//   bench_search

#include "core/transport/portlatency.h"
#include "core/transport/serialhelper.h"
#include "window/dialogs/searchdialog.h"

#include <servosimulator.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QList<int> allRates = {9600, 19200, 38400, 57600, 115200, 200000, 250000, 400000, 500000, 1000000};

// Runs one scan in the dialog and returns its wall time in seconds.
double scan(SearchDialog& dialog, const QString& port, const QList<int>& rates, int lower, int upper,
            bool quick)
{
    QSettings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"))
        .setValue(QStringLiteral("port settings/serialPortName"), port);
    dialog.show();
    for (int rate : rates)
        dialog.findChild<QCheckBox*>(QStringLiteral("baudRate%1CheckBox").arg(rate))->setChecked(true);
    dialog.findChild<QSpinBox*>(QStringLiteral("lowerSearchRangeSpinBox"))->setValue(lower);
    dialog.findChild<QSpinBox*>(QStringLiteral("upperSearchRangeSpinBox"))->setValue(upper);
    dialog.findChild<QSpinBox*>(QStringLiteral("lowerSearchRangeSpinBox"))->setValue(lower);
    dialog.findChild<QCheckBox*>(QStringLiteral("quickScanCheckBox"))->setChecked(quick);
    QElapsedTimer clock;
    clock.start();
    dialog.findChild<QPushButton*>(QStringLiteral("scanPushButton"))->click();
    return clock.nsecsElapsed() / 1e9;
}

// "rate/id" of every servo row.
QStringList found(SearchDialog& dialog)
{
    QStringList rows;
    auto* tree = dialog.findChild<QTreeWidget*>(QStringLiteral("servoTreeWidget"));
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        for (int j = 0; j < tree->topLevelItem(i)->childCount(); ++j)
            rows << tree->topLevelItem(i)->text(0) + "/" + tree->topLevelItem(i)->child(j)->text(1);
    rows.sort();
    return rows;
}

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0
                          : values[std::min(values.size() - 1, size_t(fraction * (values.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QTemporaryDir home;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());

    // 1. Answer lateness on a pseudo-terminal: time from request to whole answer, less the line.
    {
        servosim::Options options;
        servosim::ServoSimulator sim(options);
        if (!sim.start())
            return 1;
        SerialHelper serial;
        if (!serial.openSerialPort(sim.portName(), 1000000).isEmpty())
            return 1;
        std::vector<double> lateMs;
        int failures = 0;
        QElapsedTimer clock;
        for (int i = 0; i < 500; ++i) {
            QEventLoop loop;
            clock.start();
            serial.readData(
                1, 0, 4,
                [&](QByteArray) {
                    lateMs.push_back(clock.nsecsElapsed() / 1e6 - 0.29 - 0.5);
                    loop.quit();
                },
                [&](FailureKind, const RequestInfo&, uint8_t) {
                    ++failures;
                    loop.quit();
                });
            loop.exec();
        }
        std::printf("answer lateness beyond line time and return delay (500 reads at 1 Mbaud): "
                    "p50 %.2f ms, p99 %.2f ms, max %.2f ms; %d failed; allowance for this port %.1f ms\n",
                    percentile(lateMs, 0.5), percentile(lateMs, 0.99), percentile(lateMs, 1.0), failures,
                    serial.adapterAllowanceUs() / 1000.0);
    }

    SearchDialog dialog;

    // 2. Per-id scan of an empty bus (the one servo listens at 9600).
    {
        servosim::Options options;
        options.baudRate = 9600;
        servosim::ServoSimulator sim(options);
        if (!sim.start())
            return 1;
        const double wall = scan(dialog, sim.portName(), {1000000}, 0, 253, false);
        const int allowance = probePortLatency(sim.portName()).allowanceUs();
        const double waits = 254 * SearchDialog::probeWaitMs(1000000, allowance) / 1000.0;
        std::printf("per-id scan, ids 0-253 at 1000000 baud, empty bus: %d probes, %.2f s wall, "
                    "%.2f s of waits, ratio %.3f (target <= 1.2)\n",
                    dialog.probesMade(), wall, waits, wall / waits);

        // 3. Quick scans of all rates.
        const double quickAll = scan(dialog, sim.portName(), allRates, 0, 252, true);
        const double quickDefault = scan(dialog, sim.portName(), allRates, 1, 10, true);
        std::printf("quick scan, all ten rates, ids 0-252: %.2f s; ids 1-10: %.2f s\n", quickAll,
                    quickDefault);
    }

    // 4. One servo at each rate; both kinds of scan must find all of them, each under its rate.
    {
        servosim::Options options;
        options.ids = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
        servosim::ServoSimulator sim(options);
        if (!sim.start())
            return 1;
        QStringList placed;
        for (int i = 0; i < allRates.size(); ++i) {
            sim.setServoBaudRate(10 + i, allRates[i]);
            placed << QStringLiteral("%1/%2").arg(allRates[i]).arg(10 + i);
        }
        placed.sort();
        int failures = 0;
        for (bool quick : {false, true}) {
            const double wall = scan(dialog, sim.portName(), allRates, 0, 30, quick);
            const QStringList seen = found(dialog);
            const int hits = int(std::count_if(placed.begin(), placed.end(),
                                               [&](const QString& s) { return seen.contains(s); }));
            std::printf("%s scan, ids 0-30, one servo at each rate: %d of %d found at their rates, "
                        "%d rows, %.2f s\n",
                        quick ? "quick" : "per-id", hits, int(placed.size()), int(seen.size()), wall);
            failures += seen == placed ? 0 : 1;
        }
        if (failures)
            return 2;
    }
    return 0;
}
