#include "core/protocol/readanswer.h"
#include "core/protocol/statuspacketframer.h"

#include <QRandomGenerator>
#include <QtTest>

Q_DECLARE_METATYPE(BusProtocol)

namespace {

QByteArray statusPacket(uint8_t id, uint8_t error, const QByteArray& params)
{
    const int length = params.size() + 4;
    QByteArray packet("\xFF\xFF\xFD\x00", 4);
    packet.append(char(id));
    packet.append(char(length & 0xFF));
    packet.append(char(length >> 8));
    packet.append(char(0x55));
    packet.append(char(error));
    packet.append(params);
    const uint16_t crc =
        StatusPacketFramer::crc16(reinterpret_cast<const uint8_t*>(packet.constData()), packet.size());
    packet.append(char(crc & 0xFF));
    packet.append(char(crc >> 8));
    return packet;
}

const QByteArray fourDataBytes("\x0A\x0B\xFF\xFD", 4);

// Protocol 1: FF FF id length (parameters + 2) error-or-instruction parameters checksum.
QByteArray p1Packet(uint8_t id, uint8_t code, const QByteArray& params)
{
    QByteArray packet("\xFF\xFF", 2);
    packet.append(char(id));
    packet.append(char(params.size() + 2));
    packet.append(char(code));
    packet.append(params);
    packet.append(char(StatusPacketFramer::checksum1(reinterpret_cast<const uint8_t*>(packet.constData()) + 2,
                                                     packet.size() - 2)));
    return packet;
}

const QByteArray p1Answer = p1Packet(1, 0, fourDataBytes);   // 10 bytes
const QByteArray p1Request = p1Packet(1, 0x02, QByteArray("\x00\x04", 2)); // read 4 at 0

} // namespace

class TestStatusPacketFramer : public QObject
{
    Q_OBJECT

private slots:
    void crcMatchesKnownValues()
    {
        const QByteArray check("123456789");
        QCOMPARE(StatusPacketFramer::crc16(reinterpret_cast<const uint8_t*>(check.constData()), check.size()),
                 uint16_t(0xFEE8));
        // Write acknowledgement of servo 1 as servos send it.
        QCOMPARE(statusPacket(1, 0, {}), QByteArray::fromHex("FFFFFD0001040055 00A10C").replace(' ', ""));
        // Protocol 1: a ping of servo 1, and a read of 2 bytes at address 0.
        QCOMPARE(p1Packet(1, 0x01, {}), QByteArray::fromHex("FFFF010201FB"));
        QCOMPARE(p1Packet(1, 0x02, QByteArray("\x00\x02", 2)), QByteArray::fromHex("FFFF0104020002F6"));
    }

    void deliversPacketSplitAtAnyPosition()
    {
        const QByteArray packet = statusPacket(1, 0, fourDataBytes);
        for (int cut = 0; cut <= packet.size(); ++cut) {
            StatusPacketFramer framer;
            framer.reset(1, 15);
            const auto first = framer.feed(packet.left(cut));
            QCOMPARE(first == StatusPacketFramer::State::Complete, cut == packet.size());
            if (cut < packet.size())
                QCOMPARE(framer.feed(packet.mid(cut)), StatusPacketFramer::State::Complete);
            QCOMPARE(framer.packet(), packet);
        }
    }

    void skipsGarbageBeforeHeader_data()
    {
        QTest::addColumn<QByteArray>("garbage");
        for (int length = 0; length <= 20; ++length) {
            QByteArray garbage;
            for (int i = 0; i < length; ++i)
                garbage.append(char(i % 3 == 0 ? 0xFF : 0x37 * i)); // header-like bytes included
            QTest::addRow("%d bytes", length) << garbage;
        }
        QTest::addRow("header prefix") << QByteArray("\xFF\xFF\xFD", 3);
        QTest::addRow("false header, short length") << QByteArray("\xFF\xFF\xFD\x00\x01\x02\x00", 7);
        QTest::addRow("false header, huge length") << QByteArray("\xFF\xFF\xFD\x00\x01\xFF\x7F", 7);
        QTest::addRow("broken frame") << statusPacket(1, 0, fourDataBytes).left(14).append('\x00');
    }

    void skipsGarbageBeforeHeader()
    {
        QFETCH(QByteArray, garbage);
        const QByteArray packet = statusPacket(1, 0, fourDataBytes);
        StatusPacketFramer framer;
        framer.reset(1, 15);
        QCOMPARE(framer.feed(garbage + packet), StatusPacketFramer::State::Complete);
        QCOMPARE(framer.packet(), packet);

        // The same stream byte by byte: the header may be split anywhere.
        framer.reset(1, 15);
        const QByteArray stream = garbage + packet;
        int completions = 0;
        for (char byte : stream)
            completions += framer.feed(QByteArray(1, byte)) == StatusPacketFramer::State::Complete;
        QCOMPARE(completions, 1);
        QCOMPARE(framer.packet(), packet);
    }

    void ignoresEchoOfInstructionPacket()
    {
        // A ping of servo 1 looped back by the adapter, then the real answer.
        const QByteArray echo = QByteArray::fromHex("FFFFFD0001030001194E");
        const QByteArray answer = statusPacket(1, 0, QByteArray("\x01\x04\x07", 3));
        StatusPacketFramer framer;
        framer.reset(1, 14);
        QCOMPARE(framer.feed(echo), StatusPacketFramer::State::Pending);
        QCOMPARE(framer.failureKind(), FailureKind::Timeout);
        QCOMPARE(framer.feed(answer), StatusPacketFramer::State::Complete);
        QCOMPARE(framer.packet(), answer);
    }

    void reportsWhyNoPacketCame_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<FailureKind>("kind");
        const QByteArray packet = statusPacket(1, 0, fourDataBytes);
        QByteArray badCrc = packet;
        badCrc[badCrc.size() - 1] = char(badCrc.at(badCrc.size() - 1) ^ 0x01);
        QByteArray flippedData = packet;
        flippedData[10] = char(flippedData.at(10) ^ 0x80);

        QTest::addRow("silence") << QByteArray() << FailureKind::Timeout;
        QTest::addRow("bad crc") << badCrc << FailureKind::Corrupt;
        QTest::addRow("flipped data bit") << flippedData << FailureKind::Corrupt;
        QTest::addRow("cut short") << packet.left(12) << FailureKind::Incomplete;
        QTest::addRow("header only") << packet.left(4) << FailureKind::Incomplete;
        QTest::addRow("noise") << QByteArray("\x12\x34\x56", 3) << FailureKind::Corrupt;
        QTest::addRow("other servo") << statusPacket(2, 0, fourDataBytes) << FailureKind::WrongId;
        QTest::addRow("longer than asked") << statusPacket(1, 0, fourDataBytes + "x") << FailureKind::Corrupt;
        QTest::addRow("impossible length")
            << QByteArray("\xFF\xFF\xFD\x00\x01\x02\x00\x55", 8) << FailureKind::Corrupt;
    }

    void reportsWhyNoPacketCame()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(FailureKind, kind);
        StatusPacketFramer framer;
        framer.reset(1, 15);
        QCOMPARE(framer.feed(bytes), StatusPacketFramer::State::Pending);
        QCOMPARE(framer.failureKind(), kind);
    }

    void acceptsErrorStatusWithoutData()
    {
        // A refused read carries the error byte and no data; the caller decides what it means.
        const QByteArray refusal = statusPacket(1, 0x04, {});
        StatusPacketFramer framer;
        framer.reset(1, 129);
        QCOMPARE(framer.feed(refusal), StatusPacketFramer::State::Complete);
        QCOMPARE(framer.packet(), refusal);
    }

    void takesOnlyAnAnswerOfTheExpectedSize_data()
    {
        QTest::addColumn<int>("expectedSize");
        QTest::addColumn<QByteArray>("earlier"); // a whole packet of the servo that arrives first
        QTest::addColumn<bool>("taken");
        const QByteArray table(118, '\x11');
        const QByteArray pingAnswer("\x01\x04\x03", 3);
        QTest::addRow("write, late read answer") << 11 << statusPacket(1, 0, table) << false;
        QTest::addRow("write, late ping answer") << 11 << statusPacket(1, 0, pingAnswer) << false;
        QTest::addRow("write, refusal") << 11 << statusPacket(1, 0x07, {}) << true;
        QTest::addRow("read, late acknowledgement") << 129 << statusPacket(1, 0, {}) << false;
        QTest::addRow("read, late alert acknowledgement") << 129 << statusPacket(1, 0x80, {}) << false;
        QTest::addRow("read, late ping answer") << 129 << statusPacket(1, 0, pingAnswer) << false;
        QTest::addRow("read, shorter read's answer") << 129 << statusPacket(1, 0, table.left(4)) << false;
        QTest::addRow("read, error status") << 129 << statusPacket(1, 0x04, {}) << true;
        QTest::addRow("ping, late acknowledgement") << 14 << statusPacket(1, 0, {}) << false;
    }

    void takesOnlyAnAnswerOfTheExpectedSize()
    {
        QFETCH(int, expectedSize);
        QFETCH(QByteArray, earlier);
        QFETCH(bool, taken);
        const QByteArray answer = statusPacket(1, 0x80, QByteArray(expectedSize - 11, '\x22'));
        StatusPacketFramer framer;
        framer.reset(1, expectedSize);
        QCOMPARE(framer.feed(earlier + answer), StatusPacketFramer::State::Complete);
        QCOMPARE(framer.packet(), taken ? earlier : answer);
    }

    void resetForgetsEarlierBytes()
    {
        const QByteArray packet = statusPacket(1, 0, fourDataBytes);
        StatusPacketFramer framer;
        framer.reset(1, 15);
        framer.feed(packet.left(9));
        framer.reset(1, 15);
        QCOMPARE(framer.failureKind(), FailureKind::Timeout);
        QCOMPARE(framer.feed(packet), StatusPacketFramer::State::Complete);
        QCOMPARE(framer.packet(), packet);
    }

    // Protocol 1 streams as a port may deliver them, each fed in every split, so no row depends on
    // an answer arriving in one piece: the packet found, or why none was.
    void protocol1Streams_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("packet"); // empty: none
        QTest::addColumn<FailureKind>("kind");  // when none
        const auto none = QByteArray();
        QTest::newRow("read answer") << p1Answer << p1Answer << FailureKind::Timeout;
        QTest::newRow("garbage and FF FF FF before") << QByteArray("\x13\xFF\x00\xFF", 4) + p1Answer << p1Answer
                                                     << FailureKind::Timeout;
        QTest::newRow("echo of the request, then the answer") << p1Request + p1Answer << p1Answer
                                                              << FailureKind::Timeout;
        QTest::newRow("the echo alone is no answer") << p1Request << none << FailureKind::Timeout;
        QTest::newRow("refusal without data") << p1Packet(1, 0x08, {}) << p1Packet(1, 0x08, {})
                                              << FailureKind::Timeout;
        QByteArray badChecksum = p1Answer;
        badChecksum[9] = char(badChecksum[9] ^ 0x5A);
        QTest::newRow("bad checksum") << badChecksum << none << FailureKind::Corrupt;
        QTest::newRow("another servo") << p1Packet(2, 0, fourDataBytes) << none << FailureKind::WrongId;
        QTest::newRow("late answer of another size") << p1Packet(1, 0, QByteArray("\x01\x02", 2)) << none << FailureKind::Timeout;
        QTest::newRow("cut short") << p1Answer.left(6) << none << FailureKind::Incomplete;
        QTest::newRow("a Protocol 2 answer") << statusPacket(1, 0, fourDataBytes) << none << FailureKind::Corrupt;
    }

    void protocol1Streams()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, packet);
        QFETCH(FailureKind, kind);
        for (int cut = 0; cut <= stream.size(); ++cut) {
            StatusPacketFramer framer;
            framer.setProtocol(BusProtocol::One);
            framer.reset(1, 10, p1Request);
            auto state = framer.feed(stream.left(cut));
            if (state != StatusPacketFramer::State::Complete)
                state = framer.feed(stream.mid(cut));
            QCOMPARE(state == StatusPacketFramer::State::Complete, !packet.isEmpty());
            if (packet.isEmpty())
                QCOMPARE(framer.failureKind(), kind);
            else
                QCOMPARE(framer.packet(), packet);
        }
    }

    // Every Protocol 1 error is read in the program's one vocabulary: refusals by their error
    // number, alarms as the alert flag. A Feetech error byte holds alarms only, with bits of its
    // own: the bit that is Protocol 1's range refusal is its overcurrent alarm.
    void protocol1ErrorsReadAsProtocol2_data()
    {
        QTest::addColumn<BusProtocol>("protocol");
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("expected");
        QTest::addColumn<int>("alarms");
        const BusProtocol one = BusProtocol::One;
        const BusProtocol feetech = BusProtocol::Feetech;
        QTest::newRow("none") << one << 0x00 << 0x00 << 0x00;
        QTest::newRow("instruction") << one << 0x40 << 0x02 << 0x00;
        QTest::newRow("checksum") << one << 0x10 << 0x03 << 0x00;
        QTest::newRow("range") << one << 0x08 << 0x04 << 0x00;
        QTest::newRow("overheating") << one << 0x04 << 0x80 << 0x04;
        QTest::newRow("overload and voltage") << one << 0x21 << 0x80 << 0x21;
        QTest::newRow("angle limit") << one << 0x02 << 0x80 << 0x10;
        QTest::newRow("range while overheating") << one << 0x0C << 0x84 << 0x04;
        QTest::newRow("Feetech: none") << feetech << 0x00 << 0x00 << 0x00;
        QTest::newRow("Feetech: overcurrent is no refusal") << feetech << 0x08 << 0x80 << 0x08;
        QTest::newRow("Feetech: angle is no checksum error") << feetech << 0x10 << 0x80 << 0x10;
        QTest::newRow("Feetech: sensor and overload") << feetech << 0x22 << 0x80 << 0x22;
        QTest::newRow("Protocol 2 as it is") << BusProtocol::Two << 0x84 << 0x84 << 0x84;
    }

    void protocol1ErrorsReadAsProtocol2()
    {
        QFETCH(BusProtocol, protocol);
        QFETCH(int, flags);
        QFETCH(int, expected);
        QFETCH(int, alarms);
        QCOMPARE(int(errorAsProtocol2(uint8_t(flags), protocol)), expected);
        QCOMPARE(int(alarmsAsStatusBits(uint8_t(flags), protocol)), alarms);
        // An answer read through the port's protocol means the same.
        if (protocol != BusProtocol::Two) {
            const QByteArray answer = p1Packet(1, uint8_t(flags), QByteArray(4, '\0'));
            QCOMPARE(int(readanswer::errorByte(answer, protocol)), expected);
            QCOMPARE(int(readanswer::alarmsOf(answer, protocol)), alarms);
        }
    }

    void protocolWords_data()
    {
        QTest::addColumn<QString>("word");
        QTest::addColumn<int>("protocol"); // 0: not one
        QTest::newRow("1") << "1" << 1;
        QTest::newRow("2") << " 2" << 2;
        QTest::newRow("feetech") << "Feetech" << 3;
        QTest::newRow("3 is no word for it") << "3" << 0;
        QTest::newRow("empty") << "" << 0;
    }
    void protocolWords()
    {
        QFETCH(QString, word);
        QFETCH(int, protocol);
        const std::optional<BusProtocol> read = protocolOfWord(word);
        QCOMPARE(read ? int(*read) : 0, protocol);
        if (read)
            QCOMPARE(protocolOfWord(protocolWord(*read)), read);
    }

    void survivesRandomInput()
    {
        // Whatever arrives, the framer either waits or hands out a packet that checks out.
        QRandomGenerator random(1234);
        StatusPacketFramer framer;
        int completions = 0;
        for (int round = 0; round < 2000; ++round) {
            framer.reset(1, 13);
            QByteArray bytes(int(random.bounded(60)), '\0');
            for (auto& byte : bytes)
                byte = char(random.bounded(4) == 0 ? 0xFF : random.bounded(256));
            if (round % 3 == 0)
                bytes.insert(int(random.bounded(bytes.size() + 1)), statusPacket(1, 0, "ab"));
            if (framer.feed(bytes) == StatusPacketFramer::State::Complete) {
                ++completions;
                const QByteArray packet = framer.packet();
                QVERIFY(packet.startsWith(QByteArray("\xFF\xFF\xFD\x00\x01", 5)));
                QCOMPARE(statusPacket(1, uint8_t(packet.at(8)), packet.mid(9, packet.size() - 11)), packet);
            }
        }
        QVERIFY(completions >= 500); // the inserted packets are found in the noise
    }
};

QTEST_GUILESS_MAIN(TestStatusPacketFramer)
#include "tst_statuspacketframer.moc"
