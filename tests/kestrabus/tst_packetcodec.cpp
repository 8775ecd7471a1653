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

// A request to several servos as the test rows give it: ids for the sync forms, (id, address,
// length) triples for the bulk forms, one data block per id for a sync write.
QByteArray multiServoPacket(const QString& kind, int protocol, int address, int length, const QByteArray& ids,
                            const QVector<int>& spans, const QList<QByteArray>& data)
{
    std::vector<uint8_t> idList(ids.begin(), ids.end());
    std::vector<PacketCodec::ReadSpan> spanList;
    for (int i = 0; i + 2 < spans.size(); i += 3)
        spanList.push_back({uint8_t(spans[i]), uint16_t(spans[i + 1]), uint16_t(spans[i + 2])});
    std::vector<PacketCodec::ServoData> servos;
    for (int i = 0; i < ids.size(); ++i)
        servos.push_back({uint8_t(ids[i]), data.value(i)});
    const auto address16 = uint16_t(address);
    const auto length16 = uint16_t(length);
    if (kind == "write")
        return protocol == 1 ? PacketCodec::protocol1SyncWrite(address16, length16, servos)
                             : PacketCodec::protocol2SyncWrite(address16, length16, servos);
    if (protocol == 1)
        return kind == "sync" ? PacketCodec::protocol1SyncRead(address16, length16, idList) : QByteArray();
    if (kind == "sync" || kind == "fast sync")
        return PacketCodec::protocol2SyncRead(
            kind == "sync" ? PacketCodec::SyncRead : PacketCodec::FastSyncRead, address16, length16, idList);
    return PacketCodec::protocol2BulkRead(kind == "bulk" ? PacketCodec::BulkRead : PacketCodec::FastBulkRead,
                                          spanList);
}

QByteArray countingIds(int count)
{
    QByteArray ids;
    for (int id = 0; id < count; ++id)
        ids.append(char(id));
    return ids;
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
    void multiServoPackets_data();
    void multiServoPackets();
    void multiServoPacketLimits_data();
    void multiServoPacketLimits();
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

void TestPacketCodec::multiServoPackets_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("ids");
    QTest::addColumn<QVector<int>>("spans");
    QTest::addColumn<QList<QByteArray>>("data");
    QTest::addColumn<QByteArray>("packet"); // empty: refused

    const QVector<int> noSpans;
    const QList<QByteArray> noData;
    const QByteArray refused;
    const QByteArray two = bytes("0102");

    // The worked examples of the makers' manuals: present position (4 bytes at 132) of ids 1 and 2;
    // goal positions 150 and 170 (4 bytes at 116); four servos' positions and speeds at 0x1E.
    QTest::newRow("2 sync read, manual's example") << "sync" << 2 << 0x84 << 4 << two << noSpans << noData
                                                   << bytes("fffffd00fe0900828400040001 02 cefa");
    QTest::newRow("2 sync write, manual's example")
        << "write" << 2 << 0x74 << 4 << two << noSpans
        << QList<QByteArray>{bytes("96000000"), bytes("aa000000")}
        << bytes("fffffd00fe11008374000400 0196000000 02aa000000 8287");
    QTest::newRow("1 sync write, manual's example")
        << "write" << 1 << 0x1E << 4 << bytes("00010203") << noSpans
        << QList<QByteArray>{bytes("10005001"), bytes("20026003"), bytes("30007001"), bytes("20028003")}
        << bytes("fffffe18831e04 0010005001 0120026003 0230007001 0320028003 12");

    QTest::newRow("2 fast sync read") << "fast sync" << 2 << 0x84 << 4 << two << noSpans << noData
                                      << bytes("fffffd00fe09008a8400040001 02 4d72");
    QTest::newRow("2 sync read, two-byte address and length")
        << "sync" << 2 << 0x200 << 0x102 << bytes("07") << noSpans << noData
        << bytes("fffffd00fe080082 0002 0201 07 72dc");
    QTest::newRow("2 bulk read") << "bulk" << 2 << 0 << 0 << QByteArray() << QVector<int>{1, 0, 2, 2, 0x84, 4}
                                 << noData << bytes("fffffd00fe0d0092 0100000200 0284000400 1675");
    QTest::newRow("2 fast bulk read")
        << "fast bulk" << 2 << 0 << 0 << QByteArray() << QVector<int>{1, 0, 2, 2, 0x84, 4} << noData
        << bytes("fffffd00fe0d009a 0100000200 0284000400 155f");
    QTest::newRow("1 sync read, Feetech form") << "sync" << 1 << 0x38 << 2 << bytes("010203") << noSpans
                                               << noData << bytes("fffffe0782 3802 010203 38");
    QTest::newRow("1 sync write") << "write" << 1 << 0x2A << 2 << two << noSpans
                                  << QList<QByteArray>{bytes("0008"), bytes("0010")}
                                  << bytes("fffffe0a83 2a02 01 0008 02 0010 2d");

    QTest::newRow("1 fast sync read: no form")
        << "fast sync" << 1 << 0x38 << 2 << two << noSpans << noData << refused;
    QTest::newRow("1 bulk read: no form")
        << "bulk" << 1 << 0 << 0 << QByteArray() << QVector<int>{1, 0, 2} << noData << refused;
    QTest::newRow("1 fast bulk read: no form")
        << "fast bulk" << 1 << 0 << 0 << QByteArray() << QVector<int>{1, 0, 2} << noData << refused;
    QTest::newRow("1 address beyond a byte")
        << "sync" << 1 << 0x100 << 2 << two << noSpans << noData << refused;
    QTest::newRow("1 length beyond a byte")
        << "sync" << 1 << 0 << 0x100 << two << noSpans << noData << refused;
    QTest::newRow("1 write address beyond a byte")
        << "write" << 1 << 0x100 << 1 << bytes("01") << noSpans << QList<QByteArray>{bytes("00")} << refused;
    for (int protocol : {1, 2}) {
        const auto row = [protocol](const char* name) -> QTestData& {
            return QTest::addRow("%d %s", protocol, name);
        };
        row("no servo") << "sync" << protocol << 0 << 2 << QByteArray() << noSpans << noData << refused;
        row("id twice") << "sync" << protocol << 0 << 2 << bytes("010201") << noSpans << noData << refused;
        row("broadcast id") << "sync" << protocol << 0 << 2 << bytes("01fe") << noSpans << noData << refused;
        row("id 0xFF") << "sync" << protocol << 0 << 2 << bytes("ff") << noSpans << noData << refused;
        row("nothing to read") << "sync" << protocol << 0 << 0 << two << noSpans << noData << refused;
        row("write, data of another length") << "write" << protocol << 0 << 2 << two << noSpans
                                             << QList<QByteArray>{bytes("0001"), bytes("00")} << refused;
        row("write of nothing") << "write" << protocol << 0 << 0 << two << noSpans
                                << QList<QByteArray>{{}, {}} << refused;
        row("write, id twice") << "write" << protocol << 0 << 1 << bytes("0303") << noSpans
                               << QList<QByteArray>{bytes("00"), bytes("01")} << refused;
    }
    QTest::newRow("2 bulk read, id twice")
        << "bulk" << 2 << 0 << 0 << QByteArray() << QVector<int>{1, 0, 2, 1, 4, 2} << noData << refused;
    QTest::newRow("2 bulk read, nothing from one")
        << "bulk" << 2 << 0 << 0 << QByteArray() << QVector<int>{1, 0, 2, 2, 4, 0} << noData << refused;
    QTest::newRow("2 bulk read of no servo")
        << "fast bulk" << 2 << 0 << 0 << QByteArray() << QVector<int>{} << noData << refused;
}

void TestPacketCodec::multiServoPackets()
{
    QFETCH(QString, kind);
    QFETCH(int, protocol);
    QFETCH(int, address);
    QFETCH(int, length);
    QFETCH(QByteArray, ids);
    QFETCH(QVector<int>, spans);
    QFETCH(QList<QByteArray>, data);
    QFETCH(QByteArray, packet);

    QCOMPARE(multiServoPacket(kind, protocol, address, length, ids, spans, data).toHex(' '),
             packet.toHex(' '));
}

// Where one packet ends: Protocol 1's length byte (parameters + 2 <= 255), Protocol 2's length field
// as far as a servo's buffer (parameters + 3 <= 512).
void TestPacketCodec::multiServoPacketLimits_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("servos");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("packetSize"); // 0: refused

    QTest::newRow("1 sync read of 251 servos") << "sync" << 1 << 251 << 2 << 4 + 255;
    QTest::newRow("1 sync read of 252 servos") << "sync" << 1 << 252 << 2 << 0;
    QTest::newRow("1 sync write, 253 parameter bytes") << "write" << 1 << 1 << 250 << 4 + 255;
    QTest::newRow("1 sync write, 254 parameter bytes") << "write" << 1 << 1 << 251 << 0;
    QTest::newRow("2 sync read of 254 servos") << "sync" << 2 << 254 << 4 << 7 + 261;
    QTest::newRow("2 sync write, 509 parameter bytes") << "write" << 2 << 5 << 100 << 7 + 512;
    QTest::newRow("2 sync write, 510 parameter bytes") << "write" << 2 << 2 << 252 << 0;
    QTest::newRow("2 bulk read of 101 servos") << "bulk" << 2 << 101 << 4 << 7 + 508;
    QTest::newRow("2 bulk read of 102 servos") << "bulk" << 2 << 102 << 4 << 0;
}

void TestPacketCodec::multiServoPacketLimits()
{
    QFETCH(QString, kind);
    QFETCH(int, protocol);
    QFETCH(int, servos);
    QFETCH(int, length);
    QFETCH(int, packetSize);

    const QByteArray ids = countingIds(servos);
    QVector<int> spans;
    for (char id : ids)
        spans << quint8(id) << 0x84 << length;
    const QList<QByteArray> data = QVector<QByteArray>(servos, QByteArray(length, char(0x5A))).toList();
    const QByteArray packet = multiServoPacket(kind, protocol, 0x20, length, ids, spans, data);
    QCOMPARE(packet.size(), packetSize);
    if (packetSize == 0)
        return;
    // The length field counts what follows it.
    const int lengthField = protocol == 1 ? quint8(packet[3]) : quint8(packet[5]) | quint8(packet[6]) << 8;
    QCOMPARE(lengthField, packetSize - (protocol == 1 ? 4 : 7));
    if (protocol == 2) {
        const auto* raw = reinterpret_cast<const unsigned char*>(packet.constData());
        const uint16_t crc = PacketCodec::crc16(0, raw, std::size_t(packet.size() - 2));
        QCOMPARE(int(quint8(packet[packet.size() - 2]) | quint8(packet[packet.size() - 1]) << 8), int(crc));
    }
}

QTEST_APPLESS_MAIN(TestPacketCodec)
#include "tst_packetcodec.moc"
