#include "core/jobs/motorsoff.h"

#include "core/model/fieldcatalogue.h"
#include "core/model/idevice.h"
#include "core/model/modelregistry.h"
#include "core/protocol/readanswer.h"
#include "core/transport/serialhelper.h"

#include <QTimer>

#include <optional>

QString MotorOffResult::text() const
{
    switch (outcome) {
    case Outcome::Off:
        return tr("motor off");
    case Outcome::StillOn:
        return tr("still on: the servo did not take the write");
    case Outcome::NotAnswering:
        return tr("not answering");
    case Outcome::NoMotorEntry:
        return tr("its model has no motor entry: nothing written");
    case Outcome::UnknownModel:
        return tr("model number %1, which no model description covers: nothing written").arg(modelNumber);
    }
    return {};
}

struct MotorsOff::Target
{
    int id = 0;
    std::shared_ptr<const ModelDescription> model;
    std::optional<FieldRecord> motor;
    bool settled = false;
    MotorOffResult result;
};

MotorsOff::MotorsOff(std::shared_ptr<SerialHelper> serial, QObject* parent)
    : QObject(parent), _serial(std::move(serial))
{
}

MotorsOff::~MotorsOff() = default;

void MotorsOff::start(const QList<Servo>& servos)
{
    ++_generation;
    _targets.clear();
    _results.clear();
    for (const Servo& servo : servos) {
        auto target = std::make_shared<Target>();
        target->id = servo.id;
        target->model = servo.model;
        target->result.id = servo.id;
        _targets.append(target);
    }
    _phase = Phase::Identify;
    _index = 0;
    later();
}

void MotorsOff::later()
{
    QTimer::singleShot(0, this, [this, generation = _generation] {
        if (generation == _generation)
            step();
    });
}

void MotorsOff::settle(Target& target, MotorOffResult::Outcome outcome)
{
    target.settled = true;
    target.result.outcome = outcome;
}

void MotorsOff::step()
{
    for (; _index < _targets.size(); ++_index) {
        const std::shared_ptr<Target> shared = _targets[_index];
        Target& target = *shared;
        if (target.settled)
            continue;
        if (_phase == Phase::Identify && target.model && !target.motor) {
            const auto device = deviceOf(target.model);
            const std::optional<FieldCatalogue> catalogue =
                device ? std::optional<FieldCatalogue>(FieldCatalogue(*device)) : std::nullopt;
            const FieldRecord* motor = catalogue ? catalogue->byRole(QStringLiteral("motorEnable")) : nullptr;
            if (motor)
                target.motor = *motor;
            else
                settle(target, MotorOffResult::Outcome::NoMotorEntry);
            continue;
        }
        // One request at a time; its completion comes back here for the next.
        ++_index;
        switch (_phase) {
        case Phase::Identify:
            identify(shared);
            return;
        case Phase::Write:
            write(shared);
            return;
        case Phase::Read:
            read(shared);
            return;
        case Phase::Idle:
            return;
        }
    }
    _index = 0;
    if (_phase == Phase::Identify) {
        _phase = Phase::Write;
        step();
        return;
    }
    if (_phase == Phase::Write) {
        _phase = Phase::Read;
        step();
        return;
    }
    _phase = Phase::Idle;
    for (const auto& target : _targets)
        _results.append(target->result);
    emit finished(_results);
}

void MotorsOff::identify(const std::shared_ptr<Target>& shared)
{
    const quint64 generation = _generation;
    const int id = shared->id;
    const auto answered = [this, generation, shared](const BusResult& result) {
        Target& target = *shared;
        if (generation != _generation)
            return;
        if (!result.answered) {
            settle(target, MotorOffResult::Outcome::NotAnswering);
        } else {
            const ModelRegistry::Identity identity = ModelRegistry::shared().identify(
                readanswer::dataOnward(result.answer), int(_serial->protocol()));
            target.result.modelNumber = identity.modelNumber;
            target.model = identity.model;
            if (!identity.model)
                settle(target, MotorOffResult::Outcome::UnknownModel);
            // Its motor entry is looked up when the loop comes back to it.
            --_index;
        }
        later();
    };
    _serial->submit(BusRequest::read(uint8_t(id), 0, ModelRegistry::identityBytes), answered);
}

void MotorsOff::write(const std::shared_ptr<Target>& target)
{
    const quint64 generation = _generation;
    const GroupWrite off({target->motor->writeOf(0)});
    // Whatever the answer says, the read that follows tells whether the motor is off.
    _serial->submit(BusRequest::write(uint8_t(target->id), off.address(), off.block({})),
                    [this, generation](const BusResult&) {
                        if (generation == _generation)
                            later();
                    });
}

void MotorsOff::read(const std::shared_ptr<Target>& shared)
{
    const quint64 generation = _generation;
    const FieldRecord motor = *shared->motor;
    const auto answered = [this, generation, shared, motor](const BusResult& result) {
        Target& target = *shared;
        if (generation != _generation)
            return;
        if (!result.answered) {
            settle(target, MotorOffResult::Outcome::NotAnswering);
        } else {
            // The field's bytes at the start of a table that begins at its address.
            FieldRecord atStart = motor;
            atStart.address = 0;
            const bool on = atStart.rawIn(readanswer::table(result.answer)) != 0;
            settle(target, on ? MotorOffResult::Outcome::StillOn : MotorOffResult::Outcome::Off);
        }
        later();
    };
    _serial->submit(BusRequest::read(uint8_t(shared->id), uint8_t(motor.address), uint8_t(motor.size)),
                    answered);
}
