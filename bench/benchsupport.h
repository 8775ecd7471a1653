#pragma once
// What the benchmarks that run the whole program share: CPU time, percentiles, an event
// loop that runs without spinning, and a simulated servo in a process of its own.

#include "core/files/csvrecorder.h"
#include "core/model/fieldcatalogue.h"
#include "core/model/idevice.h"
#include "core/session/devicehelper.h"
#include "window/controllers/windowdevicehelper.h"
#include "core/session/uischeduler.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QThread>
#include <QTimer>

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace bench {

// A request sent straight on the device, again and again, each whole answer counted by its bytes:
// the rate the simulator and the line allow without the program.
class BareClient
{
public:
    BareClient(const QString& path, int baudRate)
    {
        _fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (_fd < 0)
            return;
        termios tio{};
        tcgetattr(_fd, &tio);
        cfmakeraw(&tio);
        const speed_t speed = baudRate == 57600 ? B57600 : baudRate == 115200 ? B115200 : B1000000;
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tcsetattr(_fd, TCSANOW, &tio);
        tcflush(_fd, TCIOFLUSH);
    }
    ~BareClient()
    {
        if (_fd >= 0)
            ::close(_fd);
    }
    BareClient(const BareClient&) = delete;
    BareClient& operator=(const BareClient&) = delete;
    bool isOpen() const { return _fd >= 0; }

    // Exchanges per second over `ms`; failures counted in `failed`.
    double rate(const QByteArray& request, int answerBytes, int ms, int* failed)
    {
        QElapsedTimer clock;
        clock.start();
        int answered = 0;
        char buffer[1024];
        while (_fd >= 0 && clock.elapsed() < ms) {
            if (::write(_fd, request.constData(), size_t(request.size())) != request.size()) {
                ++*failed;
                continue;
            }
            int got = 0;
            while (got < answerBytes) {
                pollfd wait{_fd, POLLIN, 0};
                if (::poll(&wait, 1, 200) <= 0)
                    break;
                const ssize_t n = ::read(_fd, buffer, sizeof(buffer));
                got += n > 0 ? int(n) : 0;
            }
            if (got == answerBytes) {
                ++answered;
            } else {
                ++*failed;
                tcflush(_fd, TCIFLUSH);
            }
        }
        return answered * 1000.0 / std::max<qint64>(1, clock.elapsed());
    }

private:
    int _fd = -1;
};

inline double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// In µs, from values in ns.
inline double percentile(std::vector<qint64> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(fraction * (values.size() - 1) + 0.5));
    return values[index] / 1000.0;
}

// Runs the event loop like the program does, without spinning.
inline void runEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs events until `done` holds or `ms` have passed; whether it holds.
template <typename Done> bool waitFor(int ms, Done done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        runEvents(10);
    return done();
}

// Points the program's stored settings at servo `servoId` on `port`, polled every `interval` ms.
inline void pointSettingsAt(const QString& port, int baudRate, int interval, int servoId = 1)
{
    QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
    settings.setValue(QStringLiteral("port settings/serialPortName"), port);
    settings.setValue(QStringLiteral("port settings/baudRate"), baudRate);
    settings.setValue(QStringLiteral("main window settings/servoId"), servoId);
    settings.setValue(QStringLiteral("main window settings/pollingInterval"), interval);
}

// A position target of the V1 (raw counts), as the goal position register takes it.
inline QByteArray targetPosition(qint32 counts)
{
    QByteArray bytes;
    for (int i = 0; i < 4; ++i)
        bytes.append(char((counts >> (8 * i)) & 0xFF));
    return bytes;
}

// Swings the shaft between two targets every `periodMs` through the program's own write path,
// so the curves move.
inline void swingTarget(QTimer& timer, UiScheduler* scheduler, int periodMs)
{
    const int goalPosition =
        FieldCatalogue(*WindowDeviceHelper::getInstance()->getDevice()).byKey(QStringLiteral("targetPosition"))->address;
    auto out = std::make_shared<bool>(true);
    scheduler->addQueueRequest(goalPosition, targetPosition(1500));
    QObject::connect(&timer, &QTimer::timeout, scheduler, [scheduler, out, goalPosition] {
        *out = !*out;
        scheduler->addQueueRequest(goalPosition, targetPosition(*out ? 1500 : -1500));
    });
    timer.start(periodMs);
}

// Starts recording to `csv`, counting in `samples` the live samples that arrive while it records
// (they must equal the rows written). False, said on stderr, when it cannot record.
inline bool startCountedRecording(MainWindow& window, UiScheduler* scheduler, const QString& csv, int* samples)
{
    QObject::connect(scheduler, &UiScheduler::liveSample, &window, [&window, samples] {
        if (window.recorder()->isRecording())
            ++*samples;
    });
    window.startRecording(csv);
    if (window.recorder()->isRecording())
        return true;
    std::fprintf(stderr, "could not record to %s\n", qPrintable(csv));
    return false;
}

// Starts the simulator as its own process (so the CPU figure is the program's alone) on
// `link` and points the program's settings at it, polling servo 1 every `interval` ms.
inline bool startSimulator(QProcess& simulator, const QString& link, int baudRate, int interval,
                           const QStringList& more = {})
{
    simulator.setProgram(QStringLiteral(VSM_SIMULATOR_PATH));
    simulator.setArguments(QStringList{"--link", link, "--quiet", "--baud", QString::number(baudRate)} + more);
    simulator.start();
    if (!simulator.waitForStarted(5000)) {
        std::fprintf(stderr, "cannot start %s\n", VSM_SIMULATOR_PATH);
        return false;
    }
    for (int i = 0; i < 200 && !QFileInfo::exists(link); ++i)
        QThread::msleep(10);
    pointSettingsAt(link, baudRate, interval);
    return QFileInfo::exists(link);
}

// Connects as the user would and waits until polling runs.
inline bool connectAndWait(MainWindow& window)
{
    window.getConnectAction()->trigger();
    for (int i = 0; i < 30 && !(window.scheduler() && window.scheduler()->isRunning()); ++i)
        runEvents(100);
    if (window.scheduler() && window.scheduler()->isRunning())
        return true;
    std::fprintf(stderr, "could not connect to the simulator\n");
    return false;
}

} // namespace bench
