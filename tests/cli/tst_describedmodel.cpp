// A model the program was never built with, dropped into a folder of descriptions: identified,
// read, set and verified, saved and restored by the command line, against simulated servos that
// play the same file. No code knows the model.
#include "core/model/modeldescription.h"

#include <cliprocess.h>
#include <servosimulator.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString descriptionFile = QStringLiteral(VSM_TEST_DATA "/bench-servo.json");

int u16At(const QByteArray& table, int address)
{
    return quint8(table.at(address)) | (quint8(table.at(address + 1)) << 8);
}
} // namespace

class TestDescribedModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(_home.isValid() && _models.isValid());
        QVERIFY(QFile::copy(descriptionFile, _models.filePath("bench-servo.json")));
        QFile file(descriptionFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QString problem;
        const auto description = readModelDescription(file.readAll(), file.fileName(), &problem);
        QVERIFY2(description, qPrintable(problem));
        servosim::Options options;
        options.description = std::make_shared<const ModelDescription>(*description);
        _simulator = std::make_unique<servosim::ServoSimulator>(options);
        QVERIFY(_simulator->start());
    }

    // Rows run in order on one servo: each starts from what the rows before left.
    void commands_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("stiffness"); // raw value the servo must then hold; -1: not checked
        auto row = [](const char* name, const QStringList& arguments, int status, const QString& output,
                      const QString& message, int stiffness = -1) {
            QTest::newRow(name) << arguments << status << output << message << stiffness;
        };
        row("identified by its description", {"info"}, 0, "Bench servo (model number 4242)", "");
        row("the keys of the file", {"keys", "bench-servo"}, 0, "stiffness\n", "");
        row("a value in its unit", {"get", "presentVoltage"}, 0, "presentVoltage 12", "");
        row("set and verified", {"set", "stiffness=75"}, 0, "stiffness: written and verified", "", 750);
        row("saved", {"save", "saved.json"}, 0, "", "", 750);
        row("changed again", {"--raw", "set", "stiffness=100"}, 0, "written and verified", "", 100);
        row("motor on", {"set", "enableMotor=1"}, 0, "written and verified", "", 100);
        row("non-volatile refused while the motor runs", {"set", "driveMode=1"}, 1, "",
            "nothing written: driveMode", 100);
        row("motor off again", {"set", "enableMotor=0"}, 0, "written and verified", "", 100);
        row("restored from the file", {"restore", "saved.json"}, 0, "", "", 750);
    }
    void commands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        QFETCH(QString, message);
        QFETCH(int, stiffness);
        const QStringList options{"--models", _models.path(), "--port", _simulator->devicePath(), "--baud",
                                  "1000000", "--id", "1"};
        const CliRun run = runCli(QStringLiteral(VSM_CLI_PATH), _home.path(), options + arguments);
        QVERIFY(run.finished);
        QVERIFY2(run.status == status,
                 qPrintable(QStringLiteral("exit %1: %2%3").arg(run.status).arg(run.out, run.err)));
        QVERIFY2(run.out.contains(output), qPrintable(run.out));
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        if (stiffness >= 0)
            QCOMPARE(u16At(_simulator->registers(1), 6), stiffness);
        if (QTest::currentDataTag() == QLatin1String("saved")) {
            QFile saved(_home.filePath("saved.json"));
            QVERIFY(saved.open(QIODevice::ReadOnly));
            const QJsonObject root = QJsonDocument::fromJson(saved.readAll()).object();
            QCOMPARE(root["servo"].toObject()["modelNumber"].toInt(), 4242);
            QCOMPARE(root["values"].toObject()["stiffness"].toObject()["raw"].toInt(), 750);
        }
    }

private:
    QTemporaryDir _home;
    QTemporaryDir _models;
    std::unique_ptr<servosim::ServoSimulator> _simulator;
};

QTEST_GUILESS_MAIN(TestDescribedModel)
#include "tst_describedmodel.moc"
