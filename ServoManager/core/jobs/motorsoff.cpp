#include "core/jobs/motorsoff.h"

#include "core/model/fieldcatalogue.h"
#include "core/model/idevice.h"
#include "core/model/modelregistry.h"
#include "core/model/multiread.h"
#include "core/protocol/readanswer.h"
#include "core/transport/serialhelper.h"

#include <QTimer>

#include <algorithm>
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
    bool written = false; // by the sync write
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

void MotorsOff::settleReadBack(Target& target, const QByteArray& motorBytes)
{
    // The field's bytes at the start of a table that begins at its address.
    FieldRecord atStart = *target.motor;
    atStart.address = 0;
    const bool on = atStart.rawIn(motorBytes) != 0;
    settle(target, on ? MotorOffResult::Outcome::StillOn : MotorOffResult::Outcome::Off);
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
        if (_phase == Phase::Write && target.written)
            continue;
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
        writeTogether();
        step();
        return;
    }
    if (_phase == Phase::Write) {
        _phase = Phase::Read;
        if (!readTogether())
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
    const auto answered = [this, generation, shared](const BusResult& result) {
        Target& target = *shared;
        if (generation != _generation)
            return;
        if (!result.answered) {
            settle(target, MotorOffResult::Outcome::NotAnswering);
        } else {
            settleReadBack(target, readanswer::table(result.answer));
        }
        later();
    };
    _serial->submit(BusRequest::read(uint8_t(shared->id), uint8_t(motor.address), uint8_t(motor.size)),
                    answered);
}

void MotorsOff::writeTogether()
{
    const BusProtocol protocol = _serial->protocol();
    QList<std::shared_ptr<Target>> group;
    for (const auto& target : _targets) {
        if (target->settled || !target->motor || !answersSyncWrite(*target->model, protocol))
            continue;
        const FieldRecord& first = group.isEmpty() ? *target->motor : *group.front()->motor;
        if (target->motor->address == first.address && target->motor->size == first.size)
            group.append(target);
    }
    if (group.size() < 2)
        return;
    std::vector<Kestrabus::SyncWriteItem> items;
    for (const auto& target : group)
        items.push_back({uint8_t(target->id), GroupWrite({target->motor->writeOf(0)}).block({})});
    if (!_serial->syncWrite(uint16_t(group.front()->motor->address), items))
        return; // written one by one instead
    for (const auto& target : group)
        target->written = true;
}

bool MotorsOff::readTogether()
{
    QList<std::shared_ptr<Target>> group;
    QList<MultiReadMember> members;
    QList<MultiReadItem> items;
    bool sameSpan = true;
    for (const auto& target : _targets) {
        if (target->settled)
            continue;
        group.append(target);
        members.append({target->model, _serial->protocol(), std::nullopt});
        items.append({uint8_t(target->id), uint16_t(target->motor->address), uint16_t(target->motor->size), -1});
        sameSpan = sameSpan && items.back().address == items.front().address &&
                   items.back().length == items.front().length;
    }
    const std::optional<MultiReadKind> kind = chooseMultiRead(members, sameSpan);
    if (!kind)
        return false;
    const quint64 generation = _generation;
    const auto answered = [this, generation, group](const QList<MultiReadAnswer>& answers) {
        // Nothing went out: the servos are read one by one instead.
        const bool notSent = std::all_of(answers.begin(), answers.end(), [](const MultiReadAnswer& answer) {
            return answer.failure == FailureKind::NotSent;
        });
        if (generation != _generation || notSent)
            return;
        for (int i = 0; i < answers.size() && i < group.size(); ++i) {
            Target& target = *group[i];
            if (answers[i].state != MultiReadAnswer::State::Answered) {
                settle(target, MotorOffResult::Outcome::NotAnswering);
                continue;
            }
            settleReadBack(target, answers[i].data);
        }
        _index = int(_targets.size());
        later();
    };
    return _serial->multiRead(*kind, items, answered);
}
