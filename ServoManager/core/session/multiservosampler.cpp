#include "core/session/multiservosampler.h"

#include "core/model/idevice.h"
#include "core/model/multiread.h"
#include "core/transport/serialhelper.h"

#include <QCoreApplication>

#include <algorithm>

namespace {
constexpr int highestId = 252;

// The answer as the status packet a single read would have had, so each servo's decoder reads it
// as it reads its own span reads (the checksum is not looked at again).
QByteArray statusPacketOf(const MultiReadAnswer& answer, BusProtocol protocol)
{
    QByteArray packet;
    if (protocol == BusProtocol::Two) {
        const int length = int(answer.data.size()) + 4;
        packet = QByteArray::fromHex("fffffd00");
        packet.append(char(answer.id)).append(char(length & 0xFF)).append(char(length >> 8)).append(char(0x55));
    } else {
        packet = QByteArray::fromHex("ffff");
        packet.append(char(answer.id)).append(char(answer.data.size() + 2));
    }
    packet.append(char(answer.error)).append(answer.data);
    return packet + QByteArray(protocol == BusProtocol::Two ? 2 : 1, '\0');
}
} // namespace

QString servoCaption(const LiveLayout& layout, int channel, int id)
{
    const auto index = static_cast<size_t>(channel);
    return layout.units[index].isEmpty()
               ? QCoreApplication::translate("MultiServoSampler", "%1 (id %2)").arg(layout.names[index]).arg(id)
               : QCoreApplication::translate("MultiServoSampler", "%1 (id %2) (%3)")
                     .arg(layout.names[index])
                     .arg(id)
                     .arg(layout.units[index]);
}

qint64 arrivalOf(const ServoSamples& samples)
{
    qint64 arrivalNs = -1;
    for (const ServoSample& part : samples)
        if (part.answered)
            arrivalNs = std::max(arrivalNs, part.sample.arrivalNs);
    return arrivalNs;
}

std::optional<QList<int>> servoIdsOf(const QString& text, QString* problem)
{
    QList<int> ids;
    const auto refuse = [&](const QString& part) {
        *problem = QCoreApplication::translate(
                       "MultiServoSampler", "\"%1\" is not an id or a range of ids from 0 to %2, such as 1-6 or 1,3,5.")
                       .arg(part.trimmed())
                       .arg(highestId);
        return std::nullopt;
    };
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList ends = part.split(QLatin1Char('-'));
        bool firstOk = false;
        bool lastOk = ends.size() == 1;
        const int first = ends.value(0).trimmed().toInt(&firstOk);
        const int last = ends.size() == 2 ? ends.value(1).trimmed().toInt(&lastOk) : first;
        if (ends.size() > 2 || !firstOk || !lastOk || first < 0 || last > highestId || first > last)
            return refuse(part);
        for (int id = first; id <= last; ++id)
            if (!ids.contains(id))
                ids.append(id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

MultiServoSampler::MultiServoSampler(std::shared_ptr<SerialHelper> serial) : _serial(std::move(serial)) {}

void MultiServoSampler::setServos(const QList<SampledServo>& servos, const std::array<bool, liveChannelCount>& wanted,
                                  const std::shared_ptr<UnitsHelper>& units)
{
    ++*_generation;
    _inFlight = false;
    _servos.clear();
    _kind.reset();
    const bool any = std::any_of(wanted.begin(), wanted.end(), [](bool on) { return on; });
    QList<MultiReadMember> members;
    for (const SampledServo& servo : servos) {
        if (!servo.device || !any)
            continue;
        Servo entry;
        entry.id = servo.id;
        entry.decoder = std::make_unique<LiveValueDecoder>(servo.device, units);
        entry.span = entry.decoder->spanOf(wanted);
        entry.tableLength = servo.device->getMemoryUpperLimit();
        // A model without any of the wanted values has nothing to plot.
        if (entry.span.isEmpty())
            continue;
        members.append({std::shared_ptr<const ModelDescription>(servo.device, &servo.device->description()),
                        _serial->protocol(), std::nullopt});
        _servos.push_back(std::move(entry));
    }
    if (_servos.size() < 2) {
        _servos.clear();
        return;
    }
    const bool sameSpan = std::all_of(_servos.begin(), _servos.end(), [this](const Servo& servo) {
        return servo.span.address == _servos.front().span.address &&
               servo.span.length == _servos.front().span.length;
    });
    _kind = chooseMultiRead(members, sameSpan);
}

QList<SampledServoLayout> MultiServoSampler::layouts() const
{
    QList<SampledServoLayout> layouts;
    for (const Servo& servo : _servos)
        layouts.append({servo.id, servo.decoder->layout(), servo.span});
    return layouts;
}

MultiServoSampler::Read MultiServoSampler::readOf(const Servo& servo) const
{
    Read read{servo.span.address, servo.span.length};
    if (_resized) {
        if (read.address + read.length < servo.tableLength)
            ++read.length;
        else if (read.address > 0) {
            --read.address;
            ++read.length;
        }
    }
    return read;
}

bool MultiServoSampler::sendNext(Ended ended)
{
    if (!isSampling() || _held || _inFlight)
        return false;
    _inFlight = true;
    if (!_kind) {
        sendOneByOne(0, {}, std::move(ended));
        return true;
    }
    QList<MultiReadItem> items;
    QList<int> addresses;
    for (const Servo& servo : _servos) {
        const Read read = readOf(servo);
        items.append({uint8_t(servo.id), uint16_t(read.address), uint16_t(read.length), -1});
        addresses.append(read.address);
    }
    const std::weak_ptr<qint64> token = _generation;
    const qint64 generation = *_generation;
    const auto done = [this, token, generation, addresses, ended](const QList<MultiReadAnswer>& answers) {
        if (!isCurrent(token, generation, ended))
            return;
        const qint64 arrivalNs = LiveValueDecoder::monotonicNs();
        ServoSamples samples;
        bool notSent = false;
        bool timedOut = false;
        for (int i = 0; i < answers.size() && i < int(_servos.size()); ++i) {
            samples.append(decoded(_servos[size_t(i)], answers[i], addresses[i], arrivalNs));
            notSent |= answers[i].state == MultiReadAnswer::State::Failed && answers[i].failure == FailureKind::NotSent;
            timedOut |= answers[i].state == MultiReadAnswer::State::Failed &&
                        (answers[i].failure == FailureKind::Timeout || answers[i].failure == FailureKind::Incomplete);
        }
        finish(samples, notSent, timedOut, ended);
    };
    _serial->multiRead(*_kind, items, done);
    return true;
}

// Servos without a read in common: each read on its own, straight after the one before.
void MultiServoSampler::sendOneByOne(int index, ServoSamples samples, Ended ended)
{
    const Servo& servo = _servos[size_t(index)];
    const Read read = readOf(servo);
    const std::weak_ptr<qint64> token = _generation;
    const qint64 generation = *_generation;
    const auto done = [this, index, samples, token, generation, ended, read](const BusResult& result) {
        if (isCurrent(token, generation, ended))
            oneAnswered(index, samples, read.address, result, ended);
    };
    _serial->submit(BusRequest::read(uint8_t(servo.id), uint8_t(read.address), uint8_t(read.length)), done);
}

void MultiServoSampler::oneAnswered(int index, ServoSamples samples, int address, const BusResult& result,
                                    const Ended& ended)
{
    const Servo& servo = _servos[size_t(index)];
    if (result.answered) {
        // Decoded from the whole packet, as the servo sent it.
        const qint64 arrivalNs = LiveValueDecoder::monotonicNs();
        samples.append({servo.id, true, servo.decoder->decodeSpan(result.answer, address, arrivalNs)});
    } else {
        samples.append({servo.id, false, {}, result.failure});
    }
    if (!result.answered && result.failure == FailureKind::NotSent) {
        // Nothing more would go out either.
        for (size_t rest = size_t(index) + 1; rest < _servos.size(); ++rest)
            samples.append({_servos[rest].id, false, {}, FailureKind::NotSent});
        finish(samples, true, false, ended);
    } else if (index + 1 < int(_servos.size())) {
        sendOneByOne(index + 1, samples, ended);
    } else {
        const bool anyFailed =
            std::any_of(samples.begin(), samples.end(), [](const ServoSample& sample) { return !sample.answered; });
        finish(samples, false, anyFailed, ended);
    }
}

ServoSample MultiServoSampler::decoded(const Servo& servo, const MultiReadAnswer& answer, int address,
                                       qint64 arrivalNs) const
{
    if (answer.state != MultiReadAnswer::State::Answered)
        return {servo.id, false, {}, answer.failure};
    return {servo.id, true, servo.decoder->decodeSpan(statusPacketOf(answer, _serial->protocol()), address, arrivalNs)};
}

void MultiServoSampler::finish(const ServoSamples& samples, bool notSent, bool timedOut, const Ended& ended)
{
    _inFlight = false;
    if (timedOut)
        _resized = !_resized;
    const bool anyAnswered =
        std::any_of(samples.begin(), samples.end(), [](const ServoSample& sample) { return sample.answered; });
    _failedInRow = anyAnswered ? 0 : _failedInRow + 1;
    // No servo answering twice in a row means trouble on the line: only the polls go on until one
    // is answered. A read that was not sent would fail again at once.
    if (_failedInRow >= 2 || notSent)
        _held = true;
    ended(samples);
}

void MultiServoSampler::stop()
{
    ++*_generation;
    _inFlight = false;
}

bool MultiServoSampler::isCurrent(const std::weak_ptr<qint64>& token, qint64 generation, const Ended& ended)
{
    const std::shared_ptr<qint64> current = token.lock();
    if (current && *current == generation)
        return true;
    if (current)
        ended({});
    return false;
}
