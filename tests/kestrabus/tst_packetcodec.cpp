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
    void protocol1Packet_data();
    void protocol1Packet();
    void protocol2Packet_data();
    void protocol2Packet();
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

void TestPacketCodec::protocol1Packet_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("instruction");
    QTest::addColumn<QByteArray>("parameters");
    QTest::addColumn<QByteArray>("packet");

    QTest::newRow("ping of id 1") << 1 << 2 << 0x01 << QByteArray() << bytes("ffff010201fb");
    QTest::newRow("ping of id 254") << 254 << 2 << 0x01 << QByteArray() << bytes("fffffe0201fe");
    QTest::newRow("read 2 bytes at 0") << 1 << 4 << 0x02 << bytes("0002") << bytes("ffff0104020002f6");
    QTest::newRow("parameters from 0x80") << 1 << 5 << 0x03 << bytes("1e80ff") << bytes("ffff010503" "1e80ff" "59");
    QTest::newRow("checksum 0") << 252 << 2 << 0x01 << QByteArray() << bytes("fffffc020100");
    QTest::newRow("sum above 255") << 1 << 6 << 0x03 << bytes("1efffffd") << bytes("ffff010603" "1efffffd" "dc");
}

void TestPacketCodec::protocol1Packet()
{
    QFETCH(int, id);
    QFETCH(int, length);
    QFETCH(int, instruction);
    QFETCH(QByteArray, parameters);
    QFETCH(QByteArray, packet);

    QCOMPARE(PacketCodec::protocol1Packet(uint8_t(id), uint8_t(length), uint8_t(instruction), parameters).toHex(' '),
             packet.toHex(' '));
    QCOMPARE(int(PacketCodec::protocol1Checksum(uint8_t(id), uint8_t(length), uint8_t(instruction), parameters)),
             int(uint8_t(packet.back())));
}

void TestPacketCodec::protocol2Packet_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("instruction");
    QTest::addColumn<QByteArray>("parameters");
    QTest::addColumn<QByteArray>("packet");

    QTest::newRow("ping of id 1") << 1 << 3 << 0x01 << QByteArray() << bytes("fffffd0001030001194e");
    QTest::newRow("ping of id 254") << 254 << 3 << 0x01 << QByteArray() << bytes("fffffd00fe0300013142");
    QTest::newRow("read 4 bytes at 0") << 1 << 7 << 0x02 << bytes("00000400")
                                       << bytes("fffffd0001070002" "00000400" "2145");
    // The header sequence inside the data is not escaped.
    QTest::newRow("header inside the data") << 1 << 8 << 0x03 << bytes("1e00fffffd")
                                            << bytes("fffffd0001080003" "1e00fffffd" "b121");
}

void TestPacketCodec::protocol2Packet()
{
    QFETCH(int, id);
    QFETCH(int, length);
    QFETCH(int, instruction);
    QFETCH(QByteArray, parameters);
    QFETCH(QByteArray, packet);

    QCOMPARE(PacketCodec::protocol2Packet(uint8_t(id), uint8_t(length), uint8_t(instruction), parameters).toHex(' '),
             packet.toHex(' '));
}

QTEST_APPLESS_MAIN(TestPacketCodec)
#include "tst_packetcodec.moc"
