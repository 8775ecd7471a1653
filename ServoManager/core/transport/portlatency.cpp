#include "core/transport/portlatency.h"

#include "core/settings/settingshelper.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// USB adapters whose timer cannot be read are assumed to run at the usual default.
constexpr int defaultLatencyTimerMs = 16;
constexpr int schedulingSlackUs = 2000;
// Devices without a latency timer still wait for thread wake-ups, ours and the far end's. On a
// pseudo-terminal, on a 2-core machine at a load of 10 with sanitizers, answers came up to 11 ms
// after their line time (median 0.7 ms, 99th percentile 8.5 ms), and answers delivered in pieces
// 1 ms apart up to about 15 ms; a built-in UART does no worse.
constexpr int directDeviceAllowanceUs = 20000;
// A pseudo-terminal's far end is a program on this machine, the simulator: it answers when the
// scheduler lets it. Run under nice beside a parallel build, the simulator's answers came up to
// 29 ms late (median 7 ms, 99th percentile 16 ms); this leaves room for busier machines. It only
// lengthens a wait for an answer that does not come.
constexpr int pseudoTerminalAllowanceUs = 80000;
constexpr int lowestUsefulLatencyMs = 2;

QString tr(const char* text)
{
    return QCoreApplication::translate("PortLatency", text);
}

} // namespace

int PortLatency::allowanceUs() const
{
    switch (kind) {
    case Kind::UsbWithTimer:
        return 2 * latencyTimerMs * 1000 + schedulingSlackUs;
    case Kind::UsbOther:
        return 2 * defaultLatencyTimerMs * 1000 + schedulingSlackUs;
    case Kind::PseudoTerminal:
        return pseudoTerminalAllowanceUs;
    case Kind::NotUsb:
        break;
    }
    return directDeviceAllowanceUs;
}

PortLatency probePortLatency(const QString& portName, const QString& sysRoot)
{
    PortLatency latency;
    if (portName.isEmpty())
        return latency;
    // /dev/serial/by-id/... and the simulator's links name the tty only through the link.
    const QString path = portSystemLocation(portName);
    const QString resolved = QFileInfo(path).canonicalFilePath();
    latency.device = QFileInfo(resolved.isEmpty() ? path : resolved).fileName();
    if (resolved.startsWith(QLatin1String("/dev/pts/"))) {
        latency.kind = PortLatency::Kind::PseudoTerminal;
        return latency;
    }

    const QString timerPath = sysRoot + QStringLiteral("/bus/usb-serial/devices/") + latency.device +
                              QStringLiteral("/latency_timer");
    QFile timer(timerPath);
    if (timer.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const int value = timer.readAll().trimmed().toInt(&ok);
        if (ok && value >= 0 && value <= 255) {
            latency.kind = PortLatency::Kind::UsbWithTimer;
            latency.latencyTimerMs = value;
            latency.latencyTimerPath = timerPath;
            return latency;
        }
        latency.kind = PortLatency::Kind::UsbOther;
        return latency;
    }

    // Any other tty whose device hangs off a USB bus: an adapter whose timer we cannot see.
    const QString devicePath =
        QFileInfo(sysRoot + QStringLiteral("/class/tty/") + latency.device + QStringLiteral("/device"))
            .canonicalFilePath();
    static const QRegularExpression usbBus(QStringLiteral("/usb\\d+/"));
    if (!devicePath.isEmpty() && devicePath.contains(usbBus))
        latency.kind = PortLatency::Kind::UsbOther;
    return latency;
}

QString portLatencyText(const PortLatency& latency)
{
    switch (latency.kind) {
    case PortLatency::Kind::UsbWithTimer: {
        QString text = tr("Latency: %1 ms (USB adapter latency timer)").arg(latency.latencyTimerMs);
        if (latency.latencyTimerMs > lowestUsefulLatencyMs)
            text +=
                QLatin1Char('\n') +
                tr("Lower it to 1 ms for faster polling and search:\necho 1 | sudo tee %1\n"
                   "For good (every time it is plugged in): sudo cp %2 /etc/udev/rules.d/, then replug it.")
                    .arg(latency.latencyTimerPath, QStringLiteral(VSM_LATENCY_RULE));
        return text;
    }
    case PortLatency::Kind::UsbOther:
        return tr("Latency: unknown (USB adapter), %1 ms assumed").arg(defaultLatencyTimerMs);
    case PortLatency::Kind::PseudoTerminal:
        return tr("Latency: none (a pseudo-terminal; a program on this machine answers)");
    case PortLatency::Kind::NotUsb:
        break;
    }
    return tr("Latency: none (not a USB adapter)");
}
