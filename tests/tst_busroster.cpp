// The Bus table's servos: which one is read next between the connected servo's polls, and when a
// servo counts as not answering.
#include "core/jobs/busroster.h"
#include "core/protocol/statuspacketframer.h"
#include "core/session/sidereads.h"

#include <isolatedsettings.h>

#include <QSignalSpy>
#include <QtTest>

namespace {
// A status packet carrying `data` (the roster does not check the checksum).
QByteArray answer(int id, const QByteArray& data)
{
    QByteArray packet = QByteArray::fromHex("fffffd00");
    packet.append(char(id))
        .append(char((data.size() + 4) & 0xFF))
        .append(char(0))
        .append(char(0x55))
        .append(char(0));
    return packet + data + QByteArray(2, '\0');
}
} // namespace

class TestBusRoster : public QObject
{
    Q_OBJECT

    IsolatedSettings _home; // a roster starts with the stored units

private slots:
    // In turn over the servos at the line's rate and in its protocol, never the connected one, none
    // twice within the refresh time; a ping first while the model is not known, then the span of
    // the shown values.
    void sideReadsTakeTurns()
    {
        BusRoster roster;
        roster.add(5, 1000000);
        roster.add(2, 1000000);
        roster.add(9, 57600);
        roster.add(7, 1000000, -1, -1, 1); // found in Protocol 1: a Protocol 2 read gets no answer
        roster.add(4, 1000000, -1, -1, 2);
        roster.setConnected(1, 1000000, 2);
        QCOMPARE(roster.servoCount(), 6);
        QCOMPARE(roster.idAt(0), 1); // kept in id order
        QCOMPARE(roster.idAt(1), 2);
        const auto protocolShown = [&roster](int id) {
            return roster.data(roster.index(roster.rowOf(id), BusRoster::ProtocolColumn), Qt::DisplayRole)
                .toString();
        };
        QCOMPARE(protocolShown(1), QString());
        roster.tableRead(1, QByteArray::fromHex("0104031122"));
        QCOMPARE(protocolShown(1), QStringLiteral("2")); // it answered in the connection's
        QCOMPARE(protocolShown(7), QStringLiteral("1"));
        QCOMPARE(protocolShown(5), QString()); // not known: read in whatever the port speaks
        roster.add(7, 1000000);                // listed again without a protocol: what is known stays
        QCOMPARE(roster.protocolAt(roster.rowOf(7)), 1);

        QList<int> offered;
        while (const auto read = roster.nextSideRead(1000000, 2)) {
            QVERIFY(read->ping);
            offered << read->id;
            roster.sideReadAnswered(*read, answer(read->id, QByteArray::fromHex("010403")));
        }
        QCOMPARE(offered, QList<int>({2, 4, 5})); // each once, 9 is at another rate, 7 in the other protocol
        QCOMPARE(roster.modelNumberAt(roster.rowOf(5)), 1025);

        std::optional<SideRead> span; // kept once offered: asking again takes the next servo's turn
        QTRY_VERIFY_WITH_TIMEOUT((span = span ? span : roster.nextSideRead(1000000, 2)).has_value(),
                                 20000); // the refresh time passed
        QVERIFY(span && !span->ping);
        QCOMPARE(span->address, 86); // actual position to the hardware status
        QCOMPARE(span->length, 22);
        roster.sideReadAnswered(*span, answer(span->id, QByteArray(21, '\0') + char(0x04)));
        QVERIFY(
            roster.data(roster.index(roster.rowOf(span->id), BusRoster::HardwareErrorColumn), Qt::DisplayRole)
                .toString()
                .contains("Overheating"));
    }

    // Three failed reads and a second without an answer: not answering, said once; an answer ends it.
    void silenceAndAnswerAgain()
    {
        BusRoster roster;
        roster.add(3, 1000000, 1025, 3);
        QSignalSpy changes(&roster, &BusRoster::answeringChanged);
        const SideRead read{3, false, 86, 22};
        roster.sideReadAnswered(read, answer(3, QByteArray(22, '\0')));
        for (int i = 0; i < 3; ++i)
            roster.sideReadFailed(read, FailureKind::Timeout);
        QVERIFY(roster.isAnswering(0)); // three failures, but it answered just now
        QTRY_VERIFY_WITH_TIMEOUT((roster.sideReadFailed(read, FailureKind::Timeout), !roster.isAnswering(0)),
                                 20000);
        roster.sideReadFailed(read, FailureKind::Timeout);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(changes.first().value(1).toBool(), false);
        QVERIFY(roster.nextSideRead(1000000).has_value());
        QVERIFY(!roster.nextSideRead(1000000).has_value()); // tried seldom while silent
        roster.sideReadAnswered(read, answer(3, QByteArray(22, '\0')));
        QVERIFY(roster.isAnswering(0));
        QCOMPARE(changes.count(), 2);
    }

    // The connected servo moved to a new id: its row goes with it, values and all. Connecting to
    // another servo afterwards is no move: both rows stay.
    void connectedServoMoves()
    {
        BusRoster roster;
        roster.setConnected(1, 1000000);
        roster.tableRead(1, QByteArray::fromHex("010403") + QByteArray(115, '\0'));
        roster.connectedMoved(7, 1000000);
        QCOMPARE(roster.servoCount(), 1);
        QCOMPARE(roster.idAt(0), 7);
        QCOMPARE(roster.modelNumberAt(0), 1025);
        QCOMPARE(roster.valuesAt(0).size(), 118);

        roster.setConnected(4, 1000000);
        QCOMPARE(roster.servoCount(), 2);
        QCOMPARE(roster.modelNumberAt(roster.rowOf(7)), 1025);
        QCOMPARE(roster.modelNumberAt(roster.rowOf(4)), -1);
    }

    // The table shows the values in the units it was given, again at once when they change.
    void valuesInTheUnitsGiven()
    {
        BusRoster roster;
        roster.add(3, 1000000, 1025, 3);
        const auto read = roster.nextSideRead(1000000, 2);
        QVERIFY(read && !read->ping && read->address == 86);
        QByteArray values(read->length, '\0');
        values[97 - 86] = char(40); // the temperature
        roster.sideReadAnswered(*read, answer(3, values));
        const auto temperature = [&roster] {
            return roster.data(roster.index(0, BusRoster::TemperatureColumn), Qt::DisplayRole).toString();
        };
        QVERIFY2(temperature().startsWith("40") && temperature().endsWith("C"), qPrintable(temperature()));
        QSignalSpy changed(&roster, &QAbstractItemModel::dataChanged);
        PhysicalQuantities fahrenheit;
        fahrenheit.temperature = 1;
        roster.setUnits(fahrenheit);
        QVERIFY2(temperature().startsWith("104") && temperature().endsWith("F"), qPrintable(temperature()));
        QCOMPARE(changed.count(), 1);
    }

    // Whoever reads the roster through its handle finds nothing once it is gone.
    void aHandleOutlivesItsRoster()
    {
        auto roster = std::make_unique<BusRoster>();
        const RosterHandle handle(roster.get());
        QCOMPARE(handle.get(), static_cast<RosterLink*>(roster.get()));
        roster.reset();
        QCOMPARE(handle.get(), nullptr);
        QCOMPARE(RosterHandle().get(), nullptr);
    }

    // A side read goes out only when it ends before the connected servo's next poll is due.
    void sideReadsFitBeforeTheNextPoll_data()
    {
        QTest::addColumn<int>("leftUs");
        QTest::addColumn<int>("baudRate");
        QTest::addColumn<bool>("fits");
        QTest::newRow("1 Mbaud, 3 ms left") << 3000 << 1000000 << true;
        QTest::newRow("1 Mbaud, 2 ms left") << 2000 << 1000000 << false;
        QTest::newRow("9600 baud, 50 ms left") << 50000 << 9600 << false;
        QTest::newRow("9600 baud, 60 ms left") << 60000 << 9600 << true;
        QTest::newRow("the tick is overdue") << -1000 << 1000000 << false;
    }

    void sideReadsFitBeforeTheNextPoll()
    {
        QFETCH(int, leftUs);
        QFETCH(int, baudRate);
        QFETCH(bool, fits);
        QCOMPARE(SideReads::fits(leftUs, baudRate), fits);
    }
};

QTEST_GUILESS_MAIN(TestBusRoster)
#include "tst_busroster.moc"
