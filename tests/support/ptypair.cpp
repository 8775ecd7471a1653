#include "ptypair.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    _master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (_master < 0) {
        fail("posix_openpt");
        return;
    }
    char name[128];
    if (::grantpt(_master) != 0 || ::unlockpt(_master) != 0 || ::ptsname_r(_master, name, sizeof name) != 0) {
        fail("grantpt/unlockpt/ptsname");
        return;
    }
    _slavePath = QString::fromLocal8Bit(name);
    _slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (_slave < 0) {
        fail("open slave");
        return;
    }
    termios settings{};
    if (::tcgetattr(_slave, &settings) != 0) {
        fail("tcgetattr");
        return;
    }
    ::cfmakeraw(&settings);
    if (::tcsetattr(_slave, TCSANOW, &settings) != 0)
        fail("tcsetattr");
}

PtyPair::~PtyPair()
{
    closeAll();
}

bool PtyPair::isOpen() const
{
    return _master >= 0 && _error.isEmpty();
}

QString PtyPair::errorString() const
{
    return _error;
}

QString PtyPair::slavePath() const
{
    return _slavePath;
}

int PtyPair::masterFd() const
{
    return _master;
}

QByteArray PtyPair::read(int count, int timeoutMs)
{
    QByteArray data;
    const QDeadlineTimer deadline(timeoutMs);
    while (_master >= 0 && data.size() < count) {
        pollfd request{_master, POLLIN, 0};
        const int ready = ::poll(&request, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || !(request.revents & POLLIN))
            break;
        char buffer[4096];
        const size_t wanted = std::min(sizeof buffer, size_t(count - data.size()));
        const ssize_t got = ::read(_master, buffer, wanted);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        data.append(buffer, int(got));
    }
    return data;
}

bool PtyPair::write(const QByteArray& data)
{
    const char* next = data.constData();
    size_t left = size_t(data.size());
    while (_master >= 0 && left > 0) {
        const ssize_t written = ::write(_master, next, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        next += written;
        left -= size_t(written);
    }
    return left == 0;
}

void PtyPair::closeMaster()
{
    if (_master >= 0)
        ::close(_master);
    _master = -1;
}

void PtyPair::closeAll()
{
    closeMaster();
    if (_slave >= 0)
        ::close(_slave);
    _slave = -1;
}

void PtyPair::fail(const char* what)
{
    _error = QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
    closeAll();
}
