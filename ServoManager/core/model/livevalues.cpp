#include "core/model/livevalues.h"

#include "core/protocol/readanswer.h"

#include "core/model/fieldcatalogue.h"
#include "core/model/fieldregisters.h"
#include "core/model/idevice.h"
#include "core/model/modeldescription.h"
#include "core/units/unitshelper.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace {
struct ChannelRecord
{
    const char* name;
    const char* field; // the edit-view field that shows the same value
    const char* role;  // the entry of a model's description that holds it
};

const ChannelRecord channelRecords[liveChannelCount] = {
    {QT_TRANSLATE_NOOP("LiveValues", "Actual position"), "actualPositionLineEdit", "presentPosition"},
    {QT_TRANSLATE_NOOP("LiveValues", "Actual angular velocity"), "actualAngularVelocityLineEdit", "presentVelocity"},
    {QT_TRANSLATE_NOOP("LiveValues", "Actual torque"), "actualTorqueLineEdit", "presentTorque"},
    {QT_TRANSLATE_NOOP("LiveValues", "Voltage"), "actualVoltageLineEdit", "presentVoltage"},
    {QT_TRANSLATE_NOOP("LiveValues", "Phase current"), "actualQuadratureCurrentLineEdit", "presentCurrent"},
    {QT_TRANSLATE_NOOP("LiveValues", "Temperature"), "actualTemperatureLineEdit", "presentTemperature"},
    {QT_TRANSLATE_NOOP("LiveValues", "Target position"), "targetPositionDoubleSpinBox", "goalPosition"},
    {QT_TRANSLATE_NOOP("LiveValues", "Target angular velocity"), "targetAngularVelocityDoubleSpinBox", "goalVelocity"},
    {QT_TRANSLATE_NOOP("LiveValues", "Target torque"), "targetTorqueDoubleSpinBox", "goalTorque"},
};
} // namespace

QString LiveLayout::fieldName(int channel)
{
    return QString::fromLatin1(channelRecords[channel].field);
}

QString LiveLayout::caption(int channel) const
{
    const auto index = static_cast<size_t>(channel);
    return units[index].isEmpty() ? names[index] : QStringLiteral("%1 (%2)").arg(names[index], units[index]);
}

LiveValueDecoder::LiveValueDecoder(std::shared_ptr<const IDevice> device, std::shared_ptr<UnitsHelper> units)
    : _device(std::move(device)), _layout(std::make_shared<LiveLayout>()),
      _hardwareErrorAddress(_device ? _device->getHardwareErrorAddress() : -1)
{
    if (_device && _device->description().protocols.contains(int(BusProtocol::Feetech)))
        _answerBits = BusProtocol::Feetech;
    const std::unique_ptr<FieldCatalogue> catalogue = _device ? std::make_unique<FieldCatalogue>(*_device) : nullptr;
    for (int channel = 0; channel < liveChannelCount; ++channel) {
        const ChannelRecord& record = channelRecords[channel];
        const auto index = static_cast<size_t>(channel);
        FieldCore& map = _maps[index];
        map.physicalQuantity = FieldCore::lookUpQuantity(LiveLayout::fieldName(channel));
        map.units = units;
        _layout->names[index] = QCoreApplication::translate("LiveValues", record.name);
        _layout->units[index] = units->getUnitString(map.physicalQuantity);

        // By role, and only in the quantity the curve shows (a load in per cent is no torque).
        const FieldRecord* field = catalogue ? catalogue->byRole(QLatin1String(record.role)) : nullptr;
        if (field && field->quantity != map.physicalQuantity)
            field = nullptr;
        if (field)
            _fields[index] = *field;
        _layout->described[index] = field && _device && map.loadMetadata(field->objectName, *_device);
    }
}

LiveSample LiveValueDecoder::decode(const QByteArray& response, qint64 arrivalNs) const
{
    // Bytes past the end of a short answer count as 0, as the edit view shows them.
    const QByteArray table = readanswer::dataOnward(response);

    LiveSample sample;
    sample.arrivalNs = arrivalNs;
    sample.layout = _layout;
    if (_hardwareErrorAddress >= 0)
        sample.hardwareError = static_cast<uint8_t>(readanswer::valueAt(response, _hardwareErrorAddress, 1));
    else
        sample.hardwareError = readanswer::alarmsOf(response, _answerBits);
    for (size_t index = 0; index < _fields.size(); ++index) {
        sample.values[index] = _layout->described[index] ? _maps[index].toShown(_fields[index].rawIn(table))
                                                          : std::numeric_limits<double>::quiet_NaN();
    }
    return sample;
}

SampledSpan LiveValueDecoder::spanOf(const std::array<bool, liveChannelCount>& wanted) const
{
    SampledSpan span;
    int end = 0;
    for (size_t index = 0; index < _fields.size(); ++index) {
        if (!wanted[index] || !_layout->described[index])
            continue;
        const FieldRecord& field = _fields[index];
        span.address = span.length == 0 ? field.address : std::min(span.address, field.address);
        end = std::max(end, field.address + field.size);
        span.length = end - span.address;
    }
    if (span.isEmpty())
        return span;
    for (size_t index = 0; index < _fields.size(); ++index) {
        const FieldRecord& field = _fields[index];
        span.channels[index] = _layout->described[index] && field.address >= span.address &&
                               field.address + field.size <= end;
    }
    // A model without the register takes the alarms from the error byte every answer has.
    span.hardwareError = _hardwareErrorAddress < 0 ||
                         (_hardwareErrorAddress >= span.address && _hardwareErrorAddress < end);
    return span;
}

LiveSample LiveValueDecoder::decodeSpan(const QByteArray& response, int address, qint64 arrivalNs) const
{
    const QByteArray data = readanswer::table(response);
    const int end = address + int(data.size());
    // Laid out from address 0, so each field reads it as it reads a whole table.
    QByteArray table(address, '\0');
    table += data;

    LiveSample sample;
    sample.arrivalNs = arrivalNs;
    sample.layout = _layout;
    if (_hardwareErrorAddress >= 0) {
        sample.hardwareErrorKnown = _hardwareErrorAddress >= address && _hardwareErrorAddress < end;
        if (sample.hardwareErrorKnown)
            sample.hardwareError = uint8_t(table.at(_hardwareErrorAddress));
    } else {
        sample.hardwareError = readanswer::alarmsOf(response, _answerBits);
    }
    for (size_t index = 0; index < _fields.size(); ++index) {
        const FieldRecord& field = _fields[index];
        const bool inside = field.address >= address && field.address + field.size <= end;
        sample.values[index] = _layout->described[index] && inside ? _maps[index].toShown(field.rawIn(table))
                                                                   : std::numeric_limits<double>::quiet_NaN();
    }
    return sample;
}

qint64 LiveValueDecoder::monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
