#include "ptypair.h"
#include "serialportbase.h"
#include "serialportopsp1.h"
#include "serialportopsp2.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QtTest>

#include <thread>

namespace {

enum class Request
{
    Ping,
    Read,
    Write,
    ShadowWrite,
    Commit,
    Reset,
    Reboot,
    SyncWrite
};

// Gives the test the bus lock of a protocol object.
template <class Ops> class LockAccess : public Ops
{
public:
    using Ops::Ops;
    QMutex& busLock() { return this->_serial_mutex; }
};

const char* requestName(Request request)
{
    switch (request) {
    case Request::Ping:
        return "ping";
    case Request::Read:
        return "read";
    case Request::Write:
        return "write";
    case Request::ShadowWrite:
        return "shadow write";
    case Request::Commit:
        return "commit";
    case Request::Reset:
        return "reset";
    case Request::Reboot:
        return "reboot";
    case Request::SyncWrite:
        return "sync write";
    }
    return "";
}

QByteArray bytes(const char* hex)
{
    return QByteArray::fromHex(hex);
}

const QByteArray endMark("<end>");

} // namespace

Q_DECLARE_METATYPE(Request)

class TestProtocolOps : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void packets_data();
    void packets();
    void oversizedWriteRefused_data();
    void oversizedWriteRefused();
    void busyLockRefuses_data();
    void busyLockRefuses();

private:
    void useProtocol(int protocol);
    bool send(Request request, int id, int address, int length, const QByteArray& data);
    QByteArray sentBytes(int expectedSize);

    std::unique_ptr<PtyPair> _pty;
    std::shared_ptr<QSerialPort> _serial;
    std::shared_ptr<SerialPortOps> _ops;
    SerialPortOpsP2* _p2 = nullptr;
    QMutex* _lock = nullptr;
};

void TestProtocolOps::init()
{
    _pty = std::make_unique<PtyPair>();
    QVERIFY2(_pty->isOpen(), qPrintable(_pty->errorString()));
    _serial = std::make_shared<QSerialPort>();
    SerialPortBase base;
    base.setBaudRate(115200);
    QVERIFY2(base.openSerialPort(_serial, _pty->slavePath()), qPrintable(_serial->errorString()));
}

void TestProtocolOps::cleanup()
{
    _ops.reset();
    _p2 = nullptr;
    _lock = nullptr;
    _serial.reset();
    _pty.reset();
}

void TestProtocolOps::useProtocol(int protocol)
{
    if (protocol == 1) {
        auto ops = std::make_shared<LockAccess<SerialPortOpsP1>>(_serial);
        _lock = &ops->busLock();
        _ops = ops;
    } else {
        auto ops = std::make_shared<LockAccess<SerialPortOpsP2>>(_serial);
        _lock = &ops->busLock();
        _p2 = ops.get();
        _ops = ops;
    }
}

bool TestProtocolOps::send(Request request, int id, int address, int length, const QByteArray& data)
{
    switch (request) {
    case Request::Ping:
        return _ops->ping(uint8_t(id)) != 0;
    case Request::Read:
        return _ops->readData(uint8_t(id), uint8_t(address), uint8_t(length));
    case Request::Write:
        return _ops->writeData(uint8_t(id), uint8_t(address), data);
    case Request::ShadowWrite:
        return _p2->writeShadowData(uint8_t(id), uint8_t(address), data);
    case Request::Commit:
        return _p2->commitShadowData(uint8_t(id));
    case Request::Reset:
        return _ops->reset(uint8_t(id), 0x01);
    case Request::Reboot:
        return _ops->reboot(uint8_t(id));
    case Request::SyncWrite:
        return _ops->sendPacket(
            _ops->syncWritePacket(uint16_t(address), uint16_t(data.size()), {{uint8_t(id), data}}));
    }
    return false;
}

// What the port sent, followed by an end mark written straight to the port. Nothing on the way
// discards output, so extra or missing bytes show up in front of the mark.
QByteArray TestProtocolOps::sentBytes(int expectedSize)
{
    _serial->write(endMark);
    _serial->flush();
    return _pty->read(expectedSize + endMark.size(), 2000);
}

void TestProtocolOps::packets_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<Request>("request");
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("packet");

    const QByteArray none;
    const QByteArray twoBytes = bytes("0002");
    const QByteArray highBytes = bytes("80ff");
    const QByteArray header = bytes("fffffd");

    QTest::newRow("1 ping id 1") << 1 << Request::Ping << 1 << 0 << 0 << none << bytes("ffff010201fb");
    QTest::newRow("1 ping id 254") << 1 << Request::Ping << 254 << 0 << 0 << none << bytes("fffffe0201fe");
    QTest::newRow("1 read 2 at 0") << 1 << Request::Read << 1 << 0 << 2 << none << bytes("ffff0104020002f6");
    QTest::newRow("1 write 0 bytes") << 1 << Request::Write << 1 << 0x18 << 0 << none
                                     << bytes("ffff01030318e0");
    QTest::newRow("1 write 2 bytes") << 1 << Request::Write << 1 << 0x1E << 0 << twoBytes
                                     << bytes("ffff010503 1e0002 d6");
    QTest::newRow("1 write bytes from 0x80")
        << 1 << Request::Write << 1 << 0x1E << 0 << highBytes << bytes("ffff010503 1e80ff 59");
    QTest::newRow("1 write header bytes")
        << 1 << Request::Write << 1 << 0x1E << 0 << header << bytes("ffff010603 1efffffd dc");
    QTest::newRow("1 write 252 bytes") << 1 << Request::Write << 1 << 0 << 0 << QByteArray(252, 0)
                                       << bytes("ffff01ff0300") + QByteArray(252, 0) + bytes("fc");
    QTest::newRow("1 reset") << 1 << Request::Reset << 1 << 0 << 0 << none << bytes("ffff010206f6");
    QTest::newRow("1 reboot") << 1 << Request::Reboot << 1 << 0 << 0 << none << bytes("ffff010208f4");
    QTest::newRow("1 sync write") << 1 << Request::SyncWrite << 1 << 0 << 0 << twoBytes
                                  << bytes("fffffe0783 0002 010002 72");

    QTest::newRow("2 ping id 1") << 2 << Request::Ping << 1 << 0 << 0 << none
                                 << bytes("fffffd0001030001194e");
    QTest::newRow("2 ping id 254") << 2 << Request::Ping << 254 << 0 << 0 << none
                                   << bytes("fffffd00fe0300013142");
    QTest::newRow("2 read 4 at 0") << 2 << Request::Read << 1 << 0 << 4 << none
                                   << bytes("fffffd0001070002 00000400 2145");
    QTest::newRow("2 write 0 bytes") << 2 << Request::Write << 1 << 0x18 << 0 << none
                                     << bytes("fffffd0001050003 1800 6b75");
    QTest::newRow("2 write 2 bytes") << 2 << Request::Write << 1 << 0x1E << 0 << twoBytes
                                     << bytes("fffffd0001070003 1e000002 53c5");
    QTest::newRow("2 write bytes from 0x80")
        << 2 << Request::Write << 1 << 0x1E << 0 << highBytes << bytes("fffffd0001070003 1e0080ff 57c7");
    QTest::newRow("2 write header bytes")
        << 2 << Request::Write << 1 << 0x1E << 0 << header << bytes("fffffd0001080003 1e00fffffd b121");
    QTest::newRow("2 write 250 bytes") << 2 << Request::Write << 1 << 0 << 0 << QByteArray(250, 0)
                                       << bytes("fffffd0001ff00030000") + QByteArray(250, 0) + bytes("8795");
    QTest::newRow("2 shadow write 2 bytes")
        << 2 << Request::ShadowWrite << 1 << 0x1E << 0 << twoBytes << bytes("fffffd0001070004 1e000002 3844");
    QTest::newRow("2 commit") << 2 << Request::Commit << 1 << 0 << 0 << none << bytes("fffffd000103000502ce");
    QTest::newRow("2 reset") << 2 << Request::Reset << 1 << 0 << 0 << none
                             << bytes("fffffd0001040006 01 a1e6");
    QTest::newRow("2 reboot") << 2 << Request::Reboot << 1 << 0 << 0 << none << bytes("fffffd00010300082f4e");
    QTest::newRow("2 sync write") << 2 << Request::SyncWrite << 1 << 0 << 0 << twoBytes
                                  << bytes("fffffd00fe0a0083 00000200 010002 7afd");
}

void TestProtocolOps::packets()
{
    QFETCH(int, protocol);
    QFETCH(Request, request);
    QFETCH(int, id);
    QFETCH(int, address);
    QFETCH(int, length);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, packet);

    useProtocol(protocol);
    QVERIFY(send(request, id, address, length, data));
    QCOMPARE(sentBytes(packet.size()).toHex(' '), (packet + endMark).toHex(' '));
    // The lock is held only while a packet is written.
    QVERIFY(_lock->tryLock());
    _lock->unlock();
}

void TestProtocolOps::oversizedWriteRefused_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<Request>("request");
    QTest::addColumn<int>("size");

    QTest::newRow("1 write 253 bytes") << 1 << Request::Write << 253;
    QTest::newRow("2 write 251 bytes") << 2 << Request::Write << 251;
    QTest::newRow("2 shadow write 251 bytes") << 2 << Request::ShadowWrite << 251;
    QTest::newRow("2 write 300 bytes") << 2 << Request::Write << 300;
}

void TestProtocolOps::oversizedWriteRefused()
{
    QFETCH(int, protocol);
    QFETCH(Request, request);
    QFETCH(int, size);

    useProtocol(protocol);
    QVERIFY(!send(request, 1, 0, 0, QByteArray(size, 0x11)));
    QCOMPARE(sentBytes(0).toHex(' '), endMark.toHex(' '));
}

void TestProtocolOps::busyLockRefuses_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<Request>("request");

    const QVector<Request> common{Request::Ping,  Request::Read,   Request::Write,
                                  Request::Reset, Request::Reboot, Request::SyncWrite};
    for (int protocol : {1, 2}) {
        QVector<Request> requests = common;
        if (protocol == 2)
            requests << Request::ShadowWrite << Request::Commit;
        for (Request request : requests)
            QTest::addRow("%d %s", protocol, requestName(request)) << protocol << request;
    }
}

void TestProtocolOps::busyLockRefuses()
{
    QFETCH(int, protocol);
    QFETCH(Request, request);

    useProtocol(protocol);
    QSemaphore held;
    QSemaphore release;
    QMutex& lock = *_lock;
    std::thread holder([&] {
        lock.lock();
        held.release();
        release.tryAcquire(1, 5000);
        lock.unlock();
    });
    held.acquire();
    QElapsedTimer timer;
    timer.start();
    const bool sent = send(request, 1, 0, 2, bytes("0102"));
    const qint64 waitedNs = timer.nsecsElapsed();
    release.release();
    holder.join();

    QVERIFY(!sent);
    QVERIFY2(waitedNs >= 4'000'000 && waitedNs < 1'000'000'000, qPrintable(QString::number(waitedNs)));
    QCOMPARE(sentBytes(0).toHex(' '), endMark.toHex(' '));
}

QTEST_GUILESS_MAIN(TestProtocolOps)
#include "tst_protocolops.moc"
