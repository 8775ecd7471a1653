#include "core/jobs/configurationwriter.h"

#include "core/jobs/servosearch.h"
#include "core/model/groupwrite.h"
#include "core/model/idevice.h"
#include "core/model/modelregistry.h"
#include "core/protocol/readanswer.h"
#include "core/session/devicehelper.h"
#include "core/traffic/busstatistics.h"
#include "core/transport/serialhelper.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>

namespace {
// Identification's read: the model number and firmware, wherever the protocol's models keep them.
constexpr uint8_t identityAddress = 0;
constexpr uint8_t identityBytes = ModelRegistry::identityBytes;

QString tr(const char* text)
{
    return QCoreApplication::translate("ConfigurationWriter", text);
}
} // namespace

QString ServoWriteResult::text() const
{
    switch (outcome) {
    case Outcome::Verified:
        return tr("written and verified");
    case Outcome::Unchanged:
        return tr("holds these values already");
    case Outcome::WouldChange:
        return tr("would change %1").arg(QStringList([this] {
                                               QStringList keys;
                                               for (const auto& [key, raw] : changes)
                                                   keys << key;
                                               return keys;
                                           }())
                                               .join(QStringLiteral(", ")));
    case Outcome::Differs: {
        QStringList what;
        if (!differing.isEmpty())
            what << differing.join(QStringLiteral(", "));
        if (!problem.isEmpty())
            what << problem; // the settings lock left open
        return tr("differs: %1").arg(what.join(QStringLiteral("; ")));
    }
    case Outcome::Refused:
        return tr("refused: %1").arg(problem);
    case Outcome::NotAnswering:
        return tr("not answering");
    case Outcome::OtherModel:
        return tr("another model (%1)").arg(problem);
    }
    return {};
}

ConfigurationWriter::ConfigurationWriter(std::shared_ptr<SerialHelper> serial, ServoConfiguration file,
                                         QStringList keys)
    : _serial(std::move(serial)), _file(std::move(file)), _keys(std::move(keys))
{
    qRegisterMetaType<ServoWriteResult>();
    if (_keys.isEmpty())
        for (const auto& [key, raw] : _file.values)
            _keys << key;
    // A servo keeps its place on the bus.
    _keys.removeAll(QStringLiteral("id"));
    _keys.removeAll(QStringLiteral("baudRate"));
}

ConfigurationWriter::~ConfigurationWriter()
{
    stop();
}

void ConfigurationWriter::start(const QList<BusAddress>& servos, bool dryRun)
{
    stop();
    _servos = servos;
    _results.clear();
    _dryRun = dryRun;
    _running = true;
    _index = -1;
    _originalRate = _serial->baudRate();
    connect(_serial.get(), &SerialHelper::writeAcknowledged, this,
            [this](const RequestInfo&, uint8_t errorByte) {
                if (!_running || _nextWrite <= 0 || _nextWrite > _steps.size())
                    return;
                if (SerialHelper::isRefusal(errorByte)) {
                    stepFailed(FailureKind::Refused, errorByte);
                    return;
                }
                // What the servo now holds, for the span of the next write.
                const GroupWrite& done = _steps.at(_nextWrite - 1).write;
                const QByteArray block = done.block(_table);
                if (_table.size() < done.address() + done.length())
                    _table.append(QByteArray(done.address() + done.length() - _table.size(), '\0'));
                _table.replace(done.address(), done.length(), block);
                QTimer::singleShot(0, this, [this, generation = _generation] {
                    if (generation == _generation)
                        sendWrite();
                });
            });
    nextServo();
}

void ConfigurationWriter::stop()
{
    if (!_running)
        return;
    _running = false;
    ++_generation;
    disconnect(_serial.get(), nullptr, this, nullptr);
    _serial->cancelTransaction();
    if (_serial->isOpen())
        _serial->reopenAt(_originalRate);
}

void ConfigurationWriter::nextServo()
{
    if (!_running)
        return;
    if (++_index >= _servos.size()) {
        stop();
        emit finished();
        return;
    }
    _current = ServoWriteResult();
    _current.servo = _servos.at(_index);
    _writes.clear();
    _steps.clear();
    _nextWrite = 0;
    _stepFailure.reset();
    _failedStep = -1;
    emit servoStarted(_current.servo);
    const QString error = _serial->reopenAt(_current.servo.baudRate);
    if (!error.isEmpty()) {
        _running = false;
        emit portFailed(error);
        return;
    }
    identify(true);
}

void ConfigurationWriter::identify(bool firstTry)
{
    // The model number as identification reads it, in either protocol: a Protocol 1 ping answer
    // carries no model number. A lost answer is asked for once more.
    const quint64 generation = _generation;
    auto answered = [this, generation](QByteArray answer) {
        if (generation != _generation)
            return;
        const int model = ModelRegistry::shared()
                              .identify(readanswer::dataOnward(answer), int(_serial->protocol()))
                              .modelNumber;
        // Out of the request layer's callback before the next request.
        QTimer::singleShot(0, this, [this, generation, model] {
            if (generation == _generation)
                compareWithModel(model);
        });
    };
    auto lost = [this, generation, firstTry](FailureKind kind, const RequestInfo&, uint8_t errorByte) {
        if (generation != _generation)
            return;
        if (!firstTry || kind == FailureKind::NotSent || kind == FailureKind::Refused) {
            failed(kind, errorByte);
            return;
        }
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == _generation)
                identify(false);
        });
    };
    // A request not sent reports through its failure callback as well: one result per servo.
    if (!_serial->readData(uint8_t(_current.servo.id), identityAddress, identityBytes, answered, lost) &&
        generation == _generation)
        failed(FailureKind::NotSent, 0);
}

void ConfigurationWriter::compareWithModel(int model)
{
    if (model != _file.modelNumber) {
        finishServo(ServoWriteResult::Outcome::OtherModel, ServoSearch::modelText(model));
        return;
    }
    const std::shared_ptr<IDevice> device = DeviceHelper::createDevice(model);
    if (!device) {
        finishServo(ServoWriteResult::Outcome::OtherModel, ServoSearch::modelText(model));
        return;
    }
    _catalogue = std::make_unique<FieldCatalogue>(*device);
    _tableLength = device->getMemoryUpperLimit();
    readTable([this](const QByteArray& table) {
        _table = table;
        noteHeld();
        for (const QString& key : _keys) {
            const FieldRecord* field = _catalogue->byKey(key);
            const auto wanted = _file.values.find(key);
            if (field && wanted != _file.values.end() && field->rawIn(table) != wanted->second) {
                _current.changes[key] = wanted->second;
                _current.held[key] = field->rawIn(table);
            }
        }
        if (_current.changes.empty()) {
            finishServo(ServoWriteResult::Outcome::Unchanged);
            return;
        }
        if (_dryRun) {
            finishServo(ServoWriteResult::Outcome::WouldChange);
            return;
        }
        if (_catalogue->motorBlocksNonVolatile(table)) {
            for (const auto& [key, raw] : _current.changes) {
                if (_catalogue->byKey(key)->group == FieldGroup::NonVolatile) {
                    finishServo(ServoWriteResult::Outcome::Refused,
                                tr("its motor is on; non-volatile settings are taken only while it is off"));
                    return;
                }
            }
        }
        _writes = groupWrites(*_catalogue, _current.changes);
        _steps = lockSequence(*_catalogue, _writes);
        _current.now.clear(); // unknown until the table is read back
        sendWrite();
    });
}

void ConfigurationWriter::noteHeld()
{
    _current.now.clear();
    for (const QString& key : _keys)
        if (const FieldRecord* field = _catalogue->byKey(key))
            _current.now[key] = field->rawIn(_table);
}

SerialHelper::FailureCallback ConfigurationWriter::failureOf(quint64 generation)
{
    return [this, generation](FailureKind kind, const RequestInfo&, uint8_t errorByte) {
        if (generation == _generation)
            failed(kind, errorByte);
    };
}

void ConfigurationWriter::readTable(std::function<void(const QByteArray&)> then)
{
    const quint64 generation = _generation;
    const bool sent = _serial->readData(
        uint8_t(_current.servo.id), 0, uint8_t(_tableLength),
        [this, then, generation](QByteArray answer) {
            if (generation != _generation)
                return;
            // Out of the request layer's callback before the next request.
            QTimer::singleShot(0, this, [this, then, generation, table = readanswer::table(answer)] {
                if (generation == _generation)
                    then(table);
            });
        },
        failureOf(generation));
    if (!sent && generation == _generation)
        failed(FailureKind::NotSent, 0);
}

void ConfigurationWriter::sendWrite()
{
    if (_nextWrite >= _steps.size()) {
        readTable([this](const QByteArray& table) {
            _table = table;
            checkWritten(false);
        });
        return;
    }
    _stepSent = _nextWrite;
    const GroupWrite& write = _steps.at(_nextWrite++).write;
    const quint64 generation = _generation;
    const auto failure = [this, generation](FailureKind kind, const RequestInfo&, uint8_t errorByte) {
        if (generation == _generation)
            stepFailed(kind, errorByte);
    };
    if (!_serial->writeData(uint8_t(_current.servo.id), write.address(), write.block(_table), {}, failure) &&
        generation == _generation)
        stepFailed(FailureKind::NotSent, 0);
}

// A servo is never left with its lock open because a write failed: the close still goes, then
// the table is read back for what the servo holds and whether the lock closed.
void ConfigurationWriter::stepFailed(FailureKind kind, uint8_t errorByte)
{
    // A refusal reaches the answer and the request's failure alike: one is enough.
    if (!_running || _failedStep == _stepSent)
        return;
    _failedStep = _stepSent;
    const bool locked = !_steps.isEmpty() && _steps.last().role == LockStep::Role::Close;
    if (!locked) {
        failed(kind, errorByte);
        return;
    }
    if (!_stepFailure)
        _stepFailure = StepFailure{kind, errorByte};
    // The close, unless it was the close that failed: then only the read back is left.
    _nextWrite = std::max(_nextWrite, int(_steps.size()) - 1);
    QTimer::singleShot(0, this, [this, generation = _generation] {
        if (generation == _generation)
            sendWrite();
    });
}

QStringList ConfigurationWriter::differingKeys() const
{
    QStringList differing;
    for (const GroupWrite& write : _writes) {
        if (write.check(_table).allHeld())
            continue;
        // Every field of the write that does not hold, by key.
        for (const WriteField& field : write.fields()) {
            if (GroupWrite(QList<WriteField>{field}).check(_table).allHeld())
                continue;
            const FieldRecord* record = _catalogue->byObjectName(field.name);
            differing << (record ? record->key : field.name);
        }
    }
    return differing;
}

void ConfigurationWriter::checkWritten(bool secondLook)
{
    const QStringList differing = differingKeys();
    const bool locked = !_steps.isEmpty() && _steps.last().role == LockStep::Role::Close;
    const bool lockOpen = locked && _catalogue->lockOpenIn(_table);
    const bool refused = _stepFailure && _stepFailure->kind == FailureKind::Refused;
    noteHeld();
    // A late answer looks like this read's: a value is only called not written when a second read agrees.
    if (!secondLook && (lockOpen || (!differing.isEmpty() && !refused))) {
        readTable([this](const QByteArray& table) {
            _table = table;
            checkWritten(true);
        });
        return;
    }
    const QString lockNote = lockOpen ? LockTexts::leftOpen() : QString();
    // A lost answer says nothing the read back does not: only a refusal is reported as such.
    if (refused) {
        QString problem = servoErrorText(_stepFailure->errorByte);
        if (!lockNote.isEmpty())
            problem += QStringLiteral("; ") + lockNote;
        finishServo(ServoWriteResult::Outcome::Refused, problem);
        return;
    }
    if (differing.isEmpty() && lockNote.isEmpty()) {
        finishServo(ServoWriteResult::Outcome::Verified);
        return;
    }
    _current.differing = differing;
    finishServo(ServoWriteResult::Outcome::Differs, lockNote);
}

void ConfigurationWriter::failed(FailureKind kind, uint8_t errorByte)
{
    if (!_running)
        return;
    if (kind == FailureKind::Refused)
        finishServo(ServoWriteResult::Outcome::Refused, servoErrorText(errorByte));
    else
        finishServo(ServoWriteResult::Outcome::NotAnswering, failureKindText(kind));
}

void ConfigurationWriter::finishServo(ServoWriteResult::Outcome outcome, const QString& problem)
{
    if (!_running)
        return;
    _current.outcome = outcome;
    _current.problem = problem;
    _results.append(_current);
    _writes.clear();
    _steps.clear();
    _stepFailure.reset();
    _failedStep = -1;
    _nextWrite = 0;
    ++_generation; // whatever of this servo is still under way is not this servo's result any more
    emit servoFinished(_current);
    QTimer::singleShot(0, this, [this] { nextServo(); });
}
