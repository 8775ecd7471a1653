#include "core/transport/portcheck.h"

#include "core/settings/settingshelper.h"
#include "core/transport/portdiagnostics.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("BusDoctor", text);
}

DoctorFinding finding(const QString& check, DoctorFinding::Verdict verdict, const QString& text,
                      const QString& fix = {})
{
    return {check, verdict, text, fix};
}

// The adapter as sysfs describes it: the kernel driver, and for a USB adapter its vendor and
// product ids and name.
QString adapterText(const QString& devicePath)
{
    const QString base = QStringLiteral("/sys/class/tty/") + QFileInfo(devicePath).fileName();
    const QString driver = QFileInfo(base + QStringLiteral("/device/driver")).symLinkTarget();
    if (driver.isEmpty())
        return {};
    QString text = tr("driver %1").arg(QFileInfo(driver).fileName());
    // The USB device is a few levels above the tty's device: the first folder with a vendor id.
    QDir dir(QFileInfo(base + QStringLiteral("/device")).canonicalFilePath());
    for (int level = 0; level < 4 && !dir.isRoot(); ++level, dir.cdUp()) {
        QFile vendor(dir.filePath(QStringLiteral("idVendor")));
        QFile product(dir.filePath(QStringLiteral("idProduct")));
        if (!vendor.open(QIODevice::ReadOnly) || !product.open(QIODevice::ReadOnly))
            continue;
        QFile name(dir.filePath(QStringLiteral("product")));
        const QString productName =
            name.open(QIODevice::ReadOnly) ? QString::fromUtf8(name.readAll()).trimmed() : QString();
        text += tr(", USB %1:%2")
                    .arg(QString::fromLatin1(vendor.readAll()).trimmed(),
                         QString::fromLatin1(product.readAll()).trimmed());
        if (!productName.isEmpty())
            text += QStringLiteral(" (%1)").arg(productName);
        break;
    }
    return text;
}

QString groupName(gid_t gid)
{
    const group* entry = ::getgrgid(gid);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(gid);
}

QList<gid_t> ownGroups()
{
    QList<gid_t> groups{::getegid()};
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> list(size_t(std::max(count, 0)));
    if (count > 0 && ::getgroups(count, list.data()) == count)
        groups.append(QList<gid_t>(list.begin(), list.end()));
    return groups;
}

// Another process named in a lock file (/var/lock/LCK..ttyUSB0) that still runs.
qint64 lockFileHolder(const QString& devicePath)
{
    for (const QString& folder : {QStringLiteral("/var/lock"), QStringLiteral("/run/lock")}) {
        QFile lock(folder + QStringLiteral("/LCK..") + QFileInfo(devicePath).fileName());
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        const qint64 pid = QString::fromLatin1(lock.readAll()).trimmed().toLongLong();
        if (pid > 0 && pid != ::getpid() && QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)))
            return pid;
    }
    return 0;
}

QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed() : QString();
}

DoctorFinding holderFinding(const QString& path, bool exclusive)
{
    const QString check = tr("Other programs");
    QStringList names;
    for (const auto& [pid, name] : processesHolding(path))
        names << QStringLiteral("%1 (process %2)").arg(name).arg(pid);
    if (const qint64 locker = lockFileHolder(path); locker > 0 && names.isEmpty())
        names << QStringLiteral("%1 (process %2, by its lock file)").arg(processName(locker)).arg(locker);
    if (names.isEmpty() && !exclusive)
        return finding(check, DoctorFinding::Verdict::Fine, tr("No other program has %1 open.").arg(path));
    if (names.isEmpty())
        return finding(check, DoctorFinding::Verdict::Problem,
                       tr("Another program holds %1 for itself; which one could not be found.").arg(path),
                       tr("Close the other serial programs (terminal programs, other servo tools), or "
                          "unplug and plug in the adapter."));
    return finding(
        check, DoctorFinding::Verdict::Problem, tr("%1 is open in %2.").arg(path, names.join(", ")),
        tr("Close %1 first; two programs on one bus garble each other's requests.").arg(names.join(", ")));
}

} // namespace

bool mayReadAndWrite(const FileAccess& file, uid_t user, const QList<gid_t>& groups)
{
    if (user == 0)
        return true;
    const mode_t both = file.owner == user            ? (S_IRUSR | S_IWUSR)
                        : groups.contains(file.group) ? (S_IRGRP | S_IWGRP)
                                                      : (S_IROTH | S_IWOTH);
    return (file.mode & both) == both;
}

namespace {

// The number of a pseudo-terminal's device (/dev/pts/N); -1 for any other device.
int pseudoTerminalIndex(const QString& device)
{
    static const QString prefix = QStringLiteral("/dev/pts/");
    bool number = false;
    const int index = device.startsWith(prefix) ? device.mid(prefix.size()).toInt(&number) : -1;
    return number ? index : -1;
}

// Whether a process holds the master side of pseudo-terminal `index`: the far end of its line (a
// simulator), which keeps the device open too so that the line stays up.
bool holdsMasterOf(qint64 pid, int index)
{
    const QString fds = QStringLiteral("/proc/%1/fd/").arg(pid);
    for (const QFileInfo& fd : QDir(fds).entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
        if (!fd.symLinkTarget().endsWith(QLatin1String("ptmx")))
            continue;
        QFile info(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid).arg(fd.fileName()));
        if (!info.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : info.readAll().split('\n')) {
            if (line.startsWith("tty-index:") && line.mid(10).trimmed().toInt() == index)
                return true;
        }
    }
    return false;
}

} // namespace

QList<QPair<qint64, QString>> processesHolding(const QString& devicePath)
{
    QList<QPair<qint64, QString>> holders;
    const QString device = QFileInfo(devicePath).canonicalFilePath();
    const int ptyIndex = pseudoTerminalIndex(device);
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : pids) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number || pid == ::getpid())
            continue;
        // Other users' processes cannot be looked into; what can be seen is named.
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
            if (fd.symLinkTarget() == device) {
                if (ptyIndex < 0 || !holdsMasterOf(pid, ptyIndex))
                    holders.append({pid, processName(pid)});
                break;
            }
        }
    }
    return holders;
}

QList<DoctorFinding> checkPort(const QString& portName)
{
    QList<DoctorFinding> findings;
    const QString path = portSystemLocation(portName);
    const QString portCheck = tr("Port");
    const QByteArray nativePath = QFile::encodeName(path);
    struct stat status = {};
    if (path.isEmpty() || ::stat(nativePath.constData(), &status) != 0) {
        findings << finding(portCheck, DoctorFinding::Verdict::Problem,
                            tr("%1 does not exist.").arg(path.isEmpty() ? portName : path),
                            tr("Plug the adapter in and choose its port in Settings; ls /dev/serial/by-id/ "
                               "lists the adapters the system knows."));
        return findings;
    }
    if (const QString notSerial = notSerialPortText(portName); !notSerial.isEmpty()) {
        findings << finding(portCheck, DoctorFinding::Verdict::Problem, notSerial,
                            tr("Choose the port of the servos' adapter, such as /dev/ttyUSB0."));
        return findings;
    }
    const QString adapter = adapterText(path);
    findings << finding(portCheck, DoctorFinding::Verdict::Fine,
                        adapter.isEmpty() ? tr("%1 is a serial device.").arg(path)
                                          : tr("%1 is a serial device (%2).").arg(path, adapter));

    const QString accessCheck = tr("Permission");
    const FileAccess file{status.st_mode, status.st_uid, status.st_gid};
    const QString group = groupName(status.st_gid);
    if (!mayReadAndWrite(file, ::geteuid(), ownGroups())) {
        findings << finding(accessCheck, DoctorFinding::Verdict::Problem,
                            tr("You may not open %1 (owner group \"%2\", mode %3).")
                                .arg(path, group, QString::number(status.st_mode & 0777, 8)),
                            portPermissionHint(path, group));
        return findings;
    }
    findings << finding(accessCheck, DoctorFinding::Verdict::Fine, tr("You may open %1.").arg(path));

    // A port another program opened for itself refuses every other opening with EBUSY.
    const int fd = ::open(nativePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool exclusive = fd < 0 && errno == EBUSY;
    if (fd >= 0)
        ::close(fd);
    findings << holderFinding(path, exclusive);
    return findings;
}

DoctorFinding latencyFinding(const PortLatency& latency)
{
    const QString check = tr("Latency");
    QString text = portLatencyText(latency);
    // The settings dialog's line names itself; a verdict's check already does.
    const QString named = QCoreApplication::translate("PortLatency", "Latency: ");
    if (text.startsWith(named) && text.size() > named.size()) {
        text.remove(0, named.size());
        text[0] = text[0].toUpper();
    }
    const int newline = text.indexOf(QLatin1Char('\n'));
    if (newline < 0) {
        const bool unknown = latency.kind == PortLatency::Kind::UsbOther;
        return finding(check, unknown ? DoctorFinding::Verdict::Note : DoctorFinding::Verdict::Fine, text);
    }
    // The timer holds every answer back: each exchange waits for it twice.
    return finding(check, DoctorFinding::Verdict::Problem,
                   tr("%1: every exchange waits up to %2 ms for it.")
                       .arg(text.left(newline))
                       .arg(2 * latency.latencyTimerMs),
                   text.mid(newline + 1));
}
