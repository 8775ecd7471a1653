#include "servosimulator.h"

#include "protocol.h"
#include "ptyline.h"

#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace servosim {

class ServoSimulator::Thread : public QThread
{
public:
    explicit Thread(ServoSimulator* simulator) : m_simulator(simulator) {}

protected:
    void run() override { m_simulator->serve(); }

private:
    ServoSimulator* m_simulator;
};

namespace {

QString systemError(const QString& what)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

QString validate(const Options& options)
{
    const QList<ServoGroup> groups = options.groups();
    for (const ServoGroup& group : groups) {
        if (group.ids.isEmpty())
            return QStringLiteral("no servo id given");
        for (int id : group.ids)
            if (id < 0 || id > 252)
                return QStringLiteral("servo id %1 is outside 0 to 252").arg(id);
        if (const QString problem = servoProblem(group, options.baudRate, options.protocol);
            !problem.isEmpty())
            return problem;
    }
    if (options.faultRate < 0 || options.faultRate > 1)
        return QStringLiteral("fault rate %1 is outside 0 to 1").arg(options.faultRate);
    if (options.pieceBytes < 0 || options.pieceGapUs < 0)
        return QStringLiteral("answer pieces need a size and a pause of 0 or more");
    if (options.noiseIntervalMs < 0)
        return QStringLiteral("the noise interval must be 0 (none) or more milliseconds");
    if (options.supplyVoltage < 0)
        return QStringLiteral("supply voltage %1 V is below 0").arg(options.supplyVoltage);
    return {};
}

QString readLink(const QString& path)
{
    char target[4096];
    const ssize_t size = ::readlink(QFile::encodeName(path).constData(), target, sizeof(target));
    return size < 0 ? QString() : QFile::decodeName(QByteArray(target, int(size)));
}

} // namespace

QList<ServoGroup> Options::groups() const
{
    return QList<ServoGroup>{{ids, model, description}} + moreGroups;
}

ServoSimulator::ServoSimulator(Options options)
    : m_options(std::move(options)),
      m_linkPath(m_options.linkPath.isEmpty() ? QString() : QFileInfo(m_options.linkPath).absoluteFilePath())
{
    m_clock.start();
    m_bus = std::make_unique<ServoBus>(
        m_options.groups(), m_options.baudRate, [this] { return nowUs(); }, m_options.protocol);
    m_bus->setFaultRate(m_options.faultRate, m_options.faultKinds);
    if (m_options.allowSharedIds) {
        // The bus takes each id of a group once; the second servo at an id is plugged beside the first.
        QList<int> seen;
        for (int id : m_options.ids) {
            if (!seen.contains(id))
                seen.append(id);
            else if (m_options.description)
                m_bus->plugServo(id, 0, m_options.description);
            else
                m_bus->plugServo(id, 0, m_options.model);
        }
    }
    if (m_options.supplyVoltage > 0)
        m_bus->setSupplyVoltage(m_options.supplyVoltage);
}

ServoSimulator::~ServoSimulator()
{
    stop();
}

qint64 ServoSimulator::nowUs() const
{
    return m_clock.nsecsElapsed() / 1000;
}

bool ServoSimulator::start(QString* error)
{
    QMutexLocker lock(&m_mutex);
    if (m_thread)
        return true;
    QString problem = validate(m_options);
    if (problem.isEmpty()) {
        m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_wakeFd < 0)
            problem = systemError(QStringLiteral("eventfd"));
    }
    if (problem.isEmpty() && !openDevice(&problem)) {
        ::close(m_wakeFd);
        m_wakeFd = -1;
    }
    if (!problem.isEmpty()) {
        if (error)
            *error = problem;
        return false;
    }
    m_stopping = false;
    m_nextNoiseUs = nowUs() + qint64(m_options.noiseIntervalMs) * 1000;
    m_thread = std::make_unique<Thread>(this);
    m_thread->start();
    return true;
}

void ServoSimulator::stop()
{
    {
        QMutexLocker lock(&m_mutex);
        if (!m_thread)
            return;
        m_stopping = true;
        wake();
    }
    m_thread->wait();
    QMutexLocker lock(&m_mutex);
    m_thread.reset();
    dropOutgoing();
    closeDevice();
    ::close(m_wakeFd);
    m_wakeFd = -1;
}

QString ServoSimulator::devicePath() const
{
    QMutexLocker lock(&m_mutex);
    return m_devicePath;
}

QString ServoSimulator::portName() const
{
    QMutexLocker lock(&m_mutex);
    return m_linkPath.isEmpty() ? m_devicePath : m_linkPath;
}

bool ServoSimulator::openDevice(QString* error)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        *error = systemError(QStringLiteral("posix_openpt"));
        return false;
    }
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof(name)) != 0) {
        *error = systemError(QStringLiteral("pseudo-terminal"));
        ::close(master);
        return false;
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0 || !setRawLine(slave, m_options.baudRate)) {
        *error = systemError(QString::fromLocal8Bit(name));
        if (slave >= 0)
            ::close(slave);
        ::close(master);
        return false;
    }
    m_masterFd = master;
    m_slaveFd = slave;
    m_devicePath = QString::fromLocal8Bit(name);
    ++m_generation;

    if (m_linkPath.isEmpty())
        return true;
    // Replace a stale link from an earlier run, but never anything else.
    const QFileInfo existing(m_linkPath);
    if (existing.exists() && !existing.isSymLink()) {
        *error = QStringLiteral("%1 exists and is not a symbolic link").arg(m_linkPath);
        closeDevice();
        return false;
    }
    const QByteArray link = QFile::encodeName(m_linkPath);
    const QByteArray temporary = link + ".new" + QByteArray::number(::getpid());
    ::unlink(temporary.constData());
    if (::symlink(name, temporary.constData()) != 0 ||
        ::rename(temporary.constData(), link.constData()) != 0) {
        *error = systemError(m_linkPath);
        ::unlink(temporary.constData());
        closeDevice();
        return false;
    }
    return true;
}

void ServoSimulator::closeDevice()
{
    if (m_masterFd < 0)
        return;
    if (!m_linkPath.isEmpty() && readLink(m_linkPath) == m_devicePath)
        ::unlink(QFile::encodeName(m_linkPath).constData());
    ::close(m_slaveFd);
    ::close(m_masterFd);
    m_slaveFd = -1;
    m_masterFd = -1;
    ++m_generation;
}

void ServoSimulator::unplug()
{
    QMutexLocker lock(&m_mutex);
    dropOutgoing();
    closeDevice();
    wake();
}

bool ServoSimulator::plug()
{
    QMutexLocker lock(&m_mutex);
    if (!m_thread)
        return false;
    if (m_masterFd >= 0)
        return true;
    QString error;
    const bool opened = openDevice(&error);
    wake();
    return opened;
}

void ServoSimulator::wake()
{
    const quint64 one = 1;
    if (m_wakeFd >= 0)
        (void)::write(m_wakeFd, &one, sizeof(one));
}

void ServoSimulator::serve()
{
    QMutexLocker lock(&m_mutex);
    while (!m_stopping) {
        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {m_masterFd, POLLIN, 0}};
        const int generation = m_generation;
        timespec timeout{};
        timespec* wait = nullptr;
        std::optional<qint64> dueUs;
        if (!m_outgoing.isEmpty())
            dueUs = m_outgoing.first().dueUs;
        if (m_options.noiseIntervalMs > 0)
            dueUs = std::min(dueUs.value_or(m_nextNoiseUs), m_nextNoiseUs);
        if (dueUs) {
            const qint64 ns = std::max<qint64>(0, (*dueUs - nowUs()) * 1000);
            timeout.tv_sec = ns / 1000000000;
            timeout.tv_nsec = ns % 1000000000;
            wait = &timeout;
        }
        lock.unlock();
        const int ready = ::ppoll(fds, fds[1].fd >= 0 ? 2 : 1, wait, nullptr);
        lock.relock();
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            quint64 count;
            (void)::read(m_wakeFd, &count, sizeof(count));
        }
        if (ready > 0 && generation == m_generation && (fds[1].revents & POLLIN))
            readRequests();
        sendDue();
        sendNoise();
    }
}

void ServoSimulator::sendNoise()
{
    const qint64 now = nowUs();
    if (m_options.noiseIntervalMs <= 0 || now < m_nextNoiseUs)
        return;
    // Noise on a busy line would only spoil answers, which the faults do already: wait for quiet.
    if (!m_outgoing.isEmpty() || now < m_lineFreeUs) {
        m_nextNoiseUs = std::max(m_lineFreeUs, now + 1000);
        return;
    }
    m_nextNoiseUs = now + qint64(m_options.noiseIntervalMs) * 1000;
    if (m_masterFd < 0)
        return;
    // Never FF, so stray bytes cannot pass for the start of a packet.
    QByteArray bytes(1 + m_noise.bounded(4), '\0');
    for (char& c : bytes)
        c = char(m_noise.bounded(255));
    log("noise", bytes);
    (void)::write(m_masterFd, bytes.constData(), size_t(bytes.size()));
}

void ServoSimulator::readRequests()
{
    QByteArray bytes;
    char buffer[4096];
    ssize_t size;
    while ((size = ::read(m_masterFd, buffer, sizeof(buffer))) > 0)
        bytes.append(buffer, int(size));
    if (bytes.isEmpty())
        return;
    log("rx", bytes);
    if (m_options.echo) {
        // The client hears itself first; the answers are scheduled after the request's line time anyway.
        log("echo", bytes);
        (void)::write(m_masterFd, bytes.constData(), size_t(bytes.size()));
    }
    // A line at 0 baud (hung up) or one whose rate cannot be read reaches no servo.
    const int baudRate = lineBaudRate(m_slaveFd);
    const bool timed = m_options.wireTime && baudRate > 0;
    const qint64 requestEnd = nowUs() + (timed ? lineTimeUs(bytes.size(), baudRate) : 0);
    schedule(m_bus->receive(bytes, baudRate), requestEnd, baudRate);
}

void ServoSimulator::schedule(const QList<Transmission>& transmissions, qint64 requestEndUs, int baudRate)
{
    std::optional<qint64> previousEnd; // when the answer before this one has left the line
    bool previousLate = false;
    for (const Transmission& transmission : transmissions) {
        const bool follows = transmission.followsPrevious && previousEnd;
        qint64 at = (follows ? *previousEnd : std::max(requestEndUs, m_lineFreeUs)) + transmission.delayUs;
        const QList<QPair<QByteArray, qint64>> pieces = answerPieces(transmission);
        QList<Outgoing> parts;
        if (pieces.isEmpty())
            parts.append({at, {}, true, transmission});
        for (int i = 0; i < pieces.size(); ++i) {
            const QByteArray& piece = pieces.at(i).first;
            at += pieces.at(i).second;
            at += m_options.wireTime && baudRate > 0 ? lineTimeUs(piece.size(), baudRate) : 0;
            parts.append({at, piece, i == pieces.size() - 1, transmission});
        }
        // A late answer is the servo's own trouble; the line stays free for the next exchange. The parts
        // of a combined packet behind a late one are late with it.
        const bool late = transmission.fault == Fault::Delayed || (follows && previousLate);
        if (!late)
            m_lineFreeUs = at;
        previousEnd = at;
        previousLate = late;
        for (const Outgoing& part : parts) {
            auto position = std::upper_bound(m_outgoing.begin(), m_outgoing.end(), part.dueUs,
                                             [](qint64 due, const Outgoing& o) { return due < o.dueUs; });
            m_outgoing.insert(position, part);
        }
    }
}

QList<QPair<QByteArray, qint64>> ServoSimulator::answerPieces(const Transmission& transmission) const
{
    QList<QPair<QByteArray, qint64>> pieces;
    for (int i = 0; i < transmission.chunks.size(); ++i) {
        const QByteArray& chunk = transmission.chunks.at(i);
        const int size = m_options.pieceBytes > 0 ? m_options.pieceBytes : std::max(1, int(chunk.size()));
        qint64 pause = i > 0 ? transmission.chunkGapUs : 0;
        for (int at = 0; at < chunk.size(); at += size) {
            pieces.append({chunk.mid(at, size), pause});
            pause = m_options.pieceGapUs;
        }
    }
    return pieces;
}

void ServoSimulator::sendDue()
{
    const qint64 now = nowUs();
    while (!m_outgoing.isEmpty() && m_outgoing.first().dueUs <= now) {
        const Outgoing part = m_outgoing.takeFirst();
        if (!part.bytes.isEmpty() && m_masterFd >= 0) {
            log("tx", part.bytes);
            // A client that does not read lets the device fill up; what does not fit is lost, as on a line.
            (void)::write(m_masterFd, part.bytes.constData(), size_t(part.bytes.size()));
        }
        if (part.last)
            m_bus->transmissionDone(part.transmission);
    }
}

void ServoSimulator::dropOutgoing()
{
    for (const Outgoing& part : qAsConst(m_outgoing)) {
        if (!part.last)
            continue;
        Transmission lost = part.transmission;
        lost.chunks.clear();
        m_bus->transmissionDone(lost);
    }
    m_outgoing.clear();
}

void ServoSimulator::log(const char* direction, const QByteArray& bytes) const
{
    if (m_options.quiet)
        return;
    std::fprintf(stderr, "%10.3f ms %s %s\n", nowUs() / 1000.0, direction, bytes.toHex(' ').constData());
}

void ServoSimulator::injectFault(Fault fault, int count, quint8 errorByte)
{
    QMutexLocker lock(&m_mutex);
    m_bus->injectFault(fault, count, errorByte);
}

void ServoSimulator::setFaultRate(double probability, QList<Fault> kinds)
{
    QMutexLocker lock(&m_mutex);
    m_bus->setFaultRate(probability, kinds);
}

void ServoSimulator::setRegisters(int id, int address, const QByteArray& bytes)
{
    QMutexLocker lock(&m_mutex);
    m_bus->setRegisters(id, address, bytes);
}

QByteArray ServoSimulator::registers(int id) const
{
    QMutexLocker lock(&m_mutex);
    return m_bus->registers(id);
}

void ServoSimulator::setHardwareError(int id, quint8 bits)
{
    QMutexLocker lock(&m_mutex);
    m_bus->setHardwareError(id, bits);
}

void ServoSimulator::powerCycle()
{
    QMutexLocker lock(&m_mutex);
    m_bus->powerCycle();
}

QList<SentAnswer> ServoSimulator::takeSentAnswers()
{
    QMutexLocker lock(&m_mutex);
    const QList<SentAnswer> sent = m_bus->sentAnswers();
    m_bus->clearSentAnswers();
    return sent;
}

void ServoSimulator::setSilent(bool silent)
{
    QMutexLocker lock(&m_mutex);
    m_bus->setSilent(silent);
}

void ServoSimulator::refuseWritesAt(int id, int address)
{
    QMutexLocker lock(&m_mutex);
    m_bus->refuseWritesAt(id, address);
}

bool ServoSimulator::plugServo(int id, int baudRate, std::optional<Model> model, int protocol)
{
    QMutexLocker lock(&m_mutex);
    return m_bus->plugServo(id, baudRate, model, protocol);
}

bool ServoSimulator::plugServo(int id, int baudRate,
                               const std::shared_ptr<const ModelDescription>& description, int protocol)
{
    QMutexLocker lock(&m_mutex);
    return m_bus->plugServo(id, baudRate, description, protocol);
}

bool ServoSimulator::unplugServo(int id)
{
    QMutexLocker lock(&m_mutex);
    if (!m_bus->unplugServo(id))
        return false;
    // What the servo has not sent yet stays unsent: the rest of its answer is lost; the line keeps the
    // time it took, as other answers are scheduled behind it already.
    for (auto part = m_outgoing.begin(); part != m_outgoing.end();) {
        if (m_bus->servoPresent(part->transmission.servo)) {
            ++part;
            continue;
        }
        if (part->last)
            m_bus->transmissionDone(part->transmission);
        part = m_outgoing.erase(part);
    }
    return true;
}

QList<int> ServoSimulator::servoIds() const
{
    QMutexLocker lock(&m_mutex);
    return m_bus->servoIds();
}

bool ServoSimulator::setServoBaudRate(int id, int baudRate)
{
    QMutexLocker lock(&m_mutex);
    return m_bus->setServoBaudRate(id, baudRate);
}

int ServoSimulator::packetsReceived() const
{
    QMutexLocker lock(&m_mutex);
    return m_bus->packetsReceived();
}

int ServoSimulator::packetsAnswered() const
{
    QMutexLocker lock(&m_mutex);
    return m_bus->packetsAnswered();
}

int ServoSimulator::faultsInjected() const
{
    QMutexLocker lock(&m_mutex);
    return m_bus->faultsInjected();
}

QList<ReceivedPacket> ServoSimulator::receivedPackets() const
{
    QMutexLocker lock(&m_mutex);
    return m_bus->receivedPackets();
}

void ServoSimulator::clearReceived()
{
    QMutexLocker lock(&m_mutex);
    m_bus->clearReceived();
}

QList<SentAnswer> ServoSimulator::sentAnswers() const
{
    QMutexLocker lock(&m_mutex);
    return m_bus->sentAnswers();
}

void ServoSimulator::clearSentAnswers()
{
    QMutexLocker lock(&m_mutex);
    m_bus->clearSentAnswers();
}

} // namespace servosim
