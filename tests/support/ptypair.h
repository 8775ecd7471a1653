#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal for tests. The slave side is the serial port that the code under test opens by
// path; the master side plays the far end of the line. The line is raw (no echo, no translation)
// from the start, and the pair keeps a descriptor of the slave open itself so that the master does
// not see a hang-up while the port under test is closed and reopened.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // False when the pseudo-terminal could not be created; errorString() says why.
    bool isOpen() const;
    QString errorString() const;

    QString slavePath() const;
    int masterFd() const;

    // Reads from the master until count bytes arrived or timeoutMs passed; returns what arrived.
    QByteArray read(int count, int timeoutMs);
    // Writes all of data to the master; false on error.
    bool write(const QByteArray& data);
    // Hangs up the slave as an unplugged adapter would. The pair's own slave descriptor stays open
    // until destruction: Qt removes a port's lock file only after closing the port's descriptor, and
    // the terminal's number must not pass to another process in between.
    void closeMaster();

private:
    void fail(const char* what);
    void closeAll();

    int _master = -1;
    int _slave = -1;
    QString _slavePath;
    QString _error;
};
