#include "core/traffic/busstatistics.h"
#include "core/traffic/trafficmodel.h"
#include "core/transport/serialhelper.h"
#include "window/docks/trafficdock.h"

#include <answerdelivery.h>
#include <connectedwindow.h>
#include <ptypair.h>

#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using servosim::Fault;

Q_DECLARE_METATYPE(BusProtocol)
Q_DECLARE_METATYPE(TrafficOutcome)
Q_DECLARE_METATYPE(TrafficPacket::Checksum)
Q_DECLARE_METATYPE(TrafficModel::Filter)

namespace {

constexpr uint8_t servoId = 1;

std::vector<TrafficPacket> packetsOf(const TrafficLog& log)
{
    std::vector<TrafficPacket> packets;
    for (quint64 seq = log.firstSeq(); seq < log.endSeq(); ++seq)
        packets.push_back(log.at(seq));
    return packets;
}

// A Protocol 2 read request of `length` bytes at `address`, checksum and all.
QByteArray readRequest(uint8_t id, uint8_t address, uint8_t length)
{
    QByteArray packet = QByteArray::fromHex("fffffd00");
    packet.append(char(id)).append(char(7)).append('\0').append(char(0x02));
    packet.append(char(address)).append('\0').append(char(length)).append('\0');
    const uint16_t crc =
        StatusPacketFramer::crc16(reinterpret_cast<const uint8_t*>(packet.constData()), packet.size());
    return packet.append(char(crc & 0xFF)).append(char(crc >> 8));
}

QByteArray status(uint8_t id, uint8_t error)
{
    QByteArray packet = QByteArray::fromHex("fffffd00");
    packet.append(char(id)).append(char(4)).append('\0').append(char(0x55)).append(char(error));
    const uint16_t crc =
        StatusPacketFramer::crc16(reinterpret_cast<const uint8_t*>(packet.constData()), packet.size());
    return packet.append(char(crc & 0xFF)).append(char(crc >> 8));
}

} // namespace

class TestTraffic : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::shared_ptr<SerialHelper> _serial;
    std::unique_ptr<TrafficModel> _model;
    std::unique_ptr<QAbstractItemModelTester> _modelTester; // every row change announced as made

    void startSimulator(BusProtocol protocol, const AnswerDelivery& delivery = {})
    {
        servosim::Options options = deliveredAs(delivery);
        options.model = protocol == BusProtocol::One ? servosim::Model::Ax12 : servosim::Model::V1;
        options.protocol = static_cast<int>(protocol);
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
        _serial = std::make_shared<SerialHelper>();
        _serial->setProtocol(protocol);
        QCOMPARE(_serial->openSerialPort(_sim->portName(), options.baudRate), QString());
        _serial->setTrafficRecorder(_model->recorder());
    }

private slots:
    void init()
    {
        _model = std::make_unique<TrafficModel>();
        _modelTester = std::make_unique<QAbstractItemModelTester>(
            _model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    }

    void cleanup()
    {
        _modelTester.reset();
        _serial.reset();
        _sim.reset();
        _model.reset();
    }

    void runRecordsEveryPacketOnceInOrder_data()
    {
        QTest::addColumn<BusProtocol>("protocol");
        QTest::addColumn<AnswerDelivery>("delivery");
        QTest::addColumn<QList<Fault>>("faults");
        const QList<Fault> breaking{Fault::NoAnswer, Fault::BadCrc, Fault::Truncated, Fault::WrongId};
        for (const AnswerDelivery& delivery : answerDeliveries()) {
            QTest::newRow(deliveryTag("Protocol 2", delivery))
                << BusProtocol::Two << delivery << breaking + QList<Fault>{Fault::GarbageBefore};
        }
        QTest::newRow("Protocol 2, split answers")
            << BusProtocol::Two << AnswerDelivery{} << QList<Fault>{Fault::Split};
        QTest::newRow("Protocol 1") << BusProtocol::One << AnswerDelivery{}
                                    << breaking + QList<Fault>{Fault::GarbageBefore};
    }

    void runRecordsEveryPacketOnceInOrder()
    {
        QFETCH(BusProtocol, protocol);
        QFETCH(AnswerDelivery, delivery);
        QFETCH(QList<Fault>, faults);
        startSimulator(protocol, delivery);
        _sim->setFaultRate(0.3, faults);
        constexpr int transactions = 60;
        QList<TrafficOutcome> reported;
        std::function<void()> next = [&] {
            if (reported.size() < transactions)
                QVERIFY(_serial->readData(
                    servoId, 0, 4,
                    [&](QByteArray) {
                        reported << TrafficOutcome::Answered;
                        next();
                    },
                    [&](FailureKind kind, const RequestInfo&, uint8_t) {
                        reported << trafficOutcomeOf(kind);
                        next();
                    }));
        };
        next();
        QTRY_COMPARE_WITH_TIMEOUT(reported.size(), transactions, 20000);

        const std::vector<TrafficPacket> packets = packetsOf(_model->log());
        const QList<servosim::SentAnswer> answers = _sim->sentAnswers();
        QCOMPARE(answers.size(), transactions);
        int transaction = -1;
        QList<QByteArray> groupBytes; // the received rows of each transaction, in order
        for (const TrafficPacket& packet : packets) {
            QVERIFY2(packet.outcome != TrafficOutcome::Outside,
                     qPrintable(packet.text(TrafficColumn::Bytes)));
            if (!packet.received) {
                ++transaction;
                QVERIFY(transaction < transactions);
                QCOMPARE(packet.toByteArray().toHex(' '), answers.at(transaction).request.raw.toHex(' '));
                groupBytes << QByteArray();
            } else {
                QVERIFY(transaction >= 0);
                groupBytes[transaction] += packet.toByteArray();
            }
            QCOMPARE(packet.outcome, reported.at(transaction));
        }
        QCOMPARE(transaction + 1, transactions);
        for (int i = 0; i < transactions; ++i) {
            const servosim::SentAnswer& answer = answers.at(i);
            const QByteArray& got = groupBytes.at(i);
            switch (answer.fault) {
            case Fault::NoAnswer:
                QVERIFY(got.isEmpty());
                break;
            case Fault::Truncated:
                QVERIFY(!got.isEmpty() && got.size() < answer.packet.size() && answer.packet.startsWith(got));
                break;
            case Fault::BadCrc:
                QCOMPARE(got.size(), answer.packet.size());
                QCOMPARE(got.left(got.size() - 2), answer.packet.left(got.size() - 2));
                break;
            case Fault::GarbageBefore:
                QVERIFY(got.endsWith(answer.packet) && got.size() > answer.packet.size());
                break;
            default:
                QCOMPARE(got.toHex(' '), answer.packet.toHex(' '));
            }
        }
        // Whole answers are one row with a good checksum; spoilt ones never look good.
        transaction = -1;
        for (const TrafficPacket& packet : packets) {
            transaction += packet.received ? 0 : 1;
            const servosim::SentAnswer& answer = answers.at(transaction);
            if (!packet.received || packet.kind() == TrafficPacket::Kind::Stray)
                continue;
            const bool spoilt = answer.fault == Fault::BadCrc || answer.fault == Fault::Truncated;
            QCOMPARE(packet.checksum() == TrafficPacket::Checksum::Good, !spoilt);
            if (!spoilt)
                QCOMPARE(packet.toByteArray(), answer.packet);
        }
    }

    void singleFaultShownAsJudged_data()
    {
        QTest::addColumn<BusProtocol>("protocol");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("errorByte"); // as the servo sends it
        QTest::addColumn<TrafficOutcome>("requestOutcome");
        QTest::addColumn<TrafficOutcome>("answerOutcome");
        QTest::addColumn<TrafficPacket::Checksum>("checksum");
        QTest::addColumn<int>("answerId");
        QTest::addColumn<QString>("errorText");
        for (BusProtocol protocol : {BusProtocol::Two, BusProtocol::One}) {
            const QByteArray p = protocol == BusProtocol::One ? ", Protocol 1" : ", Protocol 2";
            const QString noError = servoErrorText(0);
            QTest::newRow("corrupt" + p)
                << protocol << Fault::BadCrc << 0 << TrafficOutcome::Corrupt << TrafficOutcome::Corrupt
                << TrafficPacket::Checksum::Bad << 1 << noError;
            QTest::newRow("late" + p)
                << protocol << Fault::Delayed << 0 << TrafficOutcome::NoAnswer << TrafficOutcome::Outside
                << TrafficPacket::Checksum::Good << 1 << noError;
            QTest::newRow("another servo" + p)
                << protocol << Fault::WrongId << 0 << TrafficOutcome::WrongId << TrafficOutcome::WrongId
                << TrafficPacket::Checksum::Good << 2 << noError;
            // Protocol 1 flags a range error with 0x08; the program reads it as error number 4.
            QTest::newRow("write refused" + p)
                << protocol << Fault::ErrorByte << (protocol == BusProtocol::One ? 0x08 : 0x04)
                << TrafficOutcome::Refused << TrafficOutcome::Refused << TrafficPacket::Checksum::Good << 1
                << servoErrorText(0x04);
        }
    }

    void singleFaultShownAsJudged()
    {
        QFETCH(BusProtocol, protocol);
        QFETCH(Fault, fault);
        QFETCH(int, errorByte);
        QFETCH(TrafficOutcome, requestOutcome);
        QFETCH(TrafficOutcome, answerOutcome);
        QFETCH(TrafficPacket::Checksum, checksum);
        QFETCH(int, answerId);
        QFETCH(QString, errorText);
        startSimulator(protocol);
        _sim->injectFault(fault, 1, quint8(errorByte));
        if (fault == Fault::ErrorByte)
            QVERIFY(_serial->writeData(servoId, 25, QByteArray(1, 1), {}));
        else
            QVERIFY(_serial->readData(servoId, 0, 4, {}));
        // The late answer comes with no request after it: it is read as it arrives.
        QTRY_COMPARE_WITH_TIMEOUT(_model->log().size(), 2, 20000);
        QVERIFY(!_serial->isBusy());
        const std::vector<TrafficPacket> packets = packetsOf(_model->log());
        QVERIFY(!packets[0].received);
        QCOMPARE(packets[0].outcome, requestOutcome);
        QCOMPARE(packets[0].instruction(), fault == Fault::ErrorByte ? 0x03 : 0x02);
        QCOMPARE(packets[0].checksum(), TrafficPacket::Checksum::Good);
        QVERIFY(packets[1].received);
        QCOMPARE(packets[1].outcome, answerOutcome);
        QCOMPARE(packets[1].checksum(), checksum);
        QCOMPARE(packets[1].id(), answerId);
        QCOMPARE(packets[1].text(TrafficColumn::Error), errorText);
        QVERIFY(packets[1].timeUs > packets[0].timeUs);
    }

    // Without a transaction open: what another master, a late answer or noise puts on the line.
    void bytesBetweenTransactionsAreReadAsTheyCome()
    {
        PtyPair pty;
        QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
        SerialHelper serial;
        QCOMPARE(serial.openSerialPort(pty.slavePath(), 1000000), QString());
        serial.setTrafficRecorder(_model->recorder());
        const QByteArray request = readRequest(3, 132, 4);
        QVERIFY(pty.write(QByteArray("\x12\x34", 2) + request + request.left(5)));
        QTRY_COMPARE_WITH_TIMEOUT(_model->log().size(), 2, 20000); // the noise and the other master's read
        QVERIFY(pty.write(request.mid(5)));                        // the rest of the second one
        QTRY_COMPARE_WITH_TIMEOUT(_model->log().size(), 3, 20000);
        const std::vector<TrafficPacket> packets = packetsOf(_model->log());
        QCOMPARE(packets[0].kind(), TrafficPacket::Kind::Stray);
        for (int i = 1; i < 3; ++i) {
            QCOMPARE(packets[i].toByteArray(), request);
            QCOMPARE(packets[i].text(TrafficColumn::Instruction), QStringLiteral("read"));
            QCOMPARE(packets[i].address(), 132);
            QCOMPARE(packets[i].length(), 4);
        }
        for (const TrafficPacket& packet : packets)
            QVERIFY(packet.received && packet.outcome == TrafficOutcome::Outside);
        // A header that never completes is shown as it is once the line stays quiet.
        QVERIFY(pty.write(request.left(9)));
        QTRY_COMPARE_WITH_TIMEOUT(_model->log().size(), 4, 20000);
        QCOMPARE(_model->log().at(_model->log().endSeq() - 1).checksum(), TrafficPacket::Checksum::Short);
    }

    void ringKeepsTheLastPackets_data()
    {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<int>("packets");
        QTest::addColumn<bool>("paused");
        QTest::addColumn<TrafficModel::Filter>("filter");
        QTest::addColumn<QList<int>>("addresses"); // of the rows shown
        TrafficModel::Filter failures;
        failures.failuresOnly = true;
        TrafficModel::Filter id3;
        id3.id = 3;
        QTest::newRow("fewer than room") << 5 << 3 << false << TrafficModel::Filter() << QList<int>{0, 1, 2};
        QTest::newRow("exactly full")
            << 5 << 5 << false << TrafficModel::Filter() << QList<int>{0, 1, 2, 3, 4};
        QTest::newRow("wrapped past a row shown")
            << 5 << 6 << false << TrafficModel::Filter() << QList<int>{1, 2, 3, 4, 5};
        QTest::newRow("wrapped twice")
            << 5 << 12 << false << TrafficModel::Filter() << QList<int>{7, 8, 9, 10, 11};
        QTest::newRow("room for one") << 1 << 4 << false << TrafficModel::Filter() << QList<int>{3};
        QTest::newRow("wrapped while paused")
            << 5 << 12 << true << TrafficModel::Filter() << QList<int>{7, 8, 9, 10, 11};
        // Every third request fails, every fourth goes to id 3.
        QTest::newRow("only failures") << 5 << 12 << false << failures << QList<int>{9};
        QTest::newRow("one id, paused") << 6 << 13 << true << id3 << QList<int>{8, 12};
    }

    void ringKeepsTheLastPackets()
    {
        QFETCH(int, capacity);
        QFETCH(int, packets);
        QFETCH(bool, paused);
        QFETCH(TrafficModel::Filter, filter);
        QFETCH(QList<int>, addresses);
        _model->setCapacity(capacity);
        _model->setFilter(filter);
        _model->setHeld(paused);
        TrafficRecorder* recorder = _model->recorder();
        for (int i = 0; i < packets; ++i) {
            recorder->requestSent(BusProtocol::Two, readRequest(i % 4 == 0 ? 3 : 1, uint8_t(i), 4));
            recorder->transactionEnded(i % 3 == 0 ? TrafficOutcome::NoAnswer : TrafficOutcome::Answered);
            if (i == 1)
                _model->flush(); // rows shown early are dropped from the table with their packets
        }
        _model->flush();
        QCOMPARE(_model->log().size(), std::min(capacity, packets));
        QCOMPARE(_model->log().dropped(), quint64(std::max(0, packets - capacity)));
        if (paused) {
            QCOMPARE(_model->rowCount(), 0);
            _model->setHeld(false);
        }
        QList<int> shown;
        for (int row = 0; row < _model->rowCount(); ++row)
            shown << _model->text(row, TrafficColumn::Address).toInt();
        QCOMPARE(shown, addresses);
    }

    void saveWritesWhatTheTableShows_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("idFilter");
        QTest::newRow("text") << "traffic.txt" << -1;
        QTest::newRow("csv") << "traffic.csv" << -1;
        QTest::newRow("csv, one id") << "traffic.csv" << 2;
    }

    void saveWritesWhatTheTableShows()
    {
        QFETCH(QString, name);
        QFETCH(int, idFilter);
        TrafficRecorder* recorder = _model->recorder();
        for (uint8_t id = 1; id <= 3; ++id) {
            recorder->requestSent(BusProtocol::Two, readRequest(id, 10, 2));
            recorder->received(BusProtocol::Two, QByteArray("\x01\x02", 2) + status(id, uint8_t(0x80 | id)));
            recorder->transactionEnded(TrafficOutcome::Refused);
        }
        TrafficModel::Filter filter;
        filter.id = idFilter;
        _model->setFilter(filter);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        QSignalSpy saved(_model.get(), &TrafficModel::saved);
        QVERIFY(_model->save(path,
                             name.endsWith(".csv") ? TrafficModel::Format::Csv : TrafficModel::Format::Text));
        QVERIFY(saved.wait(20000));
        QCOMPARE(saved.first().at(1).toString(), QString());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), _model->rowCount() + 1);
        QCOMPARE(_model->rowCount(), idFilter < 0 ? 9 : 3);
        const QChar separator = name.endsWith(".csv") ? ',' : '\t';
        QCOMPARE(lines.first().split(separator).first(), trafficColumnTitle(TrafficColumn::Time));
        for (int row = 0; row < _model->rowCount(); ++row) {
            const QStringList fields = lines.at(row + 1).split(separator);
            QCOMPARE(fields.size(), int(TrafficColumn::Count));
            for (int column = 0; column < fields.size(); ++column)
                QCOMPARE(fields.at(column), _model->text(row, static_cast<TrafficColumn>(column)));
        }
    }

    // The window: nothing recorded before the dock is opened; then it follows, pauses, saves.
    void dockRecordsOnceOpened()
    {
        IsolatedSettings home;
        std::unique_ptr<MainWindow> window;
        testfixture::openConnected(home, servosim::Model::V1, {}, 1, 20, _sim, window);
        auto* dock = window->findChild<TrafficDock*>(QStringLiteral("trafficDock"));
        QVERIFY(dock);
        QTRY_VERIFY_WITH_TIMEOUT(window->scheduler()->statistics().polls() > 3, 20000);
        QVERIFY(!window->serialHelper()->trafficRecorder());

        dock->toggleViewAction()->trigger();
        QVERIFY(dock->isRecording());
        TrafficTableView* table = dock->table();
        QCOMPARE(table->objectName(), QStringLiteral("trafficTable"));
        QTRY_VERIFY_WITH_TIMEOUT(table->model()->rowCount() > 20, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(table->verticalScrollBar()->maximum() > 0, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(table->verticalScrollBar()->value(), table->verticalScrollBar()->maximum(),
                                  20000);
        // A shorter table (another dock beside it, say) still follows; scrolled up, it stays.
        QScrollBar* bar = table->verticalScrollBar();
        dock->setFloating(true);
        dock->resize(dock->width(), dock->height() / 2);
        int rows = table->model()->rowCount();
        QTRY_VERIFY_WITH_TIMEOUT(table->model()->rowCount() > rows + 4, 20000);
        QCOMPARE(bar->value(), bar->maximum());
        bar->setValue(bar->maximum() / 2);
        const int scrolledTo = bar->value();
        rows = table->model()->rowCount();
        QTRY_VERIFY_WITH_TIMEOUT(table->model()->rowCount() > rows + 4, 20000);
        QCOMPARE(bar->value(), scrolledTo);
        bar->setValue(bar->maximum());

        auto* pause = dock->findChild<QPushButton*>(QStringLiteral("trafficPauseButton"));
        pause->click();
        const int rowsPaused = table->model()->rowCount();
        const quint64 keptPaused = dock->model()->log().endSeq();
        QTRY_VERIFY_WITH_TIMEOUT(dock->model()->log().endSeq() > keptPaused + 10, 20000);
        QCOMPARE(table->model()->rowCount(), rowsPaused);
        pause->click();
        QVERIFY(table->model()->rowCount() >= rowsPaused + 10);

        dock->findChild<QCheckBox*>(QStringLiteral("trafficFailuresOnlyCheckBox"))->setChecked(true);
        for (int row = 0; row < table->model()->rowCount(); ++row)
            QVERIFY(dock->model()->text(row, TrafficColumn::Outcome) !=
                    trafficOutcomeText(TrafficOutcome::Answered));

        // A file that cannot be written: said so, and nothing of the log is lost.
        const int kept = dock->model()->log().size();
        dock->saveTo(home.path() + "/missing/traffic.txt");
        QTRY_VERIFY_WITH_TIMEOUT(window->findChild<QMessageBox*>(), 20000);
        QVERIFY(window->findChild<QMessageBox*>()->text().contains("missing"));
        QVERIFY(dock->model()->log().size() >= kept);

        dock->findChild<QPushButton*>(QStringLiteral("trafficClearButton"))->click();
        QVERIFY(dock->model()->log().size() < kept);
    }
};

QTEST_MAIN(TestTraffic)
#include "tst_traffic.moc"
