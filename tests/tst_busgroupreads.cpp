// The Bus table's rows read between the connected servo's polls, several servos in one request
// where their models answer it, on simulated servos on a pseudo-terminal: rows follow the servos,
// a silent one is marked alone, and no servo is sent a read its description does not list.
#include "core/jobs/busroster.h"
#include "core/model/fieldcatalogue.h"
#include "core/model/multiread.h"
#include "core/session/uischeduler.h"
#include "core/transport/serialhelper.h"
#include "window/controllers/windowdevicehelper.h"
#include "window/editview/uiregisterhelper.h"

#include <isolatedsettings.h>
#include <servosimulator.h>
#include <testmodels.h>

#include <QtTest>

#include <map>

namespace {

constexpr int timeoutMs = 20000;

QStringList times(int count, const QString& model)
{
    QStringList models;
    for (int i = 0; i < count; ++i)
        models << model;
    return models;
}

// The ids a multi-servo read's parameters address.
QList<int> addressedIds(const servosim::ReceivedPacket& packet)
{
    QList<int> ids;
    const bool bulk = packet.instruction == 0x92 || packet.instruction == 0x9A;
    const int first = bulk ? 0 : (packet.protocol == 2 ? 4 : 2); // past the address and length
    for (int at = first; at < packet.params.size(); at += bulk ? 5 : 1)
        ids << uint8_t(packet.params.at(at));
    return ids;
}

std::optional<MultiReadKind> kindOf(quint8 instruction)
{
    static const QHash<int, MultiReadKind> kinds{{0x82, MultiReadKind::SyncRead},
                                                 {0x8A, MultiReadKind::FastSyncRead},
                                                 {0x92, MultiReadKind::BulkRead},
                                                 {0x9A, MultiReadKind::FastBulkRead}};
    return kinds.contains(instruction) ? std::optional<MultiReadKind>(kinds.value(instruction))
                                       : std::nullopt;
}

} // namespace

class TestBusGroupReads : public QObject
{
    Q_OBJECT

    IsolatedSettings _home;
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::shared_ptr<SerialHelper> _serial;
    std::unique_ptr<UiScheduler> _scheduler;
    std::unique_ptr<BusRoster> _roster;
    std::map<int, std::shared_ptr<const ModelDescription>> _models; // by id

    // Servo 1 connected, polled every 20 ms, the others listed in the bus table; ids from 1 on, one
    // a model, all speaking `protocol`.
    void connect(const QStringList& models, int protocol)
    {
        servosim::Options options;
        options.protocol = protocol;
        options.moreGroups.clear();
        for (int i = 0; i < models.size(); ++i) {
            _models[i + 1] = builtInModel(qPrintable(models.at(i)));
            QVERIFY(_models[i + 1]);
            if (i == 0)
                options.description = _models[1];
            else
                options.moreGroups.append({{i + 1}, servosim::Model::V1, _models[i + 1]});
        }
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
        _serial = std::make_shared<SerialHelper>();
        _serial->setProtocol(BusProtocol(protocol));
        QCOMPARE(_serial->openSerialPort(_sim->devicePath(), 1000000), QString());
        bool identified = false;
        WindowDeviceHelper::getInstance(_serial, [&identified] {
            identified = true;
        })->triggerDeviceInfoRead(1);
        QVERIFY(QTest::qWaitFor([&identified] { return identified; }, timeoutMs));
        _scheduler = std::make_unique<UiScheduler>(1, _serial, WindowDeviceHelper::getInstance());
        _roster = std::make_unique<BusRoster>();
        _roster->setAssumedProtocol(protocol); // as the window does
        for (int id = 2; id <= models.size(); ++id)
            _roster->add(id, 1000000);
        _scheduler->setBusRoster(_roster.get());
        _scheduler->startScheduler(20);
    }

    // The bytes of the present position (they also lie in the span the table reads).
    std::pair<int, int> positionOf(int id) const
    {
        const FieldCatalogue catalogue{DescribedDevice(_models.at(id))};
        const FieldRecord* position = catalogue.byRole(QStringLiteral("presentPosition"));
        return position ? std::pair<int, int>{position->address, position->size} : std::pair<int, int>{0, 0};
    }

    // Every servo a position of its own, so values handed to the wrong row show.
    void movePositions(int step)
    {
        for (const auto& [id, model] : _models) {
            const auto [address, size] = positionOf(id);
            QVERIFY(size > 0);
            _sim->setRegisters(id, address, QByteArray(1, char(id * 16 + step)) + QByteArray(size - 1, '\0'));
        }
    }

    // The row shows the position the servo holds (its other values drift as a real servo's do).
    bool rowMatches(int id) const
    {
        const auto [address, size] = positionOf(id);
        const QByteArray shown = _roster->valuesAt(_roster->rowOf(id)).mid(address, size);
        return _roster->isAnswering(_roster->rowOf(id)) && shown.size() == size &&
               shown == _sim->registers(id).mid(address, size);
    }

    int multiReads() const
    {
        int count = 0;
        for (const servosim::ReceivedPacket& packet : _sim->receivedPackets())
            count += kindOf(packet.instruction) ? 1 : 0;
        return count;
    }

    // Rows other than the connected one's follow their servos.
    void rowsFollow(int step)
    {
        movePositions(step);
        for (const auto& [id, model] : _models) {
            if (id != 1)
                QTRY_VERIFY2_WITH_TIMEOUT(rowMatches(id), qPrintable(QString::number(id)), timeoutMs);
        }
    }

private slots:
    void cleanup()
    {
        _scheduler.reset();
        _roster.reset();
        _serial.reset();
        _sim.reset();
        _models.clear();
        WindowDeviceHelper::_instance.reset();
        UiRegisterHelper::_instance.reset();
    }

    void rowsStayLive_data()
    {
        QTest::addColumn<QStringList>("models"); // ids 1, 2, …; 1 is connected
        QTest::addColumn<int>("protocol");
        QTest::addColumn<bool>("together"); // the others are read several at once
        QTest::addColumn<int>("silenced");  // a servo pulled off the bus halfway; 0: none
        QTest::newRow("six XL430") << times(6, QStringLiteral("xl430")) << 2 << true << 4;
        QTest::newRow("six STS3215, Protocol 1's form")
            << times(6, QStringLiteral("sts3215")) << 3 << true << 4;
        QTest::newRow("XL430s and an XL-320")
            << QStringList{"xl430", "xl430", "xl320", "xl430"} << 2 << true << 0;
        QTest::newRow("an XL430 and a V1") << QStringList{"xl430", "xl430", "v1"} << 2 << false << 0;
    }

    // Every other row follows its servo; where models allow, the rows are read together rather than
    // one request each, and never with an instruction a servo's description does not list. A
    // silent servo shows as silent alone.
    void rowsStayLive()
    {
        QFETCH(QStringList, models);
        QFETCH(int, protocol);
        QFETCH(bool, together);
        QFETCH(int, silenced);
        connect(models, protocol);
        if (QTest::currentTestFailed())
            return;
        rowsFollow(1);
        if (silenced > 0) {
            QVERIFY(_sim->unplugServo(silenced));
            _models.erase(silenced);
            QTRY_VERIFY_WITH_TIMEOUT(!_roster->isAnswering(_roster->rowOf(silenced)), timeoutMs);
        }
        _sim->clearReceived();
        rowsFollow(2);
        if (together)
            QTRY_VERIFY_WITH_TIMEOUT(multiReads() >= 10, timeoutMs);
        rowsFollow(3);
        if (QTest::currentTestFailed())
            return;
        if (silenced > 0)
            QVERIFY(_roster
                        ->data(_roster->index(_roster->rowOf(silenced), BusRoster::LastAnswerColumn),
                               Qt::DisplayRole)
                        .toString()
                        .startsWith("not answering"));

        int alone = 0; // reads of servos whose models answer reads of several
        int multi = 0;
        for (const servosim::ReceivedPacket& packet : _sim->receivedPackets()) {
            const std::optional<MultiReadKind> kind = kindOf(packet.instruction);
            if (!kind) {
                const auto model = _models.find(packet.id);
                alone += packet.instruction == 0x02 && packet.id != 1 && model != _models.end() &&
                         model->second->instructions.contains(QStringLiteral("syncRead"));
                continue;
            }
            ++multi;
            for (int id : addressedIds(packet))
                QVERIFY2(
                    id == silenced || _models.at(id)->instructions.contains(multiReadInstruction(*kind)),
                    qPrintable(QStringLiteral("servo %1 sent 0x%2").arg(id).arg(packet.instruction, 0, 16)));
        }
        QCOMPARE(multi > 0, together);
        // Once in step, a round is one request: a row read alone is the exception.
        QVERIFY2(alone <= multi || !together,
                 qPrintable(QStringLiteral("%1 alone, %2 together").arg(alone).arg(multi)));
    }
};

QTEST_GUILESS_MAIN(TestBusGroupReads)
#include "tst_busgroupreads.moc"
