#include "plot/livevalues.h"

#include "device/idevice.h"
#include "device/uiregisterhelper.h"
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
    int v1Address;
    int v1ByteCount;
    bool v1Signed;
    uint32_t v1Mask;
};

const ChannelRecord channelRecords[liveChannelCount] = {
    {QT_TRANSLATE_NOOP("LiveValues", "Actual position"), "actualPositionLineEdit", 86, 4, true, 0xFFFFFFFF},
    {QT_TRANSLATE_NOOP("LiveValues", "Actual angular velocity"), "actualAngularVelocityLineEdit", 90, 2, false,
     0xFFFF},
    {QT_TRANSLATE_NOOP("LiveValues", "Actual torque"), "actualTorqueLineEdit", 92, 2, false, 0xFFFF},
    {QT_TRANSLATE_NOOP("LiveValues", "Voltage"), "actualVoltageLineEdit", 94, 1, false, 0xFF},
    {QT_TRANSLATE_NOOP("LiveValues", "Phase current"), "actualQuadratureCurrentLineEdit", 95, 2, false, 0xFFFF},
    {QT_TRANSLATE_NOOP("LiveValues", "Temperature"), "actualTemperatureLineEdit", 97, 1, false, 0xFF},
    {QT_TRANSLATE_NOOP("LiveValues", "Target position"), "targetPositionDoubleSpinBox", 78, 4, true, 0xFFFFFFFF},
    {QT_TRANSLATE_NOOP("LiveValues", "Target angular velocity"), "targetAngularVelocityDoubleSpinBox", 82, 2, false,
     0x7FFF},
    {QT_TRANSLATE_NOOP("LiveValues", "Target torque"), "targetTorqueDoubleSpinBox", 84, 2, false, 0x7FFF},
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
    std::vector<FieldRegister> registers;
    const bool v1 = _device && _device->hasVelkoraControlTable();
    if (_device && !v1)
        registers = _device->getFieldRegisters();

    for (int channel = 0; channel < liveChannelCount; ++channel) {
        const ChannelRecord& record = channelRecords[channel];
        const auto index = static_cast<size_t>(channel);
        FieldCore& map = _maps[index];
        map.physicalQuantity = FieldCore::lookUpQuantity(LiveLayout::fieldName(channel));
        map.units = units;
        _layout->names[index] = QCoreApplication::translate("LiveValues", record.name);
        _layout->units[index] = units->getUnitString(map.physicalQuantity);

        Location& location = _locations[index];
        if (v1) {
            location = {record.v1Address, record.v1ByteCount, record.v1Signed, record.v1Mask};
        } else {
            for (const FieldRegister& r : registers)
                if (r.name == LiveLayout::fieldName(channel))
                    location = {r.address, r.byteCount, false, 0xFFFFFFFF};
        }
        _layout->described[index] =
            location.address >= 0 && _device && map.loadMetadata(LiveLayout::fieldName(channel), *_device);
    }
}

LiveSample LiveValueDecoder::decode(const QByteArray& response, qint64 arrivalNs) const
{
    // Bytes past the end of a short answer count as 0, as the edit view shows them.
    auto valueAt = [&response](int address, int byteCount) {
        return UiRegisterHelper::valueAt(response, address, byteCount);
    };

    LiveSample sample;
    sample.arrivalNs = arrivalNs;
    sample.layout = _layout;
    sample.hardwareError = _device && _device->hasVelkoraControlTable()
                               ? static_cast<uint8_t>(valueAt(hardwareErrorAddress, 1))
                               : UiRegisterHelper::errorByte(response);
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
