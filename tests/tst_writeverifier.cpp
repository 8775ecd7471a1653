// Judging writes by what the servo holds, without a port: writes are answered and tables read
// back as values.
#include "core/model/fieldcatalogue.h"
#include "core/protocol/statuspacketframer.h"
#include "core/session/writeverifier.h"

#include <QtTest>

namespace {
// "10=1,11=2": the byte at 10 holds 1 and the one at 11 holds 2; unlisted bytes hold 0.
QByteArray table(const QString& bytes)
{
    QByteArray out(20, '\0');
    for (const QString& pair : bytes.split(',', Qt::SkipEmptyParts))
        out[pair.section('=', 0, 0).toInt()] = char(pair.section('=', 1, 1).toInt());
    return out;
}

// The same form for a write's fields, each one byte named after its address ("f11").
GroupWrite writeOf(const QString& bytes)
{
    QList<WriteField> fields;
    for (const QString& pair : bytes.split(',')) {
        const int address = pair.section('=', 0, 0).toInt();
        fields.append({QStringLiteral("f%1").arg(address), address, 1, uint32_t(pair.section('=', 1, 1).toInt()), 0xFF});
    }
    return GroupWrite(fields);
}

WriteOutcome answer(const QString& how)
{
    if (how == "alert")
        return WriteVerifier::answeredWith(0x80); // the hardware alert bit alone
    if (how == "refused")
        return WriteVerifier::answeredWith(0x06);
    if (how == "lost")
        return WriteVerifier::failedWith(FailureKind::Timeout, 0);
    if (how == "cut")
        return WriteVerifier::failedWith(FailureKind::Incomplete, 0);
    if (how == "unsent")
        return WriteVerifier::failedWith(FailureKind::NotSent, 0);
    return WriteVerifier::answeredWith(0);
}

// "1 refused (data limit error): 0 held, f11 holds 0"
QString report(int index, const FinishedWrite& done)
{
    static const char* const answers[] = {"acknowledged", "refused", "lost", "not sent"};
    QString text = QStringLiteral("%1 %2").arg(index).arg(answers[int(done.outcome.answer)]);
    if (!done.outcome.problem.isEmpty())
        text += QStringLiteral(" (%1)").arg(done.outcome.problem);
    text += QStringLiteral(": %1 held").arg(done.outcome.check.fieldsHeld);
    if (!done.outcome.check.allHeld())
        text += QStringLiteral(", %1 holds %2")
                    .arg(done.write.fields().at(done.outcome.check.firstDiffering).name)
                    .arg(done.outcome.check.held);
    return text;
}

// Sends every queued write and answers it as `answers` say ("ack lost").
void sendAll(WriteVerifier& writes, const QString& answers, const QByteArray& lastTable = {})
{
    for (const QString& how : answers.split(' ')) {
        QVERIFY(writes.send(lastTable).has_value());
        QVERIFY(writes.answered(answer(how)).has_value());
    }
}
} // namespace

class TestWriteVerifier : public QObject
{
    Q_OBJECT

private slots:
    // A value goes into a write's bytes in the model's byte order, with its sign as the register
    // keeps it, and reads back as the same value; bytes outside its mask stay as the table holds them.
    void valuesRoundTripInEitherByteOrder_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("bigEndian");
        QTest::addColumn<uint32_t>("signBit");
        QTest::addColumn<uint32_t>("mask");
        QTest::addColumn<int>("raw");
        QTest::addColumn<QByteArray>("bytes"); // over a table of 0xAA bytes
        const uint32_t all = 0xFFFFFFFF;
        QTest::newRow("little, 2 bytes") << 2 << false << 0u << all << 0x1234 << QByteArray::fromHex("3412");
        QTest::newRow("big, 2 bytes") << 2 << true << 0u << all << 0x1234 << QByteArray::fromHex("1234");
        QTest::newRow("big, 4 bytes")
            << 4 << true << 0u << all << 0x01020304 << QByteArray::fromHex("01020304");
        QTest::newRow("sign and magnitude, little")
            << 2 << false << 0x8000u << all << -100 << QByteArray::fromHex("6480");
        QTest::newRow("sign and magnitude, big")
            << 2 << true << 0x8000u << all << -100 << QByteArray::fromHex("8064");
        QTest::newRow("bit 10 as the sign, big")
            << 2 << true << 0x400u << 0x7FFu << -5 << QByteArray::fromHex("ac05");
        QTest::newRow("masked high byte, big")
            << 2 << true << 0u << 0xFF00u << 0x1200 << QByteArray::fromHex("12aa");
    }
    void valuesRoundTripInEitherByteOrder()
    {
        QFETCH(int, size);
        QFETCH(bool, bigEndian);
        QFETCH(uint32_t, signBit);
        QFETCH(uint32_t, mask);
        QFETCH(int, raw);
        QFETCH(QByteArray, bytes);
        FieldRecord field;
        field.address = 3;
        field.size = size;
        field.bigEndian = bigEndian;
        field.signBit = signBit;
        field.mask = mask;
        const GroupWrite write({field.writeOf(raw)});
        QByteArray table(8, '\xAA');
        QCOMPARE(write.block(table).toHex(), bytes.toHex());
        table.replace(3, size, write.block(table));
        QCOMPARE(field.rawIn(table), raw);
        QVERIFY(write.check(table).allHeld());
    }

    // Writes sent and answered, then judged by the reads that follow (each sent after all the
    // answers). `reports`: what each read finished, in order; `mayGo`: whether a further write may go
    // before each read.
    void writesAreJudgedByWhatTheServoHolds_data()
    {
        QTest::addColumn<QString>("writes"); // one write per ';'
        QTest::addColumn<QString>("answers");
        QTest::addColumn<QStringList>("reads");
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<QString>("mayGo");

        QTest::newRow("held on the first read") << "11=70" << "ack" << QStringList{"11=70"}
                                                << QStringList{"0 acknowledged: 1 held"} << "yes";
        QTest::newRow("the alert bit is no refusal") << "11=70" << "alert" << QStringList{"11=70"}
                                                     << QStringList{"0 acknowledged: 1 held"} << "yes";
        // The first read may be a late answer from before the write.
        QTest::newRow("not held once, then held")
            << "11=70" << "ack" << QStringList{"11=0", "11=70"} << QStringList{"", "0 acknowledged: 1 held"}
            << "yes no";
        QTest::newRow("not held twice") << "11=70" << "ack" << QStringList{"11=0", "11=3"}
                                        << QStringList{"", "0 acknowledged: 0 held, f11 holds 3"} << "yes no";
        QTest::newRow("refused, not held")
            << "11=70" << "refused" << QStringList{"11=0", "11=0"}
            << QStringList{"", "0 refused (data limit error): 0 held, f11 holds 0"} << "no no";
        QTest::newRow("refused, yet taken") << "11=70" << "refused" << QStringList{"11=70"}
                                            << QStringList{"0 refused (data limit error): 1 held"} << "no";
        QTest::newRow("answer lost") << "11=70" << "lost" << QStringList{"11=70"}
                                     << QStringList{"0 lost (no answer): 1 held"} << "no";
        QTest::newRow("answer cut short, not held")
            << "11=70" << "cut" << QStringList{"11=0", "11=0"}
            << QStringList{"", "0 lost (answer cut short): 0 held, f11 holds 0"} << "no no";
        // Never reached the servo: the scheduler reports it at once, no read judges it.
        QTest::newRow("not sent") << "11=70" << "unsent" << QStringList{"11=0"} << QStringList{""} << "yes";
        // The byte both wrote is the later write's to answer for.
        QTest::newRow("overlapping writes, both held")
            << "10=1,11=2;11=3" << "ack ack" << QStringList{"10=1,11=3"}
            << QStringList{"0 acknowledged: 1 held; 1 acknowledged: 1 held"} << "yes";
        QTest::newRow("overlapping writes, the later not held")
            << "10=1,11=2;11=3" << "ack ack" << QStringList{"10=1,11=2", "10=1,11=2"}
            << QStringList{"0 acknowledged: 1 held", "1 acknowledged: 0 held, f11 holds 2"} << "yes no";
        // The field that differs is named as the write was queued, not as it was judged.
        QTest::newRow("overlapped, a later field differs")
            << "10=1,11=2,12=5;10=9" << "ack ack" << QStringList{"10=9,11=2", "10=9,11=2"}
            << QStringList{"", "0 acknowledged: 1 held, f12 holds 0; 1 acknowledged: 1 held"} << "yes no";
        QTest::newRow("a lost write and a later one")
            << "11=70;12=4" << "lost ack" << QStringList{"11=70,12=4"}
            << QStringList{"0 lost (no answer): 1 held; 1 acknowledged: 1 held"} << "no";
    }

    void writesAreJudgedByWhatTheServoHolds()
    {
        QFETCH(QString, writes);
        QFETCH(QString, answers);
        QFETCH(QStringList, reads);
        QFETCH(QStringList, reports);
        QFETCH(QString, mayGo);

        WriteVerifier verifier;
        const QStringList each = writes.split(';');
        for (const QString& bytes : each)
            verifier.queue(writeOf(bytes));
        sendAll(verifier, answers);
        verifier.queue(writeOf("30=1")); // waits for the verdicts, never sent here
        QStringList reported;
        QStringList mayGoSeen;
        for (const QString& read : reads) {
            mayGoSeen << (verifier.mayWrite() ? "yes" : "no");
            QStringList finished;
            for (const FinishedWrite& done : verifier.judge(verifier.waitingForRead(), table(read))) {
                QVERIFY(done.outcome.readBack);
                int index = 0; // the rows' writes differ in where they start or end
                while (index < each.size() && (done.write.address() != writeOf(each.at(index)).address() ||
                                               done.write.length() != writeOf(each.at(index)).length()))
                    ++index;
                finished << report(index, done);
            }
            reported << finished.join("; ");
        }
        QCOMPARE(reported, reports);
        QCOMPARE(mayGoSeen.join(' '), mayGo);
    }

    // A read judges only the writes answered before it was sent.
    void aReadSentBeforeTheAnswerJudgesNothing()
    {
        WriteVerifier verifier;
        verifier.queue(writeOf("11=70"));
        const size_t waitingAtRead = verifier.waitingForRead();
        sendAll(verifier, "ack");
        QVERIFY(verifier.judge(waitingAtRead, table("11=0")).isEmpty());
        QCOMPARE(verifier.judge(verifier.waitingForRead(), table("11=70")).size(), 1);
        QVERIFY(!verifier.hasPending());
    }

    // The bytes between a write's fields are sent as the servo holds them: the newest table with
    // the acknowledged writes since put in, never what a write of unknown effect may have left.
    void bytesBetweenFieldsAreWhatTheServoHolds_data()
    {
        QTest::addColumn<QString>("lastTable");
        QTest::addColumn<QString>("first"); // how the write to 11 was answered
        QTest::addColumn<QByteArray>("sent"); // the bytes 10 to 12 of the write to 10 and 12

        QTest::newRow("acknowledged") << "10=5,11=6,12=7" << "ack" << QByteArray::fromHex("010903");
        QTest::newRow("lost") << "10=5,11=6,12=7" << "lost" << QByteArray::fromHex("010603");
        QTest::newRow("refused") << "10=5,11=6,12=7" << "refused" << QByteArray::fromHex("010603");
        QTest::newRow("no table yet") << "" << "ack" << QByteArray::fromHex("010903");
    }

    void bytesBetweenFieldsAreWhatTheServoHolds()
    {
        QFETCH(QString, lastTable);
        QFETCH(QString, first);
        QFETCH(QByteArray, sent);
        const QByteArray last = lastTable.isEmpty() ? QByteArray() : table(lastTable);
        WriteVerifier verifier;
        verifier.queue(writeOf("11=9"));
        verifier.queue(writeOf("10=1,12=3"));
        sendAll(verifier, first, last);
        const auto outgoing = verifier.send(last);
        QVERIFY(outgoing.has_value());
        QCOMPARE(outgoing->write.address(), uint8_t(10));
        QCOMPARE(outgoing->data, sent);
        QVERIFY(verifier.isInFlight(outgoing->number));
        QVERIFY(!verifier.send(last).has_value()); // nothing more queued
    }

    // Disconnecting says what became of the writes, the least certain first.
    void abandonSaysWhatBecameOfTheWrites_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("text");

        const QString unacknowledged =
            "Parameters may not have been written: disconnected before the servo acknowledged them";
        QTest::newRow("none") << "" << QString();
        QTest::newRow("queued") << "queue" << "Parameters not written: disconnected before they were sent";
        QTest::newRow("on the line") << "queue send" << unacknowledged;
        QTest::newRow("acknowledged, queued")
            << "queue send ack queue" << "Parameters may not have been written: disconnected before they were read back";
        QTest::newRow("lost") << "queue send lost" << unacknowledged;
        QTest::newRow("acknowledged, then one on the line") << "queue queue send ack send" << unacknowledged;
        QTest::newRow("judged") << "queue send ack read" << QString();
    }

    void abandonSaysWhatBecameOfTheWrites()
    {
        QFETCH(QString, steps);
        QFETCH(QString, text);
        WriteVerifier verifier;
        for (const QString& step : steps.split(' ', Qt::SkipEmptyParts)) {
            if (step == "queue")
                verifier.queue(writeOf("11=70"));
            else if (step == "send")
                QVERIFY(verifier.send({}).has_value());
            else if (step == "read")
                QCOMPARE(verifier.judge(verifier.waitingForRead(), table("11=70")).size(), 1);
            else
                QVERIFY(verifier.answered(answer(step)).has_value());
        }
        QCOMPARE(verifier.hasPending(), !text.isEmpty());
        QCOMPARE(verifier.abandon(), text);
        QVERIFY(!verifier.hasPending());
        QVERIFY(!verifier.answered(answer("ack")).has_value()); // an answer after the end finds nothing
    }

    // The servo was not found after a write that moved it: the writes waiting for a read are
    // reported as they stand, the queued ones as not sent.
    void aLostServoDropsEveryWrite()
    {
        WriteVerifier verifier;
        verifier.queue(writeOf("3=7"));
        verifier.queue(writeOf("11=70"));
        sendAll(verifier, "lost");
        const QList<FinishedWrite> dropped = verifier.dropAll("the servo was not found");
        QCOMPARE(dropped.size(), 2);
        QCOMPARE(report(0, dropped.at(0)), QStringLiteral("0 lost (no answer): 0 held"));
        QVERIFY(!dropped.at(0).outcome.readBack);
        QCOMPARE(report(1, dropped.at(1)), QStringLiteral("1 not sent (the servo was not found): 0 held"));
        QVERIFY(!verifier.hasPending());
    }
};

QTEST_GUILESS_MAIN(TestWriteVerifier)
#include "tst_writeverifier.moc"
