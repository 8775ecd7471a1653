#include "packetcodec.h"

#include <QtTest>

namespace {

QByteArray bytes(const char* hex)
{
    return QByteArray::fromHex(hex);
}

uint16_t crcOf(const QByteArray& data, uint16_t accumulator = 0)
{
    return PacketCodec::crc16(accumulator, reinterpret_cast<const unsigned char*>(data.constData()),
                              std::size_t(data.size()));
}

} // namespace

class TestPacketCodec : public QObject
{
    Q_OBJECT

private slots:
    void crc16_data();
    void crc16();
    void crc16Continues();
    void packets_data();
    void packets();
};

void TestPacketCodec::crc16_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("crc");

    QTest::newRow("check value") << QByteArray("123456789") << 0xFEE8;
    QTest::newRow("empty") << QByteArray() << 0x0000;
    QTest::newRow("ping of id 1") << bytes("fffffd0001030001") << 0x4E19;
    QTest::newRow("write acknowledgement of id 1") << bytes("fffffd000104005500") << 0x0CA1;
    // Bytes with the top bit set must index the table by their unsigned value.
    QTest::newRow("bytes from 0x80") << bytes("fffffd00010700031e0080ff") << 0xC757;
}

void TestPacketCodec::crc16()
{
    QFETCH(QByteArray, data);
    QFETCH(int, crc);
    QCOMPARE(int(crcOf(data)), crc);
}

void TestPacketCodec::crc16Continues()
{
    const QByteArray text("123456789");
    QCOMPARE(int(crcOf(text.mid(4), crcOf(text.left(4)))), 0xFEE8);
}

void TestPacketCodec::packets_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("instruction");
    QTest::addColumn<QByteArray>("parameters");
    QTest::addColumn<QByteArray>("packet");

    QTest::newRow("1 ping of id 1") << 1 << 1 << 2 << 0x01 << QByteArray() << bytes("ffff010201fb");
    QTest::newRow("1 read 2 bytes at 0") << 1 << 1 << 4 << 0x02 << bytes("0002") << bytes("ffff0104020002f6");
    QTest::newRow("1 parameters from 0x80")
        << 1 << 1 << 5 << 0x03 << bytes("1e80ff") << bytes("ffff0105031e80ff59");
    QTest::newRow("1 checksum 0") << 1 << 252 << 2 << 0x01 << QByteArray() << bytes("fffffc020100");
    QTest::newRow("2 ping of id 1") << 2 << 1 << 3 << 0x01 << QByteArray() << bytes("fffffd0001030001194e");
}

void TestPacketCodec::packets()
{
    QFETCH(int, protocol);
    QFETCH(int, id);
    QFETCH(int, length);
    QFETCH(int, instruction);
    QFETCH(QByteArray, parameters);
    QFETCH(QByteArray, packet);

    const auto build = protocol == 1 ? PacketCodec::protocol1Packet : PacketCodec::protocol2Packet;
    QCOMPARE(build(uint8_t(id), uint8_t(length), uint8_t(instruction), parameters).toHex(' '),
             packet.toHex(' '));
}

QTEST_APPLESS_MAIN(TestPacketCodec)
#include "tst_packetcodec.moc"
