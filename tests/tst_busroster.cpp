// The Bus table's servos: which one is read next between the connected servo's polls, and when a
// servo counts as not answering.
#include "core/jobs/busroster.h"
#include "core/protocol/statuspacketframer.h"
#include "core/session/sidereads.h"

#include <isolatedsettings.h>
#include <testmodels.h>

#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(std::optional<MultiReadKind>)

namespace {
QStringList times(int count, const QString& model)
{
    QStringList models;
    for (int i = 0; i < count; ++i)
        models << model;
    return models;
}

int modelNumberOf(const QString& name)
{
    return builtInModel(qPrintable(name))->modelNumbers.first();
}

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

    // Who may be read together: answering servos at the line's rate and in its protocol, model and
    // span known, not the connected one; their turn is taken once they went out.
    void aGroupOfServosDue()
    {
        BusRoster roster;
        const int xl430 = modelNumberOf("xl430");
        roster.setConnected(1, 1000000, 2);
        roster.add(1, 1000000, xl430, 46, 2);
        roster.add(2, 1000000, xl430, 46, 2);
        roster.add(3, 1000000);               // model not known yet: pinged alone
        roster.add(4, 57600, xl430, 46, 2);   // another rate
        roster.add(5, 1000000, xl430, 46, 1); // found in Protocol 1
        roster.add(6, 1000000, xl430, 46);
        const QList<SideRead> group = roster.dueGroup(1000000, 2);
        QList<int> ids;
        for (const SideRead& read : group) {
            QVERIFY(!read.ping && read.length > 0 && read.protocol == 2);
            QCOMPARE(read.modelNumber, xl430);
            QCOMPARE(read.returnDelayUs, -1); // not in any table read yet
            ids << read.id;
        }
        QCOMPARE(ids, QList<int>({2, 6}));
        roster.groupSent({2, 6});
        QVERIFY(roster.dueGroup(1000000, 2).isEmpty());
        const auto single = roster.nextSideRead(1000000, 2);
        QVERIFY(single && single->ping && single->id == 3);

        const SideRead part = group.first();
        QByteArray values(part.length, '\0');
        values[0] = char(0x34);
        roster.groupPartAnswered(part, values, 0);
        QCOMPARE(roster.valuesAt(roster.rowOf(2)).mid(part.address, part.length), values);
        QVERIFY(!roster.data(roster.index(roster.rowOf(2), BusRoster::LastAnswerColumn), Qt::DisplayRole)
                     .toString()
                     .isEmpty());
        QCOMPARE(roster.sideReadsAnswered(), 1);
    }

    // The kind every member answers, the servos whose descriptions list none left to be read alone,
    // and only as many as fit before the next poll.
    void groupPlans_data()
    {
        QTest::addColumn<QStringList>("models"); // ids 2, 3, …
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("leftUs");
        QTest::addColumn<std::optional<MultiReadKind>>("kind");
        QTest::addColumn<QList<int>>("ids");
        const QStringList sixXl430 = times(5, QStringLiteral("xl430"));
        QTest::newRow("five XL430") << sixXl430 << 2 << 20000
                                    << std::optional<MultiReadKind>(MultiReadKind::FastSyncRead)
                                    << QList<int>{2, 3, 4, 5, 6};
        QTest::newRow("time for two")
            << sixXl430 << 2 << 5500 << std::optional<MultiReadKind>(MultiReadKind::FastSyncRead)
            << QList<int>{2, 3};
        QTest::newRow("time for one")
            << sixXl430 << 2 << 4500 << std::optional<MultiReadKind>() << QList<int>{};
        QTest::newRow("an XL-320 among them")
            << QStringList{"xl430", "xl320", "xl430"} << 2 << 20000
            << std::optional<MultiReadKind>(MultiReadKind::FastSyncRead) << QList<int>{2, 4};
        QTest::newRow("an XL430 and a V1")
            << QStringList{"xl430", "v1"} << 2 << 20000 << std::optional<MultiReadKind>() << QList<int>{};
        QTest::newRow("an MX-28 has no fast kinds")
            << QStringList{"xl430", "mx28-2"} << 2 << 20000
            << std::optional<MultiReadKind>(MultiReadKind::SyncRead) << QList<int>{2, 3};
        QTest::newRow("STS3215 in Protocol 1's form")
            << times(3, QStringLiteral("sts3215")) << 3 << 20000
            << std::optional<MultiReadKind>(MultiReadKind::SyncRead) << QList<int>{2, 3, 4};
    }

    void groupPlans()
    {
        QFETCH(QStringList, models);
        QFETCH(int, protocol);
        QFETCH(int, leftUs);
        QFETCH(std::optional<MultiReadKind>, kind);
        QFETCH(QList<int>, ids);
        BusRoster roster;
        roster.setAssumedProtocol(protocol);
        roster.setConnected(1, 1000000, protocol);
        for (int i = 0; i < models.size(); ++i)
            roster.add(i + 2, 1000000, modelNumberOf(models.at(i)), 60, protocol);
        const auto plan =
            SideReads::planGroup(roster.dueGroup(1000000, protocol), leftUs, 1000000, BusProtocol(protocol));
        QCOMPARE(plan.has_value(), kind.has_value());
        if (!plan)
            return;
        QCOMPARE(int(plan->kind), int(*kind));
        QList<int> planned;
        for (const SideRead& read : plan->reads)
            planned << read.id;
        QCOMPARE(planned, ids);
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
