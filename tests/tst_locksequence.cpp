// Settings of a model with a lock: the writes that carry them, and how their outcome is judged
// once the close after them has been read back. Without a port.
#include "core/model/describeddevice.h"
#include "core/model/fieldcatalogue.h"
#include "core/model/locksequence.h"
#include "core/model/modeldescription.h"
#include "core/protocol/statuspacketframer.h"
#include "core/session/writeverifier.h"

#include <QtTest>

namespace {
constexpr int lockAddress = 40;
constexpr int idAddress = 7;

// The test description with a lock, as a row wants it: "no lock", or "big-endian" with a
// two-byte lock that opens with 0x0100.
std::shared_ptr<const ModelDescription> lockModel(const QString& variant = {})
{
    QFile file(QStringLiteral(VSM_TEST_DATA "/locked/lock-test.json"));
    QString problem;
    auto model = file.open(QIODevice::ReadOnly)
                     ? readModelDescription(file.readAll(), file.fileName(), &problem)
                     : std::nullopt;
    if (!model)
        return nullptr;
    if (variant == "no lock")
        model->lockKey.clear();
    if (variant == "big-endian") {
        model->bigEndian = true;
        model->lockOpen = 0x0100;
        for (ModelEntry& entry : model->entries)
            entry.size = entry.key == "lock" ? 2 : entry.size;
    }
    return std::make_shared<const ModelDescription>(*model);
}

// "open 4000 | settings | close 4001 @5/0": each step's role, a lock step's bytes and where a
// close goes (-1/0: where the sequence began).
QString stepsText(const QList<LockStep>& steps)
{
    QStringList parts;
    for (const LockStep& step : steps) {
        if (!step.isLockStep()) {
            parts << QStringLiteral("settings");
            continue;
        }
        QString text = QStringLiteral("%1 %2%3")
                           .arg(step.role == LockStep::Role::Open ? "open" : "close")
                           .arg(step.write.address())
                           .arg(QString::fromLatin1(step.write.block({}).toHex()));
        if (step.role == LockStep::Role::Close)
            text += QStringLiteral(" @%1/%2").arg(step.id).arg(step.baudRate);
        parts << text;
    }
    return parts.join(QStringLiteral(" | "));
}

WriteOutcome answerOf(const QString& how)
{
    if (how == "refused")
        return WriteVerifier::answeredWith(0x06);
    if (how == "lost")
        return WriteVerifier::failedWith(FailureKind::Timeout, 0);
    return WriteVerifier::answeredWith(0);
}
} // namespace

class TestLockSequence : public QObject
{
    Q_OBJECT

private slots:
    void sequence_data()
    {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<QString>("fields"); // key=raw,...
        QTest::addColumn<int>("newId");
        QTest::addColumn<int>("newRate");
        QTest::addColumn<QString>("steps");
        QTest::newRow("no lock") << "no lock"
                                 << "temperatureLimit=60" << -1 << 0 << "settings";
        QTest::newRow("volatile only") << ""
                                       << "statusReturnLevel=1" << -1 << 0 << "settings";
        QTest::newRow("the lock written by hand") << ""
                                                  << "lock=0,temperatureLimit=60" << -1 << 0 << "settings";
        QTest::newRow("non-volatile")
            << ""
            << "temperatureLimit=60" << -1 << 0 << "open 4000 | settings | close 4001 @-1/0";
        QTest::newRow("id change: closed at the new id")
            << ""
            << "id=5" << 5 << 0 << "open 4000 | settings | close 4001 @5/0";
        QTest::newRow("rate change: closed at the new rate")
            << ""
            << "baudRate=3" << -1 << 1000000 << "open 4000 | settings | close 4001 @-1/1000000";
        QTest::newRow("a raw byte over the id")
            << ""
            << "@7=5" << -1 << 0 << "open 4000 | settings | close 4001 @-1/0";
        QTest::newRow("a raw byte over the lock") << ""
                                                  << "@40=0" << -1 << 0 << "settings";
        QTest::newRow("big-endian two-byte lock")
            << "big-endian"
            << "id=5" << 5 << 0 << "open 400100 | settings | close 400001 @5/0";
    }

    void sequence()
    {
        QFETCH(QString, variant);
        QFETCH(QString, fields);
        QFETCH(int, newId);
        QFETCH(int, newRate);
        const auto model = lockModel(variant);
        QVERIFY(model);
        const FieldCatalogue catalogue{DescribedDevice(model)};
        QList<WriteField> writeFields;
        for (const QString& pair : fields.split(',')) {
            const QString key = pair.section('=', 0, 0);
            const int raw = pair.section('=', 1).toInt();
            if (key.startsWith('@')) { // a raw byte, as the register view writes it
                writeFields.append({QString(), key.mid(1).toInt(), 1, uint32_t(raw), 0xFF});
                continue;
            }
            QVERIFY2(catalogue.byKey(key), qPrintable(key));
            writeFields << catalogue.byKey(key)->writeOf(raw);
        }
        GroupWrite write(writeFields);
        write.newId = newId;
        write.newBaudCode = newRate > 0 ? 3 : -1;
        write.newBaudRate = newRate;
        QTEST(stepsText(lockSequence(catalogue, {write})), "steps");
    }

    // Writes go out as a scheduler sends them (the next one once none waits for a read, a read
    // otherwise) to a servo that takes each as its answer says: "ack" and "lost" (the answer lost)
    // are taken, "refused" and "gone" (the request lost) are not.
    void outcome_data()
    {
        QTest::addColumn<QStringList>("answers"); // of the open, the id write and the close
        QTest::addColumn<bool>("succeeded");
        QTest::addColumn<QString>("lockProblem");
        const QString leftOpen = "the settings lock was left open";
        QTest::newRow("all taken") << QStringList{"ack", "ack", "ack"} << true << "";
        QTest::newRow("close refused") << QStringList{"ack", "ack", "refused"} << false << leftOpen;
        QTest::newRow("close gone") << QStringList{"ack", "ack", "gone"} << false << leftOpen;
        QTest::newRow("close taken, its answer lost") << QStringList{"ack", "ack", "lost"} << true << "";
        QTest::newRow("settings refused: closed all the same")
            << QStringList{"ack", "refused", "ack"} << false << "";
        QTest::newRow("settings gone: closed all the same")
            << QStringList{"ack", "gone", "ack"} << false << "";
        // The servo is not found after the settings: the close is never sent.
        QTest::newRow("dropped before the close")
            << QStringList{"ack", "ack", "drop"} << false << "the settings lock may have been left open";
        QTest::newRow("open refused")
            << QStringList{"refused", "ack", "ack"} << false
            << "the settings lock did not open: the servo keeps them only until it is powered off";
    }

    void outcome()
    {
        QFETCH(QStringList, answers);
        const auto model = lockModel();
        QVERIFY(model);
        const FieldCatalogue catalogue{DescribedDevice(model)};
        GroupWrite write({catalogue.byKey("id")->writeOf(5)});
        write.newId = 5;
        QByteArray servo(60, '\0');
        servo[lockAddress] = 1;
        servo[idAddress] = 1;

        WriteVerifier verifier;
        verifier.queue(lockSequence(catalogue, {write}));
        QList<FinishedWrite> finished;
        QList<LockStep::Role> sent;
        for (int round = 0; verifier.hasPending() && round < 20; ++round) {
            if (!verifier.mayWrite()) {
                finished += verifier.judge(verifier.waitingForRead(), servo);
                continue;
            }
            const QString how = answers.value(sent.size());
            if (how == "drop") {
                finished += verifier.dropAll("the servo was not found");
                break;
            }
            const auto outgoing = verifier.send(servo);
            sent << outgoing->role;
            if (how == "ack" || how == "lost")
                servo.replace(outgoing->write.address(), outgoing->data.size(), outgoing->data);
            verifier.answered(how == "gone" ? answerOf("lost") : answerOf(how), &finished);
        }
        // Every step went out, the close last, whatever became of the others; only the write asked
        // for is reported.
        const QList<LockStep::Role> all{LockStep::Role::Open, LockStep::Role::Settings,
                                        LockStep::Role::Close};
        QCOMPARE(sent, answers.last() == "drop" ? all.mid(0, 2) : all);
        QVERIFY(!verifier.hasPending());
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().write, write);
        QTEST(finished.first().outcome.succeeded(), "succeeded");
        QTEST(finished.first().outcome.lockProblem, "lockProblem");
    }
};

QTEST_GUILESS_MAIN(TestLockSequence)
#include "tst_locksequence.moc"
