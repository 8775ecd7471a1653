// velkora-servo as a shell user runs it, against simulated servos on a pseudo-terminal.
#include <servosimulator.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(_home.isValid());
        QVERIFY(_simulator.start());
    }
    void init()
    {
        _simulator.setSilent(false);
        // Motor off, target 0: each row starts from the same servo.
        _simulator.setRegisters(1, 48, QByteArray(1, '\0'));
        _simulator.clearReceived();
    }
    void commands_data();
    void commands();
    void ax12InProtocol1_data();
    void ax12InProtocol1();
    void usageListsWhatRuns();
    void models_data();
    void models();

private:
    struct Run
    {
        int status;
        QString out;
        QString err;
    };
    Run run(const QStringList& arguments)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), _home.path()); // no stored settings of the user's
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), _home.path());
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(_home.path());
        process.start(QStringLiteral(VSM_CLI_PATH), arguments);
        if (!process.waitForFinished(20000))
            return {-1, {}, QStringLiteral("did not finish")};
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }
    int writesReceived() const
    {
        int writes = 0;
        for (const auto& packet : _simulator.receivedPackets())
            writes += packet.instruction == 0x03 ? 1 : 0;
        return writes;
    }

    QTemporaryDir _home;
    servosim::ServoSimulator _simulator;
};

void TestCommandLine::commands_data()
{
    QTest::addColumn<QStringList>("setUp");  // run first, must exit 0
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");     // text standard output must contain
    QTest::addColumn<QString>("message");    // text standard error must contain
    QTest::addColumn<int>("writes");         // write requests the servo must have received; -1: any
    QTest::addColumn<bool>("silent");

    // Each row saves the servo as the rows before left it; setUp values differ from row to row.
    const QStringList none;
    auto row = [](const char* name, const QStringList& setUp, const QStringList& arguments, int status,
                  const QString& output, const QString& message, int writes, bool silent = false) {
        QTest::newRow(name) << setUp << arguments << status << output << message << writes << silent;
    };
    row("info", none, {"info"}, 0, "model number 1025", "", 0);
    row("info as JSON", none, {"--json", "info"}, 0, "\"modelNumber\": 1025", "", 0);
    row("fields", none, {"fields"}, 0, "temperatureLimit\tTemperature limit\tnon-volatile", "", 0);
    row("get in units", none, {"get", "actualVoltage"}, 0, " V\n", "", 0);
    row("get raw", none, {"--raw", "get", "actualVoltage"}, 0, "actualVoltage 1", "", 0);
    row("set with unit", none, {"set", "targetPosition=90deg", "enableMotor=1"}, 0,
        "targetPosition: written and verified", "", -1);
    row("read back in radians", {"set", "targetPosition=90deg"}, {"get", "targetPosition"}, 0,
        "targetPosition 1.57", "", -1);
    row("temperature in degF", none, {"set", "temperatureLimit=158degF"}, 0,
        "temperatureLimit: written and verified", "", -1);
    // A leading zero is decimal, as a script's padded number means it; 0x is hexadecimal.
    row("leading zero", {"--raw", "set", "temperatureLimit=070"}, {"--raw", "get", "temperatureLimit"}, 0,
        "temperatureLimit 70\n", "", 0);
    row("hexadecimal", {"--raw", "set", "temperatureLimit=0x47"}, {"--raw", "get", "temperatureLimit"}, 0,
        "temperatureLimit 71\n", "", 0);
    row("non-volatile while the motor is on", {"set", "enableMotor=1"}, {"set", "temperatureLimit=70"}, 1, "",
        "nothing written: temperatureLimit", 0);
    row("dry run writes nothing", {"set", "temperatureLimit=60"}, {"restore", "saved.json", "--dry-run"}, 0,
        "temperatureLimit: 60", "", 0);
    row("dry run warns of the motor", {"set", "temperatureLimit=61", "enableMotor=1"},
        {"restore", "saved.json", "--dry-run"}, 0, "temperatureLimit: 61", "would refuse temperatureLimit", 0);
    row("diff differs", {"set", "temperatureLimit=65"}, {"diff", "saved.json"}, 1, "temperatureLimit: servo", "", 0);
    row("restore", {"set", "temperatureLimit=55"}, {"restore", "saved.json"}, 0,
        "temperatureLimit: written and verified", "", -1);
    // Onto several servos: each gets a result, one that does not answer makes the exit 3.
    row("restore onto several", {"set", "temperatureLimit=56"}, {"restore", "saved.json", "--ids", "1,7"}, 3,
        "servo 1: written and verified\nservo 7: not answering", "", -1);
    row("ids backwards", none, {"restore", "saved.json", "--ids", "3-1"}, 2, "", "--ids wants ids", 0);
    row("several keep their ids", none, {"restore", "saved.json", "--ids", "1-2", "--with-id-baud"}, 2, "",
        "ids and baud rates stay", 0);
    row("restore of the id asked for without --with-id-baud", none, {"restore", "saved.json", "--only", "id"}, 2, "",
        "--with-id-baud", 0);
    // An empty shell variable: nothing chosen is no reason to write everything.
    row("--only naming nothing", {"set", "temperatureLimit=57"}, {"restore", "saved.json", "--only", ""}, 2, "",
        "--only names no setting", 0);
    row("--only naming nothing, several servos", {"set", "temperatureLimit=58"},
        {"restore", "saved.json", "--ids", "1", "--only=,"}, 2, "", "--only names no setting", 0);
    // Lists by the names the edit view gives their values, both ways.
    row("list value named", none, {"get", "operatingMode"}, 0, "operatingMode 2 (Joint)\n", "", 0);
    row("list value set by name", {"set", "inputMode=position"}, {"restore", "saved.json"}, 0,
        "inputMode: 1 (Position) -> 0 (Trajectory)", "", -1);
    row("list value misnamed", none, {"set", "operatingMode=Jiont"}, 2, "",
        "a whole number or one of Torque, Wheel, Joint, Multi-turn, Stepper", 0);
    row("watch", none, {"watch", "actualVoltage", "--count", "3", "--interval", "10"}, 0,
        "time (s),actualVoltage (V)", "", 0);
    // The bytes between two written settings keep what the servo holds.
    row("span keeps the bytes between", {"set", "ackResponseTime=100", "temperatureLimit=75"},
        {"get", "operatingMode"}, 0, "operatingMode 2", "", 0);
    row("quick scan", none, {"scan", "--quick", "--ids", "0-3"}, 0, "servo 1 at 1000000 baud", "", 0);
    row("reboot", none, {"reboot"}, 0, "", "servo 1 was rebooted", 0);
    row("silent servo", none, {"info"}, 3, "", "", 0, true);
    row("scan finds none", none, {"scan", "--ids", "0-2"}, 3, "", "no servo answered", 0, true);
    row("missing port", none, {"--port", "/dev/ttyNoSuchAdapter", "info"}, 4, "", "/dev/ttyNoSuchAdapter", 0);
    row("not a serial port", none, {"--port", "/dev/null", "info"}, 4, "", "/dev/null is not a serial port", 0);
    row("a file is no port", none, {"--port", "./saved.json", "info"}, 4, "", "./saved.json is not a serial port", 0);
    row("unknown key", none, {"get", "noSuchKey"}, 2, "", "unknown key noSuchKey", 0);
    row("out of range", none, {"set", "temperatureLimit=900"}, 2, "", "outside", 0);
    row("read-only", none, {"set", "actualVoltage=3"}, 2, "", "read-only", 0);
    row("no servo answers to 253", none, {"--id", "253", "info"}, 2, "", "0 to 252", 0);
    row("reset wants --yes", none, {"reset"}, 2, "", "--yes", 0);
    row("unknown command", none, {"frobnicate"}, 2, "", "unknown command", 0);
    // A Protocol 2 servo asked in Protocol 1: the message says which protocol was used.
    row("other protocol", none, {"--protocol", "1", "info"}, 3, "", "in Protocol 1", 0);
    row("protocol 3", none, {"--protocol", "3", "info"}, 2, "", "--protocol is 1, 2 or feetech", 0);
}

// A simulated AX-12 speaks Protocol 1, as a real one does, and is read and written in its own
// units, by key where the window has no field for a value.
void TestCommandLine::ax12InProtocol1_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("message");
    auto row = [](const char* name, const QStringList& arguments, int status, const QString& output,
                  const QString& message = {}) { QTest::newRow(name) << arguments << status << output << message; };
    row("info", {"info"}, 0, "model: AX-12 (model number 12)\nfirmware: 24");
    row("300 degrees", {"get", "counterClockwiseLimit"}, 0, "counterClockwiseLimit 5.235987756 radians");
    row("per cent", {"get", "maxTorque", "presentLoad"}, 0, "maxTorque 100 %\npresentLoad 0 %");
    row("key without a field", {"set", "torqueLimit=50"}, 0, "torqueLimit: written and verified");
    row("new id", {"set", "id=9", "targetPosition=0.5"}, 0, "id: written and verified");
    row("scan asks id by id", {"scan", "--quick", "--ids", "1-2"}, 0,
        "servo 1 at 1000000 baud: AX-12, Protocol 1");
    // Each servo is identified by its model number, which a Protocol 1 ping answer does not carry.
    row("one file onto several", {"--id", "1,2", "restore", "ax12.json", "--ids", "1,2"}, 0,
        "servo 1: written and verified\nservo 2: written and verified");
    row("a V1 speaks Protocol 2", {"--model", "v1", "--protocol", "1", "info"}, 2, "", "Protocol 1 goes with --model ax12");
}

void TestCommandLine::ax12InProtocol1()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(QString, message);
    QStringList words{"--simulate", "--model", "ax12"};
    if (arguments.first() == "--model")
        words = QStringList{"--simulate"};
    if (arguments.contains("ax12.json")) {
        // Saved from a simulated AX-12, with its temperature limit changed.
        QCOMPARE(run(words + QStringList{"save", "ax12.json"}).status, 0);
        QFile file(_home.filePath("ax12.json"));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QJsonObject document = QJsonDocument::fromJson(file.readAll()).object();
        QJsonObject values = document.value("values").toObject();
        values.insert("temperatureLimit", QJsonObject{{"raw", 60}}); // it holds 70
        document.insert("values", values);
        file.resize(0);
        file.write(QJsonDocument(document).toJson());
    }
    const Run result = run(words + arguments);
    QVERIFY2(result.status == status, qPrintable(QStringLiteral("exit %1: %2%3").arg(result.status).arg(result.out, result.err)));
    QVERIFY2(result.out.contains(output), qPrintable(result.out));
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
}

void TestCommandLine::commands()
{
    QFETCH(QStringList, setUp);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(QString, message);
    QFETCH(int, writes);
    QFETCH(bool, silent);
    const QStringList port{"--port", _simulator.devicePath(), "--baud", "1000000", "--id", "1"};

    // The file the rows restore and compare: the servo as it starts.
    QCOMPARE(run(port + QStringList{"save", "saved.json"}).status, 0);
    if (!setUp.isEmpty()) {
        const Run prepared = run(port + setUp);
        QVERIFY2(prepared.status == 0, qPrintable(prepared.err));
    }
    _simulator.clearReceived();
    _simulator.setSilent(silent);
    const Run result = run(port + arguments);
    _simulator.setSilent(false);
    QVERIFY2(result.status == status, qPrintable(QStringLiteral("exit %1: %2%3").arg(result.status).arg(result.out, result.err)));
    QVERIFY2(result.out.contains(output), qPrintable(result.out));
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    if (status > 1) // differences are a result, not a failure
        QVERIFY2(!result.err.isEmpty(), "a failure says why on standard error");
    if (writes >= 0)
        QCOMPARE(writesReceived(), writes);
}

// The usage lists every command, its summaries in one column, and each command it lists is one
// the program takes.
void TestCommandLine::usageListsWhatRuns()
{
    const Run help = run({"--help"});
    QCOMPARE(help.status, 0);
    const QString commands = help.out.section("Commands:\n", 1).section("\n\n", 0, 0);
    QStringList names;
    for (const QString& line : commands.split('\n')) {
        if (line.size() > 2 && line[2] != ' ') {
            const QString name = line.mid(2).section(' ', 0, 0);
            if (names.value(names.size() - 1) != name)
                names << name;
        }
        // A summary starts in its column, after its synopsis or on a line of its own.
        const int gap = line.indexOf("  ", 2);
        if (gap >= 0) {
            int column = gap;
            while (column < line.size() && line[column] == ' ')
                ++column;
            QVERIFY2(column == 37, qPrintable(line));
        }
    }
    QCOMPARE(names, QStringList({"ports", "scan", "doctor", "info", "fields", "models", "keys", "get", "set",
                                 "dump", "save", "restore", "diff", "watch", "off", "reboot", "reset", "number"}));
    const QStringList port{"--port", _simulator.devicePath(), "--baud", "1000000", "--id", "1"};
    for (const QString& name : names) {
        const Run result = run(port + QStringList{name, "--no-such-option"});
        QCOMPARE(result.status, 2);
        QVERIFY2(result.err.contains("unknown option --no-such-option"), qPrintable(name + ": " + result.err));
    }
    QCOMPARE(writesReceived(), 0);
}

// The models known, a user's folder of descriptions, and a servo whose model number none covers.
void TestCommandLine::models_data()
{
    QTest::addColumn<QString>("folder"); // what --models DIR holds: "" (no --models), madeup, v1, faulty
    QTest::addColumn<int>("modelNumber"); // what the servo reports; 0: the V1's own
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("output"); // texts standard output must contain
    QTest::addColumn<QString>("message");    // text standard error must contain

    const QString unknown = "velkora-servo: servo 1 reports model number 4660, which no model description "
                            "covers (choose one with --as MODEL)\n";
    auto row = [](const char* name, const QString& folder, int modelNumber, const QStringList& arguments,
                  int status, const QStringList& output, const QString& message) {
        QTest::newRow(name) << folder << modelNumber << arguments << status << output << message;
    };
    row("built-ins", "", 0, {"models"}, 0, {"v1\tVelkora V1\t1025\t:/models/v1.json\n", "ax12\tAX-12\t12\t"}, "");
    row("a user's model", "madeup", 0, {"models"}, 0, {"madeup\tMade-up servo\t4660\t", "v1\t"}, "");
    row("an override says so", "v1", 0, {"models"}, 0, {"(overrides the built-in :/models/v1.json)"}, "");
    row("a refused file", "faulty", 0, {"models"}, 0, {"v1\t", "ax12\t"}, "broken.json");
    row("as JSON", "madeup", 0, {"--json", "models"}, 0, {"\"name\": \"madeup\""}, "");
    row("unknown model number", "", 4660, {"info"}, 5, {}, unknown);
    row("unknown model number, fields", "", 4660, {"fields"}, 5, {}, unknown);
    row("--as takes it for a V1", "", 4660, {"--as", "v1", "info"}, 0, {"model number 4660"}, "");
    row("--as a user's model", "madeup", 1025, {"--as", "madeup", "info"}, 2, {}, "--as madeup: servo 1 is a v1");
    row("a user's description covers it", "madeup", 4660, {"info"}, 0, {"model number 4660"}, "");
    row("--as the servo's own model", "", 0, {"--as", "v1", "info"}, 0, {"model number 1025"}, "");
    row("--as another model", "", 0, {"--as=ax12", "info"}, 2, {}, "--as ax12: servo 1 is a v1");
    row("--as an unknown name", "", 0, {"--as", "nosuch", "info"}, 2, {}, "--as: ");
    row("--as without a model", "", 0, {"--as"}, 2, {}, "--as wants a model");
    row("--model unknown", "", 0, {"--simulate", "--model", "nosuch", "models"}, 2, {}, "--model: ");
    row("--model a user's", "madeup", 0, {"--simulate", "--model", "madeup", "--protocol", "1", "models"}, 2, {},
        "does not speak Protocol 1");
}

void TestCommandLine::models()
{
    QFETCH(QString, folder);
    QFETCH(int, modelNumber);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QStringList, output);
    QFETCH(QString, message);

    QTemporaryDir models;
    QVERIFY(models.isValid());
    QStringList options;
    if (!folder.isEmpty()) {
        QFile builtIn(QStringLiteral(VSM_MODELS_DIR "/v1.json"));
        QVERIFY(builtIn.open(QIODevice::ReadOnly));
        QJsonObject description = QJsonDocument::fromJson(builtIn.readAll()).object();
        QVERIFY(!description.isEmpty());
        QByteArray text;
        QString name = folder + ".json";
        if (folder == "madeup") {
            description["name"] = "madeup";
            description["caption"] = "Made-up servo";
            description["modelNumbers"] = QJsonArray{4660};
        } else if (folder == "faulty") {
            description["name"] = "broken";
            description["modelNumbers"] = QJsonArray{1061};
            description["noSuchMember"] = 1;
            name = "broken.json";
        }
        QFile file(models.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(description).toJson());
        file.close();
        options << "--models" << models.path();
    }
    servosim::ServoSimulator simulator;
    QVERIFY(simulator.start());
    if (modelNumber > 0)
        simulator.setRegisters(1, 0, QByteArray(1, char(modelNumber & 0xFF)) + char(modelNumber >> 8));
    simulator.clearReceived();
    const QStringList port{"--port", simulator.devicePath(), "--baud", "1000000", "--id", "1"};
    const bool simulated = arguments.contains("--simulate");
    const Run result = run(options + (simulated ? QStringList() : port) + arguments);
    QVERIFY2(result.status == status, qPrintable(QStringLiteral("exit %1: %2%3").arg(result.status).arg(result.out, result.err)));
    for (const QString& text : output)
        QVERIFY2(result.out.contains(text), qPrintable(result.out));
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    if (status == 0 && message.isEmpty())
        QVERIFY2(result.err.isEmpty(), qPrintable(result.err));
    // Whatever the model, none of these writes to the servo.
    for (const auto& packet : simulator.receivedPackets())
        QVERIFY(packet.instruction != 0x03 && packet.instruction != 0x83);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
