#pragma once
// The program connected to a simulated servo, for the tests of what a user sees while it polls.
// Header only: just the program's tests include it, and they link the program's code.

#include "window/mainwindow.h"

#include <isolatedsettings.h>
#include <servosimulator.h>

#include <QAction>
#include <QSettings>
#include <QStatusBar>
#include <QtTest>

#include <memory>

namespace testfixture {

// A read-all answer carrying `table` as it is (the decoder does not look at the checksum).
inline QByteArray statusPacket(const QByteArray& table)
{
    QByteArray packet = QByteArray::fromHex("fffffd0001");
    const int length = table.size() + 4;
    packet.append(char(length & 0xFF)).append(char(length >> 8)).append(char(0x55)).append(char(0));
    return packet + table + QByteArray(2, 0);
}

// Starts a simulated servo `servoId` of `model` at 1,000,000 baud and stores the settings a
// window started now connects with: that port and rate, polling every `interval` ms, in the
// given units (settings key -> unit).
inline void startSimulated(const IsolatedSettings& home, servosim::Model model, const QMap<QString, int>& units,
                           int servoId, int interval, std::unique_ptr<servosim::ServoSimulator>& sim,
                           const QList<int>& ids = {1})
{
    servosim::Options options;
    options.model = model;
    // An AX-12 answers Protocol 1 only, as a real one does.
    const int protocol = model == servosim::Model::Ax12 ? 1 : 2;
    options.protocol = protocol;
    options.ids = ids;
    options.linkPath = home.path() + "/velkora-sim";
    sim = std::make_unique<servosim::ServoSimulator>(options);
    QString error;
    QVERIFY2(sim->start(&error), qPrintable(error));
    QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
    settings.setValue("port settings/serialPortName", sim->portName());
    settings.setValue("port settings/baudRate", 1000000);
    settings.setValue("port settings/protocol", protocol);
    settings.setValue("main window settings/servoId", servoId);
    settings.setValue("main window settings/pollingInterval", interval);
    for (auto it = units.begin(); it != units.end(); ++it)
        settings.setValue("units settings/" + it.key(), it.value());
    settings.sync();
}

// The same, and a main window on it that connects.
inline void openConnected(const IsolatedSettings& home, servosim::Model model, const QMap<QString, int>& units,
                          int servoId, int interval, std::unique_ptr<servosim::ServoSimulator>& sim,
                          std::unique_ptr<MainWindow>& window, const QList<int>& ids = {1})
{
    startSimulated(home, model, units, servoId, interval, sim, ids);
    if (QTest::currentTestFailed())
        return;
    window = std::make_unique<MainWindow>();
    window->show();
    window->getConnectAction()->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(window->statusBar()->currentMessage(), QStringLiteral("Connected"), 20000);
}

} // namespace testfixture
