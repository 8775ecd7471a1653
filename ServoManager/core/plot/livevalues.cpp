#include "plot/livevalues.h"

#include "bus/readanswer.h"

#include "device/fieldcatalogue.h"
#include "device/fieldregisters.h"
#include "device/idevice.h"
#include "units/unitshelper.h"

#include <QCoreApplication>

#include <chrono>
#include <cmath>
#include <limits>

namespace {
constexpr int hardwareErrorAddress = 107;

struct ChannelRecord
{
    const char* name;
    const char* field;
};

const ChannelRecord channelRecords[liveChannelCount] = {
    {QT_TRANSLATE_NOOP("LiveValues", "Actual position"), "actualPositionLineEdit"},
    {QT_TRANSLATE_NOOP("LiveValues", "Actual angular velocity"), "actualAngularVelocityLineEdit"},
    {QT_TRANSLATE_NOOP("LiveValues", "Actual torque"), "actualTorqueLineEdit"},
    {QT_TRANSLATE_NOOP("LiveValues", "Voltage"), "actualVoltageLineEdit"},
    {QT_TRANSLATE_NOOP("LiveValues", "Phase current"), "actualQuadratureCurrentLineEdit"},
    {QT_TRANSLATE_NOOP("LiveValues", "Temperature"), "actualTemperatureLineEdit"},
    {QT_TRANSLATE_NOOP("LiveValues", "Target position"), "targetPositionDoubleSpinBox"},
    {QT_TRANSLATE_NOOP("LiveValues", "Target angular velocity"), "targetAngularVelocityDoubleSpinBox"},
    {QT_TRANSLATE_NOOP("LiveValues", "Target torque"), "targetTorqueDoubleSpinBox"},
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
    : _device(std::move(device)), _layout(std::make_shared<LiveLayout>())
{
    const std::unique_ptr<FieldCatalogue> catalogue = _device ? std::make_unique<FieldCatalogue>(*_device) : nullptr;
    for (int channel = 0; channel < liveChannelCount; ++channel) {
        const ChannelRecord& record = channelRecords[channel];
        const auto index = static_cast<size_t>(channel);
        FieldCore& map = _maps[index];
        map.physicalQuantity = FieldCore::lookUpQuantity(LiveLayout::fieldName(channel));
        map.units = units;
        _layout->names[index] = QCoreApplication::translate("LiveValues", record.name);
        _layout->units[index] = units->getUnitString(map.physicalQuantity);

        Location& location = _locations[index];
        if (const FieldRecord* field = catalogue ? catalogue->byObjectName(LiveLayout::fieldName(channel)) : nullptr) {
            location = {field->address, field->size, field->isSigned, field->mask & registerMask(field->size)};
        }
        _layout->described[index] =
            location.address >= 0 && _device && map.loadMetadata(LiveLayout::fieldName(channel), *_device);
    }
}

LiveSample LiveValueDecoder::decode(const QByteArray& response, qint64 arrivalNs) const
{
    // Bytes past the end of a short answer count as 0, as the edit view shows them.
    auto valueAt = [&response](int address, int byteCount) {
        return readanswer::valueAt(response, address, byteCount);
    };

    LiveSample sample;
    sample.arrivalNs = arrivalNs;
    sample.layout = _layout;
    sample.hardwareError = _device && _device->hasVelkoraControlTable()
                               ? static_cast<uint8_t>(valueAt(hardwareErrorAddress, 1))
                               : readanswer::errorByte(response);
    for (size_t index = 0; index < _locations.size(); ++index) {
        const Location& location = _locations[index];
        if (!_layout->described[index]) {
            sample.values[index] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        uint32_t value = valueAt(location.address, location.byteCount) & location.mask;
        int raw = static_cast<int>(value);
        if (location.isSigned && location.byteCount == 2)
            raw = static_cast<int16_t>(value);
        sample.values[index] = _maps[index].toShown(raw);
    }
    return sample;
}

qint64 LiveValueDecoder::monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
