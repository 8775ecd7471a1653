#include "core/protocol/linetime.h"
#include "core/protocol/multianswerframer.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

const uint8_t* bytesOf(const QByteArray& bytes)
{
    return reinterpret_cast<const uint8_t*>(bytes.constData());
}

QByteArray withCrc(QByteArray packet, uint16_t initial = 0)
{
    const uint16_t crc = StatusPacketFramer::crc16(bytesOf(packet), packet.size(), initial);
    return packet.append(char(crc & 0xFF)).append(char(crc >> 8));
}

// A whole packet; `body` starts at the instruction (or error) byte.
QByteArray frame(BusProtocol protocol, uint8_t id, const QByteArray& body)
{
    if (hasProtocol1Form(protocol)) {
        QByteArray packet = QByteArray("\xFF\xFF", 2).append(char(id)).append(char(body.size() + 1)) + body;
        return packet.append(char(StatusPacketFramer::checksum1(bytesOf(packet) + 2, packet.size() - 2)));
    }
    const QByteArray stuffed =
        QByteArray(body).replace(QByteArray("\xFF\xFF\xFD"), QByteArray("\xFF\xFF\xFD\xFD"));
    const int length = stuffed.size() + 2;
    return withCrc(
        QByteArray("\xFF\xFF\xFD\x00", 4).append(char(id)).append(char(length)).append(char(length >> 8)) +
        stuffed);
}

QByteArray dataOf(int id, int length)
{
    QByteArray data;
    for (int i = 0; i < length; ++i)
        data.append(char(id * 16 + i));
    return data;
}

struct Stream
{
    QByteArray bytes, echo;
    QStringList expected;
};

QList<MultiReadTarget> targetsOf(MultiReadKind kind)
{
    const bool bulk = kind == MultiReadKind::BulkRead || kind == MultiReadKind::FastBulkRead;
    return {{1, 4}, {2, bulk ? 2 : 4}, {3, bulk ? 10 : 4}};
}

// What the line carries when servos 1, 2 and 3 answer as `how` says (ok, silent, corrupt, hit,
// refused, cut, stuffed), maybe behind something else (echo, garbage, late) or damaged.
Stream makeStream(BusProtocol protocol, MultiReadKind kind, QStringList how)
{
    const bool feetech = protocol == BusProtocol::Feetech;
    const uint8_t refusal = protocol == BusProtocol::Two ? 0x04 : feetech ? 0x20 : 0x08;
    const QList<MultiReadTarget> targets = targetsOf(kind);
    Stream stream;
    stream.echo =
        frame(protocol, 0xFE,
              QByteArray::fromHex(hasProtocol1Form(protocol) ? "823802010203" : "8a84000400010203"));
    if (isCombined(kind)) { // the length the first servo writes counts every part
        const int length = 1 + MultiAnswerFramer::answerBytes(protocol, kind, targets) - 8;
        stream.bytes =
            QByteArray::fromHex("fffffd00fe").append(char(length)).append(char(length >> 8)).append('\x55');
    }
    // Before the answers: the request looped back, line noise, or late answers of earlier reads
    // (a one-byte read of servo 3, and in Protocol 2 a combined answer of it alone).
    const QString before = how.size() > 3 ? how.takeFirst() : QString();
    const QByteArray late = protocol == BusProtocol::Two
                                ? frame(protocol, 3, QByteArray::fromHex("550007")) +
                                      frame(protocol, 0xFE, QByteArray::fromHex("55000307"))
                                : frame(protocol, 3, QByteArray::fromHex("0007"));
    const QByteArray prefix = before == "echo"      ? stream.echo
                              : before == "late"    ? late
                              : before == "garbage" ? QByteArray::fromHex("0013fffffd00ff")
                                                    : QByteArray();
    QList<int> damaged;
    for (int i = 0; i < 3; ++i) {
        const QString way = how[i];
        // Data that reads like a header is stuffed in separate Protocol 2 packets.
        const QByteArray data = (way == "stuffed" ? QByteArray("\xFF\xFF\xFD", 3) : QByteArray()) +
                                dataOf(i + 1, targets[i].length - (way == "stuffed" ? 3 : 0));
        const bool refused = way == "refused";
        const uint8_t error = refused ? refusal : 0;
        const QMap<QString, QString> failures{
            {"silent", "Timeout"}, {"cut", "Incomplete"}, {"corrupt", "Corrupt"}, {"hit", "Corrupt"}};
        if (failures.contains(way))
            stream.expected << failures[way];
        else if (refused && !feetech) // a Feetech error byte holds alarms only: the data counts
            stream.expected << "Refused";
        else
            stream.expected << QString("%1:%2").arg(error).arg(QString(data.toHex()));
        if (way == "silent")
            continue;
        if (isCombined(kind)) {
            const uint16_t heard = StatusPacketFramer::crc16(bytesOf(stream.bytes), stream.bytes.size());
            stream.bytes += withCrc(QByteArray(1, char(error)).append(char(i + 1)) + data, heard);
        } else {
            const QByteArray status = protocol == BusProtocol::Two ? QByteArray("\x55", 1) : QByteArray();
            stream.bytes += frame(protocol, uint8_t(i + 1),
                                  status + char(error) + (refused && !feetech ? QByteArray() : data));
        }
        if (way == "corrupt") // hit on its way to us: the servos after it heard it whole
            damaged << stream.bytes.size() - 3;
        if (way == "hit") // hit on the line itself: the servos after it heard it so
            stream.bytes[stream.bytes.size() - 3] = char(stream.bytes[stream.bytes.size() - 3] ^ 0x10);
        if (way == "cut")
            stream.bytes.chop(3);
    }
    if (before == "damaged") { // the first packet's id hit: no servo can be told from it
        damaged << (hasProtocol1Form(protocol) ? 2 : 4);
        for (int i = 0; i < (isCombined(kind) ? 3 : 1); ++i)
            stream.expected[i] = "Corrupt";
    }
    for (int at : damaged)
        stream.bytes[at] = char(stream.bytes[at] ^ 0x10);
    stream.bytes = prefix + stream.bytes + (before == "late" ? late : QByteArray());
    return stream;
}

QStringList outcome(const QList<MultiReadAnswer>& answers)
{
    static const QStringList failures{"Timeout", "Incomplete", "Corrupt", "WrongId", "Refused", "NotSent"};
    QStringList texts;
    for (const MultiReadAnswer& answer : answers)
        texts << (answer.state == MultiReadAnswer::State::Answered
                      ? QString("%1:%2").arg(answer.error).arg(QString(answer.data.toHex()))
                  : answer.state == MultiReadAnswer::State::Pending ? QString("Pending")
                                                                    : failures[int(answer.failure)]);
    return texts;
}

} // namespace

class TestMultiAnswerFramer : public QObject
{
    Q_OBJECT

    // Feeds the pieces; the answers that came are known before the deadline, the rest after it,
    // and each servo is reported settled exactly once.
    void check(const QList<QByteArray>& pieces)
    {
        QFETCH(int, protocol);
        QFETCH(int, kind);
        QFETCH(QByteArray, echo);
        QFETCH(QStringList, expected);
        MultiAnswerFramer framer;
        framer.reset(BusProtocol(protocol), MultiReadKind(kind), targetsOf(MultiReadKind(kind)), echo);
        QList<int> settled;
        for (const QByteArray& piece : pieces)
            settled += framer.feed(piece);
        for (int i = 0; i < expected.size(); ++i) {
            if (expected[i].contains(':') || expected[i] == "Refused")
                QCOMPARE(outcome(framer.answers())[i], expected[i]);
        }
        settled += framer.finish();
        QCOMPARE(outcome(framer.answers()), expected);
        std::sort(settled.begin(), settled.end());
        QCOMPARE(settled, (QList<int>{0, 1, 2}));
    }

private slots:
    void everySplit_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("echo");
        QTest::addColumn<QStringList>("expected");
        const QList<QPair<BusProtocol, MultiReadKind>> kinds{
            {BusProtocol::Two, MultiReadKind::SyncRead},     {BusProtocol::Two, MultiReadKind::BulkRead},
            {BusProtocol::Two, MultiReadKind::FastSyncRead}, {BusProtocol::Two, MultiReadKind::FastBulkRead},
            {BusProtocol::Feetech, MultiReadKind::SyncRead}, {BusProtocol::One, MultiReadKind::SyncRead}};
        const QStringList ways{"ok ok ok",      "ok silent ok",     "ok corrupt ok", "ok refused ok",
                               "silent ok ok",  "ok ok silent",     "ok ok cut",     "corrupt ok corrupt",
                               "echo ok ok ok", "garbage ok ok ok", "late ok ok ok", "late ok silent ok",
                               "ok ok stuffed", "damaged ok ok ok", "ok hit ok"};
        for (const auto& [protocol, kind] : kinds) {
            for (const QString& way : ways) {
                const Stream s = makeStream(protocol, kind, way.split(' '));
                QTest::addRow("%d/%d/%s", int(protocol), int(kind), qPrintable(way))
                    << int(protocol) << int(kind) << s.bytes << s.echo << s.expected;
            }
        }
    }

    void everySplit()
    {
        QFETCH(QByteArray, stream);
        for (int cut = 0; cut <= stream.size() && !QTest::currentTestFailed(); ++cut)
            check({stream.left(cut), stream.mid(cut)});
    }

    void randomPieces_data() { everySplit_data(); }

    void randomPieces()
    {
        QFETCH(QByteArray, stream);
        QRandomGenerator random(uint(qHash(QTest::currentDataTag())));
        for (int round = 0; round < 30 && !QTest::currentTestFailed(); ++round) {
            QList<QByteArray> pieces;
            for (int at = 0; at < stream.size();) {
                const int size = random.bounded(1, 9);
                pieces << stream.mid(at, size);
                at += size;
            }
            check(pieces);
        }
    }

    void deadline_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("delayUs"); // every servo's; negative: not known
        QTest::addColumn<int>("expectedMs");
        // Six servos, four bytes each, at 1,000,000 baud (10 µs a byte) with 34 ms for the adapter.
        QTest::newRow("sync, delays unknown")
            << 2 << int(MultiReadKind::SyncRead) << -1 << 39; // (20 + 90) bytes, 6 × 508 µs
        QTest::newRow("sync, no delay") << 2 << int(MultiReadKind::SyncRead) << 0 << 36;
        QTest::newRow("fast sync, no delay")
            << 2 << int(MultiReadKind::FastSyncRead) << 0 << 35;                         // 20 + 56 bytes
        QTest::newRow("bulk, no delay") << 2 << int(MultiReadKind::BulkRead) << 0 << 36; // 40 + 90 bytes
        QTest::newRow("feetech sync") << 3 << int(MultiReadKind::SyncRead) << 0 << 35;   // 14 + 60 bytes
    }

    void deadline()
    {
        QFETCH(int, protocol);
        QFETCH(int, kind);
        QFETCH(int, delayUs);
        QFETCH(int, expectedMs);
        const QList<MultiReadTarget> six{{1, 4}, {2, 4}, {3, 4}, {4, 4}, {5, 4}, {6, 4}};
        const BusProtocol p = BusProtocol(protocol);
        const int request = linetime::multiReadRequestBytes(p, MultiReadKind(kind), 6);
        const QList<int> answers = MultiAnswerFramer::answerBytesEach(p, MultiReadKind(kind), six);
        QCOMPARE(linetime::multiReadDeadlineMs(1000000, request, answers, QVector<int>(6, delayUs).toList()),
                 expectedMs);
    }
};

QTEST_GUILESS_MAIN(TestMultiAnswerFramer)
#include "tst_multianswerframer.moc"
