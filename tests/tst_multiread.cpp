#include "core/model/multiread.h"

#include "testmodels.h"

#include <QtTest>

class TestMultiRead : public QObject
{
    Q_OBJECT

private slots:
    // The shipped descriptions decide: the fastest read every servo of the group lists, or none.
    void choice_data()
    {
        QTest::addColumn<QStringList>("models"); // name, or name:protocol; "unknown": no description
        QTest::addColumn<bool>("sameSpan");
        QTest::addColumn<int>("expected"); // a MultiReadKind; -1: one by one
        const QStringList sixXl430 = QVector<QString>(6, "xl430").toList();
        QTest::newRow("all XL430") << sixXl430 << true << int(MultiReadKind::FastSyncRead);
        QTest::newRow("an MX-28 (2.0) without fast reads")
            << QStringList{"xl430", "mx28-2", "xm430"} << true << int(MultiReadKind::SyncRead);
        QTest::newRow("XL430s, different spans") << sixXl430 << false << int(MultiReadKind::FastBulkRead);
        QTest::newRow("different spans with an MX-28 (2.0)")
            << QStringList{"xl430", "mx28-2"} << false << int(MultiReadKind::BulkRead);
        QTest::newRow("a V1 in the group") << QStringList{"xl430", "v1"} << true << -1;
        QTest::newRow("an unknown model") << QStringList{"xl430", "xl430", "unknown"} << true << -1;
        QTest::newRow("an XL-320: no sync read") << QStringList{"xl430", "xl320"} << true << -1;
        QTest::newRow("mixed protocols") << QStringList{"sts3215", "sts3215:1"} << true << -1;
        QTest::newRow("STS3215s") << QStringList{"sts3215", "sts3215", "sts3250"} << true
                                  << int(MultiReadKind::SyncRead);
        QTest::newRow("STS3215s, different spans") << QStringList{"sts3215", "sts3250"} << false << -1;
        QTest::newRow("an SCS0009 without sync read") << QStringList{"sts3215", "scs0009"} << true << -1;
        QTest::newRow("one servo alone") << QStringList{"xl430"} << true << -1;
    }

    void choice()
    {
        QFETCH(QStringList, models);
        QFETCH(bool, sameSpan);
        QFETCH(int, expected);
        QList<MultiReadMember> members;
        for (const QString& name : models) {
            MultiReadMember member;
            member.model = builtInModel(qPrintable(name.section(':', 0, 0)));
            QVERIFY2(member.model || name == "unknown", qPrintable(name));
            const QString word = name.section(':', 1);
            member.protocol = !word.isEmpty() ? *protocolOfWord(word)
                              : member.model  ? BusProtocol(member.model->protocols.first())
                                              : BusProtocol::Two;
            members << member;
        }
        const std::optional<MultiReadKind> kind = chooseMultiRead(members, sameSpan);
        QCOMPARE(kind ? int(*kind) : -1, expected);
        // Whatever is chosen, every member's description lists it.
        for (const MultiReadMember& member : members)
            QVERIFY(!kind || member.model->instructions.contains(multiReadInstruction(*kind)));
    }
};

QTEST_GUILESS_MAIN(TestMultiRead)
#include "tst_multiread.moc"
