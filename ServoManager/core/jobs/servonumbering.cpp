#include "core/jobs/servonumbering.h"

#include "core/jobs/servosearch.h"
#include "core/model/fieldcatalogue.h"
#include "core/model/groupwrite.h"
#include "core/model/idevice.h"
#include "core/model/locksequence.h"
#include "core/model/modelregistry.h"
#include "core/protocol/readanswer.h"
#include "core/session/devicehelper.h"
#include "core/traffic/busstatistics.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/serialhelper.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace {
constexpr int highestId = 252; // 253 and up are reserved on the bus
// How often a waiting run asks at the factory id.
constexpr int waitIntervalMs = 200;
// A request may be lost on a noisy line: the new address and the table are asked twice.
constexpr int attempts = 2;
constexpr uint8_t instructionWrite = 0x03;

// A garbled or refused answer is an answer all the same: something is there. An answer of another
// id is not one of the id asked for.
bool somethingAnswered(FailureKind kind)
{
    return kind == FailureKind::Refused || kind == FailureKind::Corrupt || kind == FailureKind::Incomplete;
}
} // namespace

ServoNumbering::ServoNumbering(std::shared_ptr<SerialHelper> serial, QObject* parent)
    : QObject(parent), _serial(std::move(serial))
{
    qRegisterMetaType<ServoWriteResult>();
}

ServoNumbering::~ServoNumbering()
{
    stop();
}

void ServoNumbering::start(const NumberingPlan& plan)
{
    stop();
    _plan = plan;
    _rate = plan.newRate > 0 ? plan.newRate : plan.factoryRate;
    _baudCode = -1; // the new servo's model has the code, once it is known
    _nextId = plan.nextId;
    _results.clear();
    _state = State::Waiting;
    connect(_serial.get(), &SerialHelper::writeAcknowledged, this, [this](const RequestInfo& request, uint8_t errorByte) {
        onWriteAcknowledged(request.id, request.instruction, errorByte);
    });
    if (plan.factoryId < 0 || plan.factoryId > highestId || _nextId < 0 || _nextId > highestId) {
        fail(tr("servo ids go from 0 to %1").arg(highestId));
        return;
    }
    const QList<int> rates = offeredBaudRates();
    if (!rates.contains(plan.factoryRate) || !rates.contains(_rate)) {
        fail(tr("%1 baud is no rate a servo knows")
                 .arg(rates.contains(plan.factoryRate) ? _rate : plan.factoryRate));
        return;
    }
    if (!_serial->isOpen()) {
        fail(tr("the port is not open"));
        return;
    }
    later([this] { wait(); });
}

void ServoNumbering::stop()
{
    if (_state == State::Idle)
        return;
    _state = State::Idle;
    ++_generation;
    _awaitingAcknowledgement = false;
    disconnect(_serial.get(), nullptr, this, nullptr);
    // The writer returns the port to the rate it found, the factory rate.
    if (_writer)
        _writer->stop();
    _serial->cancelTransaction();
    if (_serial->isOpen() && _serial->baudRate() != _plan.factoryRate) {
        const QString port = _serial->portName();
        _serial->closeSerialPort();
        _serial->openSerialPort(port, _plan.factoryRate);
    }
}

void ServoNumbering::later(std::function<void()> step, int delayMs)
{
    QTimer::singleShot(delayMs, this, [this, step = std::move(step), generation = _generation] {
        if (generation == _generation && _state != State::Idle)
            step();
    });
}

bool ServoNumbering::moveTo(int baudRate)
{
    const QString error = _serial->reopenAt(baudRate);
    if (!error.isEmpty()) {
        portFail(baudRate, error);
        return false;
    }
    return true;
}

void ServoNumbering::fail(const QString& why)
{
    stop();
    emit failed(why);
}

void ServoNumbering::portFail(int baudRate, const QString& error)
{
    const QString port = _serial->portName();
    stop();
    emit portFailed(tr("%1 cannot be opened at %2 baud: %3").arg(port).arg(baudRate).arg(portOpenErrorText(port, error)));
}

void ServoNumbering::wait()
{
    _state = State::Waiting;
    _result.reset();
    if (_nextId > highestId) {
        fail(tr("every id up to %1 is given").arg(highestId));
        return;
    }
    if (!moveTo(_plan.factoryRate))
        return;
    const quint64 generation = _generation;
    emit waiting();
    if (generation == _generation)
        pingFactory();
}

void ServoNumbering::pingFactory()
{
    const quint64 generation = _generation;
    const BusProtocol protocol = _serial->protocol();
    auto found = [this, generation, protocol](QByteArray answer) {
        if (generation != _generation)
            return;
        // A Protocol 2 ping's answer carries the model number; otherwise the read's bytes do,
        // wherever the protocol's models keep it.
        _modelNumber =
            protocol == BusProtocol::Two
                ? int(readanswer::valueAt(answer, 0, 2))
                : ModelRegistry::shared().identify(readanswer::dataOnward(answer), int(protocol)).modelNumber;
        later([this] { servoFound(); });
    };
    // Nothing yet (or a servo being plugged in, still garbling): ask again.
    auto nothing = [this, generation](FailureKind, const RequestInfo&, uint8_t) {
        if (generation == _generation)
            later([this] { pingFactory(); }, waitIntervalMs);
    };
    if (protocol == BusProtocol::Two)
        _serial->ping(uint8_t(_plan.factoryId), found, nothing);
    else
        _serial->readData(uint8_t(_plan.factoryId), 0, ModelRegistry::identityBytes, found, nothing);
}

void ServoNumbering::servoFound()
{
    _state = State::Working;
    const std::shared_ptr<IDevice> device = DeviceHelper::createDevice(_modelNumber);
    if (!device) {
        fail(tr("the new servo reports model number %1, which no model description covers").arg(_modelNumber));
        return;
    }
    _catalogue = std::make_unique<FieldCatalogue>(*device);
    _tableLength = device->getMemoryUpperLimit();
    _baudCode = _rate != _plan.factoryRate ? device->description().baudCodeOfRate(_rate) : -1;
    if (_rate != _plan.factoryRate && _baudCode < 0) {
        fail(tr("the new servo (%1) cannot run at %2 baud")
                 .arg(ServoSearch::modelText(_modelNumber))
                 .arg(_rate));
        return;
    }
    const FieldRecord* idField = _catalogue->byRole(QStringLiteral("id"));
    const FieldRecord* baudField = _catalogue->byRole(QStringLiteral("baudRate"));
    if (!idField || (_baudCode >= 0 && (!baudField || !baudField->holds(_baudCode)))) {
        fail(tr("the new servo (%1) has no id or baud-rate setting this program can write")
                 .arg(ServoSearch::modelText(_modelNumber)));
        return;
    }
    _candidate = _nextId;
    checkAtFactoryRate();
}

void ServoNumbering::probe(int id, std::function<void()> free)
{
    const quint64 generation = _generation;
    _serial->ping(
        uint8_t(id),
        [this, generation](QByteArray) {
            if (generation == _generation)
                later([this] { idIsTaken(); });
        },
        [this, generation, free](FailureKind kind, const RequestInfo&, uint8_t) {
            if (generation != _generation)
                return;
            if (kind == FailureKind::NotSent)
                later([this] { fail(tr("a request could not be sent")); });
            else if (somethingAnswered(kind))
                later([this] { idIsTaken(); });
            else
                later(free);
        });
}

// The id is given only where nothing answers, at the rate the servo listens at now and at the one it
// gets: two servos of one id at one rate garble each other's answers.
void ServoNumbering::checkAtFactoryRate()
{
    if (_candidate > highestId) {
        fail(tr("no id from %1 to %2 is free").arg(_nextId).arg(highestId));
        return;
    }
    if (moveTo(_plan.factoryRate))
        probe(_candidate, [this] { checkAtNewRate(); });
}

void ServoNumbering::checkAtNewRate()
{
    _attempt = 0;
    if (_rate == _plan.factoryRate) {
        readTable();
        return;
    }
    if (moveTo(_rate))
        probe(_candidate, [this] { readTable(); });
}

void ServoNumbering::idIsTaken()
{
    const quint64 generation = _generation;
    emit idTaken(_candidate);
    if (generation != _generation)
        return;
    ++_candidate;
    checkAtFactoryRate();
}

// The bytes a write spans between the id and the baud code are written as the servo holds them.
void ServoNumbering::readTable()
{
    if (!moveTo(_plan.factoryRate))
        return;
    const quint64 generation = _generation;
    _serial->readData(
        uint8_t(_plan.factoryId), 0, uint8_t(_tableLength),
        [this, generation](QByteArray answer) {
            if (generation != _generation)
                return;
            _table = readanswer::table(answer);
            later([this] { writeAddress(); });
        },
        [this, generation](FailureKind kind, const RequestInfo&, uint8_t errorByte) {
            if (generation != _generation)
                return;
            if (kind != FailureKind::NotSent && kind != FailureKind::Refused && ++_attempt < attempts) {
                later([this] { readTable(); });
                return;
            }
            const QString why = kind == FailureKind::Refused ? servoErrorText(errorByte) : failureKindText(kind);
            later([this, why] {
                fail(tr("the new servo does not answer a read of its settings at id %1 (%2)")
                         .arg(_plan.factoryId)
                         .arg(why));
            });
        });
}

void ServoNumbering::writeAddress()
{
    if (_catalogue->motorBlocksNonVolatile(_table)) {
        fail(tr("the new servo's motor is on: a servo takes a new id only while its motor is off "
                "(switch it off, or power the servo off and on)"));
        return;
    }
    std::map<QString, int> values{{QStringLiteral("id"), _candidate}};
    if (_baudCode >= 0)
        values[QStringLiteral("baudRate")] = _baudCode;
    const QList<GroupWrite> writes = groupWrites(*_catalogue, values);
    // Two writes would leave the servo at a new id but the old rate, or the reverse, between them.
    if (writes.size() != 1) {
        fail(tr("the id and the baud rate of the new servo (%1) cannot be given in one write")
                 .arg(ServoSearch::modelText(_modelNumber)));
        return;
    }
    _write = writes.first();
    _locked = lockSequence(*_catalogue, writes).size() > 1;
    const quint64 generation = _generation;
    emit numbering(_candidate);
    if (generation != _generation)
        return;
    if (!_locked) {
        sendAddress();
        return;
    }
    // The id is kept for good only when written with the lock open.
    const FieldRecord* lock = _catalogue->lockField();
    sendLockWrite(_plan.factoryId, lock->writeOf(_catalogue->lockOpen()), [this](const BusResult& result) {
        if (result.answered)
            sendAddress();
        else
            closeLock(_plan.factoryId, _plan.factoryRate, [this, why = resultText(result)](bool) {
                fail(tr("the new servo's settings lock did not open: %1").arg(why));
            });
    });
}

void ServoNumbering::sendAddress()
{
    const GroupWrite write = _write;
    const quint64 generation = _generation;
    _awaitingAcknowledgement = true;
    _serial->writeData(uint8_t(_plan.factoryId), write.address(), write.block(_table), {},
                       [this, generation](FailureKind kind, const RequestInfo&, uint8_t errorByte) {
                           if (generation != _generation || !_awaitingAcknowledgement)
                               return;
                           _awaitingAcknowledgement = false;
                           if (kind == FailureKind::Refused) {
                               const QString why = servoErrorText(errorByte);
                               later([this, why] { refusedAddress(why); });
                           } else if (kind == FailureKind::NotSent) {
                               later([this] { fail(tr("the new id could not be sent")); });
                           } else {
                               // A lost acknowledgement: the servo may have taken the write all the
                               // same. Its new address tells.
                               later([this] { written(); });
                           }
                       });
}

void ServoNumbering::onWriteAcknowledged(uint8_t id, uint8_t instruction, uint8_t errorByte)
{
    // A refusal reaches the write's own failure callback as well: that one says why.
    if (!_awaitingAcknowledgement || id != _plan.factoryId || instruction != instructionWrite ||
        SerialHelper::isRefusal(errorByte))
        return;
    _awaitingAcknowledgement = false;
    later([this] { written(); });
}

void ServoNumbering::refusedAddress(const QString& why)
{
    const auto refused = [this, why](bool) { fail(tr("the new servo refused its new id: %1").arg(why)); };
    if (_locked)
        closeLock(_plan.factoryId, _plan.factoryRate, refused);
    else
        refused(true);
}

void ServoNumbering::written()
{
    _attempt = 0;
    if (!_locked) {
        pingNewAddress();
        return;
    }
    // The servo answers at its new address now: the lock is closed there.
    closeLock(_candidate, _rate, [this](bool closed) {
        if (closed)
            pingNewAddress();
        else
            fail(tr("servo %1 has its id, but the settings lock was left open: it may not keep the id when "
                    "powered off")
                     .arg(_candidate));
    });
}

QString ServoNumbering::resultText(const BusResult& result)
{
    return result.failure == FailureKind::Refused ? servoErrorText(result.errorByte)
                                                  : failureKindText(result.failure);
}

void ServoNumbering::sendLockWrite(int id, const WriteField& field,
                                   std::function<void(const BusResult&)> then)
{
    const GroupWrite write({field});
    const quint64 generation = _generation;
    // One that cannot be sent is told so through the same callback.
    _serial->submit(BusRequest::write(uint8_t(id), write.address(), write.block(_table)),
                    [this, generation, then](const BusResult& result) {
                        if (generation == _generation)
                            later([then, result] { then(result); });
                    });
}

// Closes the lock of the servo at `id`, `baudRate` whatever became of the writes before, and reads
// it back: `then` is told whether it reads closed (false also when it cannot be read).
void ServoNumbering::closeLock(int id, int baudRate, std::function<void(bool closed)> then)
{
    if (!moveTo(baudRate))
        return;
    const FieldRecord* lock = _catalogue->lockField();
    sendLockWrite(id, lock->writeOf(_catalogue->lockClose()), [this, id, lock, then](const BusResult&) {
        const quint64 generation = _generation;
        _serial->submit(BusRequest::read(uint8_t(id), uint8_t(lock->address), uint8_t(lock->size)),
                        [this, generation, lock, then](const BusResult& result) {
                            if (generation != _generation)
                                return;
                            QByteArray table(lock->address, '\0');
                            table += readanswer::table(result.answer);
                            const bool closed = result.answered && !_catalogue->lockOpenIn(table);
                            later([then, closed] { then(closed); });
                        });
    });
}

void ServoNumbering::pingNewAddress()
{
    if (!moveTo(_rate))
        return;
    const quint64 generation = _generation;
    _serial->ping(
        uint8_t(_candidate),
        [this, generation](QByteArray) {
            if (generation == _generation)
                later([this] { checkFactoryIdGone(); });
        },
        [this, generation](FailureKind kind, const RequestInfo&, uint8_t) {
            if (generation != _generation)
                return;
            if (kind != FailureKind::NotSent && ++_attempt < attempts) {
                later([this] { pingNewAddress(); });
                return;
            }
            later([this] {
                fail(tr("the new servo does not answer at id %1, %2 baud after it was given them; it may still "
                        "answer at id %3, %4 baud")
                         .arg(_candidate)
                         .arg(_rate)
                         .arg(_plan.factoryId)
                         .arg(_plan.factoryRate));
            });
        });
}

void ServoNumbering::checkFactoryIdGone()
{
    if (!moveTo(_plan.factoryRate))
        return;
    const quint64 generation = _generation;
    auto stillThere = [this] {
        fail(tr("servo %1 has its id, but a servo still answers at id %2, %3 baud: were two new servos "
                "plugged in at once? Leave one new servo plugged in at a time")
                 .arg(_candidate)
                 .arg(_plan.factoryId)
                 .arg(_plan.factoryRate));
    };
    _serial->ping(
        uint8_t(_plan.factoryId),
        [this, generation, stillThere](QByteArray) {
            if (generation == _generation)
                later(stillThere);
        },
        [this, generation, stillThere](FailureKind kind, const RequestInfo&, uint8_t) {
            if (generation != _generation)
                return;
            if (kind == FailureKind::NotSent)
                later([this] { fail(tr("a request could not be sent")); });
            else if (somethingAnswered(kind))
                later(stillThere);
            else
                later([this] { configure(); });
        });
}

void ServoNumbering::configure()
{
    if (!_plan.configuration) {
        ready();
        return;
    }
    const quint64 generation = _generation;
    // The writer of the servo before is done with: this runs from the event loop, never inside it.
    _writer = std::make_unique<ConfigurationWriter>(_serial, *_plan.configuration);
    connect(_writer.get(), &ConfigurationWriter::servoFinished, this,
            [this, generation](const ServoWriteResult& result) {
                if (generation == _generation)
                    _result = result;
            });
    connect(_writer.get(), &ConfigurationWriter::finished, this, [this, generation] {
        if (generation == _generation)
            later([this] { ready(); });
    });
    connect(_writer.get(), &ConfigurationWriter::portFailed, this, [this, generation](const QString& error) {
        if (generation == _generation)
            later([this, error] { portFail(_rate, error); });
    });
    _writer->start({BusAddress{_candidate, _rate}});
}

void ServoNumbering::ready()
{
    const int id = _candidate;
    QString text = tr("Servo %1 ready — connect the next one").arg(id);
    if (_result) {
        text += tr("; configuration: %1").arg(_result->text());
        _results.append(*_result);
    }
    _nextId = id + 1;
    const quint64 generation = _generation;
    emit servoReady(id, _rate, text);
    if (generation == _generation)
        wait();
}

ServoConfiguration::ReadResult readNumberingConfiguration(const QString& path)
{
    ServoConfiguration::ReadResult result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = QCoreApplication::translate("ServoNumbering", "cannot read %1: %2").arg(path, file.errorString());
        return result;
    }
    const QByteArray json = file.read(1 << 20);
    const QJsonObject servo = QJsonDocument::fromJson(json).object().value(QStringLiteral("servo")).toObject();
    const int model = servo.value(QStringLiteral("modelNumber")).toInt(-1);
    const int firmware = servo.value(QStringLiteral("firmware")).toInt(-1);
    const std::shared_ptr<IDevice> device = DeviceHelper::createDevice(model);
    if (!device) {
        result.error = QCoreApplication::translate("ServoNumbering", "%1: not a configuration file of a known servo model")
                           .arg(QFileInfo(path).fileName());
        return result;
    }
    const FieldCatalogue catalogue(*device);
    return ServoConfiguration::fromJson(json, QFileInfo(path).fileName(), catalogue, model, firmware);
}
