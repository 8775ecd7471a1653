#include "cli/servogroup.h"

#include "cli/commandcontext.h"

#include "core/model/idevice.h"
#include "core/model/modelregistry.h"
#include "core/model/multiread.h"
#include "core/protocol/readanswer.h"
#include "core/transport/serialhelper.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace cli {

namespace {
// Every request ends by its own deadline; this only bounds a request layer that never reports.
constexpr int stalledMs = 5000;

// Runs the event loop until `send`'s completion has been told a result (perhaps before `send`
// returns); none when the limit passed first. A result told after that is dropped.
template <typename Result, typename Send> std::optional<Result> awaitResult(Send send)
{
    auto result = std::make_shared<std::optional<Result>>();
    QEventLoop loop;
    send([result, guard = QPointer<QEventLoop>(&loop)](const Result& told) {
        *result = told;
        if (guard)
            guard->quit();
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(stalledMs);
    while (!*result && limit.isActive())
        loop.exec();
    return *result;
}
} // namespace

QString GroupServo::problemText() const
{
    if (state == State::UnknownModel)
        return QStringLiteral("unknown model %1").arg(modelNumber);
    return QStringLiteral("no answer");
}

QList<Span> partsOf(int address, int length)
{
    QList<Span> parts;
    for (int offset = 0; offset < length; offset += largestPart)
        parts.append({address + offset, std::min(largestPart, length - offset)});
    return parts;
}

ServoGroup::ServoGroup(const Globals& globals) : _serial(std::make_shared<SerialHelper>()), _globals(globals)
{
    _serial->setProtocol(globals.protocol);
}

ServoGroup::~ServoGroup()
{
    _serial->closeSerialPort();
}

QString ServoGroup::open()
{
    return _serial->openSerialPort(_globals.portName, _globals.baudRate);
}

BusResult ServoGroup::request(const BusRequest& request)
{
    const std::optional<BusResult> result = awaitResult<BusResult>(
        [&](SerialHelper::Completion done) { _serial->submit(request, std::move(done)); });
    if (result)
        return *result;
    _serial->cancelTransaction();
    return {};
}

void ServoGroup::identify(const QList<int>& ids)
{
    _servos.clear();
    for (int id : ids) {
        GroupServo servo;
        servo.id = id;
        identifyOne(servo);
        _servos.append(servo);
    }
}

void ServoGroup::identifyOne(GroupServo& servo)
{
    const BusResult result = request(BusRequest::read(uint8_t(servo.id), 0, ModelRegistry::identityBytes));
    if (!result.answered)
        return;
    const ModelRegistry::Identity identity =
        ModelRegistry::shared().identify(readanswer::dataOnward(result.answer), int(_serial->protocol()));
    servo.modelNumber = identity.modelNumber;
    if (identity.firmware >= 0)
        servo.firmware = identity.firmware;
    servo.model = identity.model ? identity.model : _globals.as;
    servo.device = servo.model ? deviceOf(servo.model) : nullptr;
    if (!servo.device) {
        servo.state = GroupServo::State::UnknownModel;
        return;
    }
    servo.catalogue = std::make_shared<const FieldCatalogue>(*servo.device);
    servo.state = GroupServo::State::Known;
}

std::optional<MultiReadKind> ServoGroup::kindFor(const QList<Span>& spans) const
{
    QList<MultiReadMember> members;
    const Span* first = nullptr;
    bool sameSpan = true;
    for (int i = 0; i < _servos.size(); ++i) {
        const Span& span = spans.at(i);
        if (!_servos[i].known() || span.length <= 0)
            continue;
        if (!first)
            first = &span;
        sameSpan = sameSpan && span.address == first->address && span.length == first->length;
        // The port's protocol: that is what every packet of the read goes out and is framed in.
        members.append({_servos[i].model, _serial->protocol(), _servos[i].firmware});
    }
    return chooseMultiRead(members, sameSpan);
}

QList<std::optional<QByteArray>> ServoGroup::read(const QList<Span>& spans)
{
    QList<std::optional<QByteArray>> data;
    QList<MultiReadItem> items;
    QList<int> asked; // the servo of each item
    for (int i = 0; i < _servos.size(); ++i) {
        data.append(std::nullopt);
        const Span& span = spans.at(i);
        if (!_servos[i].known() || span.length <= 0)
            continue;
        items.append({uint8_t(_servos[i].id), uint16_t(span.address), uint16_t(span.length), -1});
        asked.append(i);
    }
    if (const std::optional<MultiReadKind> kind = kindFor(spans)) {
        const QList<MultiReadAnswer> answers = readTogether(*kind, items);
        for (int k = 0; k < asked.size() && k < answers.size(); ++k)
            if (answers[k].state == MultiReadAnswer::State::Answered)
                data[asked[k]] = answers[k].data;
        return data;
    }
    for (int k = 0; k < items.size(); ++k) {
        const MultiReadItem& item = items[k];
        // A single read names its span in one byte each; past that it would read other bytes.
        if (item.address + item.length > 0x100)
            continue;
        const BusResult result =
            request(BusRequest::read(item.id, uint8_t(item.address), uint8_t(item.length)));
        const QByteArray bytes = readanswer::table(result.answer);
        if (result.answered && bytes.size() == item.length)
            data[asked[k]] = bytes;
    }
    return data;
}

QList<MultiReadAnswer> ServoGroup::readTogether(MultiReadKind kind, const QList<MultiReadItem>& items)
{
    const std::optional<QList<MultiReadAnswer>> answers = awaitResult<QList<MultiReadAnswer>>(
        [&](SerialHelper::MultiCompletion done) { _serial->multiRead(kind, items, std::move(done)); });
    if (answers)
        return *answers;
    _serial->cancelTransaction();
    return {};
}

} // namespace cli
