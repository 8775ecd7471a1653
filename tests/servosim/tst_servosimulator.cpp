// The simulator on a real pseudo-terminal, seen by a client the way the program sees it.
#include "crc16.h"
#include "feetechmodel.h"
#include "madeupmodel.h"
#include "protocol.h"
#include "servosimulator.h"

#include <QtSerialPort/QSerialPort>
#include <QtTest>

using namespace servosim;

namespace {

// The whole status packets at the front of `bytes` (stops at the first incomplete one).
QList<QByteArray> packets(const QByteArray& bytes, int protocol = 2)
{
    const QByteArray header = protocol == 1 ? packetHeaderP1() : packetHeader();
    const int headerSize = protocol == 1 ? HeaderSizeP1 : HeaderSize;
    QList<QByteArray> found;
    int at = bytes.indexOf(header);
    while (at >= 0 && at + headerSize <= bytes.size()) {
        const int size = headerSize + (protocol == 1 ? quint8(bytes.at(at + 3)) : tableU16(bytes, at + 5));
        if (at + size > bytes.size())
            break;
        found.append(bytes.mid(at, size));
        at = bytes.indexOf(header, at + size);
    }
    return found;
}

bool crcValid(const QByteArray& packet)
{
    if (!packet.startsWith(packetHeader())) // Protocol 1
        return packet.size() >= StatusOverheadP1 &&
               checksumP1(packet.mid(2, packet.size() - 3)) == quint8(packet.back());
    return packet.size() >= StatusOverhead &&
           crc16(packet.left(packet.size() - 2)) == tableU16(packet, packet.size() - 2);
}

QByteArray readParams(int address, int length)
{
    return QByteArray(1, char(address)) + '\0' + char(length) + '\0';
}

struct Client
{
    QSerialPort port;
    int protocol = 2;

    bool open(const QString& name, int baudRate)
    {
        port.close();
        port.setPortName(name);
        port.setBaudRate(baudRate);
        if (!port.open(QIODevice::ReadWrite))
            return false;
        port.clear();
        return true;
    }

    // Bytes that arrive until `count` whole packets are in or `timeoutMs` has passed.
    QByteArray collect(int count, int timeoutMs)
    {
        QByteArray bytes;
        QElapsedTimer timer;
        timer.start();
        while (packets(bytes, protocol).size() < count && timer.elapsed() < timeoutMs) {
            if (port.waitForReadyRead(int(qMax<qint64>(1, timeoutMs - timer.elapsed()))))
                bytes += port.readAll();
        }
        return bytes;
    }

    QByteArray exchange(quint8 id, quint8 code, const QByteArray& params = {}, int count = 1,
                        int timeoutMs = 500)
    {
        port.write(protocol == 1 ? instructionPacketP1(id, code, params)
                                 : instructionPacket(id, code, params));
        port.waitForBytesWritten(100);
        return collect(count, timeoutMs);
    }

    QList<int> pingIds(quint8 id, int count = 1, int timeoutMs = 500)
    {
        QList<int> ids;
        for (const QByteArray& packet :
             packets(exchange(id, instruction::Ping, {}, count, timeoutMs), protocol))
            if (crcValid(packet))
                ids.append(quint8(packet.at(protocol == 1 ? 2 : 4)));
        return ids;
    }
};

Options busOptions(QList<int> ids, int baudRate, bool wireTime = true)
{
    Options options;
    options.ids = std::move(ids);
    options.baudRate = baudRate;
    options.wireTime = wireTime;
    return options;
}

// One --control command line to a running simulator, and its answer line.
QString controlCommand(QProcess& process, const QByteArray& line)
{
    process.write(line + '\n');
    return QTest::qWaitFor([&process] { return process.canReadLine(); }, 20000)
               ? QString::fromLocal8Bit(process.readLine()).trimmed()
               : QStringLiteral("(no answer)");
}

} // namespace

class TestServoSimulator : public QObject
{
    Q_OBJECT

private slots:
    void answersOnlyAtItsRate_data()
    {
        QTest::addColumn<int>("servoRate");
        QTest::addColumn<int>("clientRate");
        QTest::newRow("57600") << 57600 << 57600;
        QTest::newRow("1000000") << 1000000 << 1000000;
        QTest::newRow("200000, a non-standard rate") << 200000 << 200000;
        QTest::newRow("57600 heard at 115200") << 57600 << 115200;
        QTest::newRow("1000000 heard at 57600") << 1000000 << 57600;
    }
    void answersOnlyAtItsRate()
    {
        QFETCH(int, servoRate);
        QFETCH(int, clientRate);
        const bool answered = servoRate == clientRate;
        ServoSimulator simulator(busOptions({5, 1}, servoRate));
        QString error;
        QVERIFY2(simulator.start(&error), qPrintable(error));
        Client client;
        QVERIFY2(client.open(simulator.portName(), clientRate), qPrintable(client.port.errorString()));

        QCOMPARE(client.pingIds(BroadcastId, 2, answered ? 1000 : 150),
                 answered ? QList<int>({1, 5}) : QList<int>());
        const QList<QByteArray> read =
            packets(client.exchange(5, instruction::Read, readParams(0, 4), 1, answered ? 1000 : 150));
        QCOMPARE(read.size(), answered ? 1 : 0);
        if (answered) {
            QVERIFY(crcValid(read.first()));
            QCOMPARE(read.first().mid(8, 5), QByteArray::fromHex("0001040305"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(simulator.packetsReceived(), 2, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(simulator.packetsAnswered(), answered ? 3 : 0, 20000);
        QCOMPARE(simulator.receivedPackets().first().id, BroadcastId);
        QCOMPARE(simulator.receivedPackets().last().params, readParams(0, 4));
    }

    void baudSwitchFollowsAcknowledgement()
    {
        ServoSimulator simulator(busOptions({1}, 1000000));
        QVERIFY(simulator.start());
        Client client;
        QVERIFY(client.open(simulator.devicePath(), 1000000));
        const QList<QByteArray> ack =
            packets(client.exchange(1, instruction::Write, QByteArray::fromHex("040022"))); // code 34
        QCOMPARE(ack.size(), 1);
        QVERIFY(crcValid(ack.first()));
        QCOMPARE(ack.first().at(8), char(0));
        QVERIFY(client.pingIds(1, 1, 150).isEmpty());
        QVERIFY(client.open(simulator.devicePath(), 57600));
        QCOMPARE(client.pingIds(1), QList<int>{1});
        QVERIFY(simulator.setServoBaudRate(1, 115200));
        QVERIFY(client.open(simulator.devicePath(), 115200));
        QCOMPARE(client.pingIds(1), QList<int>{1});
        QCOMPARE(simulator.registers(1).at(4), char(16));
    }

    void lineTime_data()
    {
        QTest::addColumn<bool>("wireTime");
        QTest::newRow("emulated") << true;
        QTest::newRow("off") << false;
    }
    void lineTime()
    {
        QFETCH(bool, wireTime);
        // A slow line, so that the check without line time has a wide margin on a busy machine.
        ServoSimulator simulator(busOptions({1}, 9600, wireTime));
        QVERIFY(simulator.start());
        Client client;
        QVERIFY(client.open(simulator.devicePath(), 9600));
        QElapsedTimer timer;
        timer.start();
        const QByteArray answer = client.exchange(1, instruction::Read, readParams(0, 118), 1, 2000);
        const qint64 elapsedUs = timer.nsecsElapsed() / 1000;
        QCOMPARE(answer.size(), 129);
        // 14 + 129 bytes at 9600 baud, plus the 500 µs return delay.
        const qint64 wired = lineTimeUs(14 + 129, 9600) + 500;
        if (wireTime)
            QVERIFY2(elapsedUs >= wired, qPrintable(QString::number(elapsedUs)));
        else
            QVERIFY2(elapsedUs < wired, qPrintable(QString::number(elapsedUs)));
    }

    void faultsOnTheLine_data()
    {
        QTest::addColumn<Fault>("fault");
        for (Fault fault : allFaults())
            QTest::newRow(qPrintable(faultName(fault))) << fault;
    }
    void faultsOnTheLine()
    {
        QFETCH(Fault, fault);
        ServoSimulator simulator(busOptions({1}, 1000000));
        QVERIFY(simulator.start());
        Client client;
        QVERIFY(client.open(simulator.devicePath(), 1000000));
        const QByteArray normal = client.exchange(1, instruction::Ping);
        QCOMPARE(normal.size(), 14);

        simulator.injectFault(fault, 1, 0x05);
        QElapsedTimer timer;
        timer.start();
        const bool complete =
            fault != Fault::NoAnswer && fault != Fault::Truncated && fault != Fault::Delayed;
        QByteArray bytes =
            client.exchange(1, instruction::Ping, {}, 1, complete || fault == Fault::Truncated ? 1000 : 150);
        QTRY_COMPARE_WITH_TIMEOUT(simulator.faultsInjected(), 1, 20000);
        switch (fault) {
        case Fault::NoAnswer:
            QVERIFY(bytes.isEmpty());
            break;
        case Fault::Truncated:
            QVERIFY(!bytes.isEmpty() && normal.startsWith(bytes) && bytes != normal);
            break;
        case Fault::Delayed:
            QVERIFY(bytes.isEmpty());
            bytes = client.collect(1, 1000);
            QCOMPARE(bytes, normal);
            QVERIFY(timer.elapsed() >= 250);
            break;
        case Fault::Split:
            QCOMPARE(bytes, normal);
            QVERIFY(timer.nsecsElapsed() / 1000 >= 2 * 3000); // two gaps
            break;
        case Fault::GarbageBefore:
            QVERIFY(bytes.size() > normal.size() && bytes.endsWith(normal));
            QCOMPARE(bytes.indexOf("\xFF\xFF\xFD"), bytes.size() - normal.size());
            break;
        case Fault::BadCrc:
            QVERIFY(bytes.size() == normal.size() && bytes.left(12) == normal.left(12) && !crcValid(bytes));
            break;
        case Fault::WrongId:
            QVERIFY(crcValid(bytes) && bytes.at(4) == 2);
            break;
        case Fault::ErrorByte:
            QVERIFY(crcValid(bytes) && bytes.at(8) == 5 && bytes.mid(9, 3) == normal.mid(9, 3));
            break;
        case Fault::None:
            QFAIL("not a fault");
            break;
        }
        QCOMPARE(client.exchange(1, instruction::Ping), normal);
    }

    // Protocol 1 is the AX-12's only; on one line, each servo answers at its own rate in its own protocol.
    void protocolChoice_data()
    {
        QTest::addColumn<Model>("model");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("problem");
        QTest::newRow("AX-12, protocol 1") << Model::Ax12 << 1 << QString();
        QTest::newRow("V1, protocol 1") << Model::V1 << 1 << "AX-12 only";
        QTest::newRow("protocol 3") << Model::Ax12 << 3 << "neither 1 nor 2";
    }
    void protocolChoice()
    {
        QFETCH(Model, model);
        QFETCH(int, protocol);
        QFETCH(QString, problem);
        const QStringList args{"--quiet", "--model", model == Model::V1 ? "v1" : "ax12", "--protocol",
                               QString::number(protocol)};
        QProcess program;
        program.start(QStringLiteral(VSM_SIMULATOR_PATH), args);
        QVERIFY(program.waitForStarted());
        Options options = busOptions({1}, 57600);
        options.model = model;
        options.protocol = protocol;
        ServoSimulator simulator(options);
        QString error;
        QCOMPARE(simulator.start(&error), problem.isEmpty());
        if (!problem.isEmpty()) {
            QVERIFY2(error.contains(problem), qPrintable(error));
            QVERIFY(program.waitForFinished(5000));
            QCOMPARE(program.exitCode(), 2);
            QVERIFY(program.readAllStandardError().contains("--protocol"));
            return;
        }
        QVERIFY(simulator.plugServo(3, 1000000, Model::V1, 2));
        QVERIFY(!simulator.plugServo(4, 0, Model::V1)); // the options' protocol 1
        Client client;
        client.protocol = 1;
        QVERIFY(client.open(simulator.devicePath(), 57600));
        QElapsedTimer timer;
        timer.start();
        const QList<QByteArray> read =
            packets(client.exchange(1, instruction::Read, QByteArray::fromHex("0032")), 1);
        // 8 + 56 bytes at 57600 baud, plus the 500 µs return delay.
        QVERIFY2(timer.nsecsElapsed() / 1000 >= lineTimeUs(8 + 56, 57600) + 500,
                 qPrintable(QString::number(timer.nsecsElapsed() / 1000)));
        QCOMPARE(read.size(), 1);
        QVERIFY(crcValid(read.first()));
        QCOMPARE(read.first().mid(5, 36), simulator.registers(1).left(36)); // the settings
        simulator.injectFault(Fault::GarbageBefore);
        const QByteArray late = client.exchange(1, instruction::Ping);
        QVERIFY(late.endsWith(statusPacketP1(1, 0)) && late.indexOf(packetHeaderP1()) == late.size() - 6);
        QVERIFY(client.pingIds(3, 1, 150).isEmpty());
        client.protocol = 2;
        QVERIFY(client.open(simulator.devicePath(), 1000000));
        QCOMPARE(client.pingIds(3), QList<int>{3});
        QTRY_COMPARE_WITH_TIMEOUT(simulator.sentAnswers().size(), 3, 20000);
        QCOMPARE(simulator.sentAnswers().first().protocol, 1);
        QCOMPARE(simulator.sentAnswers().last().protocol, 2);

        QTRY_VERIFY_WITH_TIMEOUT(program.canReadLine(), 20000);
        QVERIFY(client.open(QString::fromLocal8Bit(program.readLine()).trimmed(), 1000000));
        client.protocol = 1;
        QCOMPARE(client.pingIds(1), QList<int>{1});
        program.terminate();
        QVERIFY(program.waitForFinished(5000));
    }

    void answersInPieces_data()
    {
        QTest::addColumn<int>("pieceBytes");
        QTest::addColumn<int>("gapUs");
        QTest::newRow("whole") << 0 << 0;
        QTest::newRow("8 bytes every 1 ms") << 8 << 1000;
        QTest::newRow("5 bytes every 2 ms") << 5 << 2000;
    }
    void answersInPieces()
    {
        QFETCH(int, pieceBytes);
        QFETCH(int, gapUs);
        Options options = busOptions({1}, 1000000, false);
        options.pieceBytes = pieceBytes;
        options.pieceGapUs = gapUs;
        ServoSimulator simulator(options);
        QVERIFY(simulator.start());
        Client client;
        QVERIFY(client.open(simulator.devicePath(), 1000000));
        QElapsedTimer timer;
        timer.start();
        const QByteArray answer = client.exchange(1, instruction::Read, readParams(0, 118));
        // Only the pauses count: without line time the pieces would otherwise come at once.
        const int pieces = pieceBytes > 0 ? (129 + pieceBytes - 1) / pieceBytes : 1;
        QVERIFY2(timer.nsecsElapsed() / 1000 >= qint64(pieces - 1) * gapUs,
                 qPrintable(QString::number(timer.nsecsElapsed() / 1000)));
        QCOMPARE(answer.size(), 129);
        QVERIFY(crcValid(answer));
        QCOMPARE(answer.mid(9, 30), simulator.registers(1).left(30)); // the fixed settings
        QCOMPARE(client.exchange(1, instruction::Ping).size(), 14);   // nothing left over
    }

    void unplugAndPlug()
    {
        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        Options options = busOptions({3}, 1000000);
        options.linkPath = directory.filePath(QStringLiteral("bus"));
        ServoSimulator simulator(options);
        QVERIFY(simulator.start());
        QCOMPARE(QFileInfo(options.linkPath).symLinkTarget(), simulator.devicePath());
        Client client;
        QVERIFY(client.open(simulator.portName(), 1000000));
        QCOMPARE(client.pingIds(3), QList<int>{3});

        QList<QSerialPort::SerialPortError> errors;
        QObject::connect(&client.port, &QSerialPort::errorOccurred,
                         [&errors](QSerialPort::SerialPortError error) { errors.append(error); });
        simulator.unplug();
        QTRY_VERIFY_WITH_TIMEOUT(
            errors.contains(QSerialPort::ResourceError) || errors.contains(QSerialPort::ReadError), 20000);
        QVERIFY(!QFileInfo(options.linkPath).isSymLink());

        QVERIFY(simulator.plug());
        QCOMPARE(QFileInfo(options.linkPath).symLinkTarget(), simulator.devicePath());
        QVERIFY(client.open(simulator.portName(), 1000000));
        QCOMPARE(client.pingIds(3), QList<int>{3});
        simulator.stop();
        QVERIFY(!QFileInfo(options.linkPath).isSymLink());
    }

    // Servo 2's answer waits on the 9600-baud line behind servo 1's whole table when 2 is pulled: it
    // never comes, 1's does, and a new servo 2 starts at the bus's rate.
    void unplugServoWhileAnswering_data()
    {
        QTest::addColumn<quint8>("code");
        QTest::addColumn<QByteArray>("params");
        QTest::newRow("read") << instruction::Read << readParams(0, 118);
        QTest::newRow("baud switch") << instruction::Write << QByteArray::fromHex("040010"); // 115200
    }
    void unplugServoWhileAnswering()
    {
        QFETCH(quint8, code);
        QFETCH(QByteArray, params);
        ServoSimulator simulator(busOptions({1, 2}, 9600));
        QVERIFY(simulator.start());
        Client client;
        QVERIFY(client.open(simulator.devicePath(), 9600));
        client.port.write(instructionPacket(1, instruction::Read, readParams(0, 118)) +
                          instructionPacket(2, code, params));
        QVERIFY(client.port.waitForBytesWritten(100));
        QVERIFY(QTest::qWaitFor([&simulator] { return simulator.packetsReceived() == 2; }, 20000));
        QVERIFY(simulator.unplugServo(2));
        QVERIFY(!simulator.unplugServo(2));
        QCOMPARE(simulator.servoIds(), QList<int>{1});

        const QList<QByteArray> answers = packets(client.collect(2, 600));
        QCOMPARE(answers.size(), 1);
        QCOMPARE(answers.first().size(), 129);
        QTRY_COMPARE_WITH_TIMEOUT(simulator.sentAnswers().size(), 2, 20000);
        QCOMPARE(simulator.packetsAnswered(), 1);
        QCOMPARE(client.pingIds(BroadcastId, 2, 300), QList<int>{1});
        QVERIFY(simulator.plugServo(2));
        QCOMPARE(client.pingIds(BroadcastId, 2), QList<int>({1, 2}));
    }

    void program()
    {
        const QString path = QStringLiteral(VSM_SIMULATOR_PATH);
        QVERIFY2(QFileInfo(path).isExecutable(), qPrintable(path + " is missing: build velkora-servo-sim"));
        QTemporaryDir directory;
        const QString link = directory.filePath(QStringLiteral("velkora-sim"));
        QProcess process;
        process.start(path, {"--link", link, "--id", "1,5", "--baud", "57600", "--quiet", "--pieces", "4",
                             "--piece-gap", "0.5"});
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 20000);
        const QString device = QString::fromLocal8Bit(process.readLine()).trimmed();
        QVERIFY(device.startsWith(QLatin1String("/dev/pts/")));
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 20000);
        QCOMPARE(QString::fromLocal8Bit(process.readLine()).trimmed(), link);

        process.write("unplug 1\n"); // not read without --control

        Client client;
        QVERIFY(client.open(link, 57600));
        QCOMPARE(client.pingIds(BroadcastId, 2, 1000), QList<int>({1, 5}));
        QVERIFY(client.open(link, 115200));
        QVERIFY(client.pingIds(BroadcastId, 2, 150).isEmpty());
        client.port.close();

        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    // --model plays a description given as a file or by a name of the --models folders; one it cannot
    // find or a protocol it does not speak is a bad command line.
    void programPlaysDescription_data()
    {
        QTest::addColumn<QStringList>("args"); // DIR: the folder holding madeup.json
        QTest::addColumn<QString>("problem");
        QTest::addColumn<int>("protocol"); // what the servos then speak
        QTest::newRow("file") << QStringList{"--model", "DIR/madeup.json"} << QString() << 2;
        QTest::newRow("name in --models") << QStringList{"--models", "DIR", "--model", "madeup"} << QString()
                                          << 2;
        QTest::newRow("its only protocol by default")
            << QStringList{"--model", "DIR/p1/madeup.json"} << QString() << 1;
        QTest::newRow("unknown name") << QStringList{"--models", "DIR", "--model", "nosuch"} << "nosuch" << 0;
        QTest::newRow("missing file") << QStringList{"--model", "DIR/none.json"} << "none.json" << 0;
        QTest::newRow("protocol it does not speak")
            << QStringList{"--model", "DIR/madeup.json", "--protocol", "1"} << "--protocol 1" << 0;
        QTest::newRow("protocol the second model does not speak")
            << QStringList{"--model", "ax12", "--model", "DIR/madeup.json", "--protocol", "1"}
            << "--protocol 1: model madeup" << 0;
        QTest::newRow("feetech, not spoken")
            << QStringList{"--model", "DIR/madeup.json", "--protocol", "feetech"}
            << "--protocol feetech: model madeup speaks protocol 2 only" << 0;
        QTest::newRow("two --id for one model")
            << QStringList{"--model", "DIR/madeup.json", "--id", "3"} << "--id 3 and --id 1,2" << 0;
    }
    void programPlaysDescription()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, problem);
        QFETCH(int, protocol);
        QTemporaryDir directory;
        QVERIFY(madeup::writeDescription(directory.filePath(QStringLiteral("madeup.json"))));
        // Outside the folder of --models: the same model in another protocol.
        QVERIFY(QDir(directory.path()).mkdir(QStringLiteral("p1")));
        QVERIFY(madeup::writeDescription(directory.filePath(QStringLiteral("p1/madeup.json")), false, 1));
        args.replaceInStrings(QStringLiteral("DIR"), directory.path());
        QProcess process;
        process.start(QStringLiteral(VSM_SIMULATOR_PATH),
                      args + QStringList{"--id", "1,2", "--baud", "57600", "--quiet"});
        QVERIFY(process.waitForStarted());
        if (!problem.isEmpty()) {
            QVERIFY(process.waitForFinished(20000));
            QCOMPARE(process.exitCode(), 2);
            const QString error = QString::fromLocal8Bit(process.readAllStandardError());
            QVERIFY2(error.contains(problem), qPrintable(error));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 20000);
        const QString device = QString::fromLocal8Bit(process.readLine()).trimmed();
        Client client;
        client.protocol = protocol;
        QVERIFY(client.open(device, 57600));
        // Protocol 1 servos answer no broadcast.
        for (int id : {1, 2})
            QCOMPARE(client.pingIds(quint8(id), 1, 2000), QList<int>{id});
        const QList<QByteArray> read = packets(
            client.exchange(2, instruction::Read, protocol == 1 ? QByteArray::fromHex("0003") : readParams(0, 3)),
            protocol);
        QCOMPARE(read.size(), 1);
        QVERIFY(crcValid(read.first()));
        QCOMPARE(read.first().mid(protocol == 1 ? 5 : 9, 3), QByteArray::fromHex("921007")); // 4242, firmware 7
        client.port.close();
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 0);
    }

    // Each --model adds servos at the --id after it (an --id before any --model is the first model's):
    // every servo answers with its own model number, --hw-error reaches them all, and plug takes a model
    // and that model's rates only.
    void programSeveralModels()
    {
        const QString xFile = QStringLiteral(VSM_TEST_DATA "/xseries-test.json");
        QProcess process;
        process.start(QStringLiteral(VSM_SIMULATOR_PATH),
                      {"--id", "2", "--model", "v1", "--model", xFile, "--id", "1,3", "--hw-error", "0x04",
                       "--quiet", "--control"});
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 20000);
        const QString device = QString::fromLocal8Bit(process.readLine()).trimmed();
        const auto command = [&process](const QByteArray& line) { return controlCommand(process, line); };
        Client client;
        QVERIFY(client.open(device, 1000000));
        const auto ping = [&client](quint8 id) {
            const QList<QByteArray> answers = packets(client.exchange(id, instruction::Ping, {}, 1, 2000));
            return answers.size() == 1 ? answers.first().mid(8, 4).toHex() : QByteArray("no answer");
        };
        // Error byte with the alert bit, model number, firmware.
        QCOMPARE(ping(1), QByteArray("8024042e"));
        QCOMPARE(ping(2), QByteArray("80010403"));
        QCOMPARE(ping(3), QByteArray("8024042e"));

        const QString wrongRate = command("plug 5 4500000");
        QVERIFY2(wrongRate.startsWith("error: 4500000 baud") &&
                     wrongRate.contains("model v1 (its rates: 9600"),
                 qPrintable(wrongRate));
        QCOMPARE(command("plug 5 4500000 " + xFile.toLocal8Bit()),
                 QStringLiteral("plugged 5 at 4500000 baud"));
        QCOMPARE(command("plug 6 " + xFile.toLocal8Bit()), QStringLiteral("plugged 6 at 1000000 baud"));
        QVERIFY(command("plug 7 1000000 nosuchmodel").startsWith("error: "));
        QCOMPARE(command("list"), QStringLiteral("servos 1,2,3,5,6"));
        QCOMPARE(ping(6), QByteArray("0024042e")); // plugged factory-new: no error bits
        QVERIFY(client.open(device, 4500000));
        QCOMPARE(ping(5), QByteArray("0024042e"));
        // A model of one protocol is plugged speaking it, here beside Protocol 2 servos.
        QTemporaryDir directory;
        QFile feetechFile(directory.filePath(QStringLiteral("feetech-test.json")));
        QVERIFY(feetechFile.open(QIODevice::WriteOnly) && feetechFile.write(feetech::description(false)) > 0);
        feetechFile.close();
        QCOMPARE(command("plug 8 " + feetechFile.fileName().toLocal8Bit()),
                 QStringLiteral("plugged 8 at 1000000 baud"));
        QVERIFY(client.open(device, 1000000));
        client.protocol = 1;
        QCOMPARE(client.pingIds(8, 1, 2000), QList<int>{8});
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 0);
    }

    // --protocol feetech: Protocol 1's packets, asked id by id, and sync read. An id written while the
    // lock is closed lasts until a power cycle; one written between opening the lock and closing it at
    // the new id stays.
    void programFeetech_data()
    {
        QTest::addColumn<bool>("unlock");
        QTest::addColumn<int>("idAfterPowerCycle");
        QTest::newRow("written while locked") << false << 1;
        QTest::newRow("unlocked, written, locked at the new id") << true << 7;
    }
    void programFeetech()
    {
        QFETCH(bool, unlock);
        QFETCH(int, idAfterPowerCycle);
        QTemporaryDir directory;
        QFile file(directory.filePath(QStringLiteral("feetech-test.json")));
        QVERIFY(file.open(QIODevice::WriteOnly) &&
                file.write(feetech::description(false, "\"syncRead\"")) > 0);
        file.close();
        QProcess process;
        process.start(QStringLiteral(VSM_SIMULATOR_PATH), {"--model", file.fileName(), "--protocol",
                                                           "feetech", "--id", "1,2", "--quiet", "--control"});
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 20000);
        const QString device = QString::fromLocal8Bit(process.readLine()).trimmed();
        Client client;
        client.protocol = 1;
        QVERIFY(client.open(device, 1000000));
        QVERIFY(client.pingIds(BroadcastId, 1, 150).isEmpty());
        const QList<QByteArray> read =
            packets(client.exchange(2, instruction::Read, QByteArray::fromHex("0302"), 1, 2000), 1);
        QCOMPARE(read.size(), 1);
        QVERIFY(crcValid(read.first()));
        QCOMPARE(read.first().mid(5, 2).toHex(), QByteArray("2612")); // model number 4646
        const QList<QByteArray> both = packets(
            client.exchange(BroadcastId, instruction::SyncRead, QByteArray::fromHex("05010201"), 2, 2000), 1);
        QCOMPARE(both.size(), 2); // the id register of servo 2, then of servo 1
        QCOMPARE(both.at(0).toHex(), statusPacketP1(2, 0, QByteArray(1, 2)).toHex());
        QCOMPARE(both.at(1).toHex(), statusPacketP1(1, 0, QByteArray(1, 1)).toHex());

        const auto write = [&client](quint8 id, const char* params) {
            return packets(client.exchange(id, instruction::Write, QByteArray::fromHex(params), 1, 2000), 1)
                .size();
        };
        if (unlock)
            QCOMPARE(write(1, "3700"), 1);
        QCOMPARE(write(1, "0507"), 1);
        if (unlock)
            QCOMPARE(write(7, "3701"), 1);
        QCOMPARE(client.pingIds(7, 1, 2000), QList<int>{7});
        QCOMPARE(controlCommand(process, "power-cycle"), QStringLiteral("power cycled"));
        QCOMPARE(client.pingIds(quint8(idAfterPowerCycle), 1, 2000), QList<int>{idAfterPowerCycle});
        QVERIFY(client.pingIds(unlock ? 1 : 7, 1, 150).isEmpty());
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 0);
    }

    // --control: commands on standard input, one answer line each; the end of input leaves the
    // simulator running.
    void programControl()
    {
        QProcess process;
        process.start(QStringLiteral(VSM_SIMULATOR_PATH), {"--id", "3", "--quiet", "--control"});
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 20000);
        const QString device = QString::fromLocal8Bit(process.readLine()).trimmed();
        const auto command = [&process](const QByteArray& line) { return controlCommand(process, line); };
        QCOMPARE(command("plug 1"), QStringLiteral("plugged 1 at 1000000 baud"));
        QCOMPARE(command("  plug 7   57600 "), QStringLiteral("plugged 7 at 57600 baud"));
        QCOMPARE(command("list"), QStringLiteral("servos 1,3,7"));
        Client client;
        QVERIFY(client.open(device, 1000000));
        QCOMPARE(client.pingIds(BroadcastId, 2), QList<int>({1, 3}));
        QCOMPARE(command("unplug 3"), QStringLiteral("unplugged 3"));
        QVERIFY(client.pingIds(3, 1, 150).isEmpty());
        for (const char* bad : {"unplug 3", "plug 253", "plug 1 12345", "plug x", "list 1", "jump"})
            QVERIFY2(command(bad).startsWith(QLatin1String("error: ")), bad);
        process.write("\n");
        QCOMPARE(command("list"), QStringLiteral("servos 1,7"));

        process.closeWriteChannel();
        QVERIFY(!process.waitForFinished(300));
        QCOMPARE(client.pingIds(1), QList<int>{1});
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 0);
    }

    // --config: every servo starts with the file's settings, its id and rate from the command
    // line; a file the simulator cannot take stops it with the reason.
    void programStartsFromAConfiguration_data()
    {
        QTest::addColumn<QByteArray>("values");
        QTest::addColumn<QString>("problem");
        QTest::newRow("settings") << QByteArray(
                                         R"({"temperatureLimit": {"raw": 70, "value": 70, "unit": "°C"},
            "positionProportionalTerm": {"raw": 528}, "id": {"raw": 9}})")
                                  << QString();
        QTest::newRow("a command") << QByteArray(R"({"enableMotor": {"raw": 1}})")
                                   << "\"enableMotor\" is no setting";
        QTest::newRow("no raw value") << QByteArray(R"({"temperatureLimit": {"value": 70, "unit": "°C"}})")
                                      << "\"temperatureLimit\" needs its raw value";
    }

    void programStartsFromAConfiguration()
    {
        QFETCH(QByteArray, values);
        QFETCH(QString, problem);
        QTemporaryDir directory;
        QFile file(directory.filePath(QStringLiteral("joint.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"format": "velkora-servo-configuration", "version": 1,
            "servo": {"id": 9, "baudRate": 1000000, "modelNumber": 1025, "firmware": 3}, "values": )" +
                   values + "}");
        file.close();
        const QString link = directory.filePath(QStringLiteral("velkora-sim"));
        QProcess process;
        process.start(QStringLiteral(VSM_SIMULATOR_PATH),
                      {"--link", link, "--id", "3", "--quiet", "--config", file.fileName()});
        QVERIFY(process.waitForStarted());
        if (!problem.isEmpty()) {
            QVERIFY(process.waitForFinished(5000));
            QCOMPARE(process.exitCode(), 1);
            const QString error = QString::fromUtf8(process.readAllStandardError());
            QVERIFY2(error.contains("joint.json: " + problem), qPrintable(error));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 20000);
        process.readLine();
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 20000);
        Client client;
        QVERIFY(client.open(link, 1000000));
        const QList<QByteArray> answers = packets(client.exchange(3, instruction::Read, readParams(0, 60)));
        QCOMPARE(answers.size(), 1);
        const QByteArray table = answers.first().mid(9, 60);
        QCOMPARE(int(quint8(table.at(11))), 70);
        QCOMPARE(tableU16(table, 54), 528);
        QCOMPARE(int(table.at(3)), 3); // the command line's id, not the file's
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
    }
};

QTEST_GUILESS_MAIN(TestServoSimulator)
#include "tst_servosimulator.moc"
