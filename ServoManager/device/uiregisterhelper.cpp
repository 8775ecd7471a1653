#include "device/uiregisterhelper.h"

#include "bus/devicehelper.h"
#include "device/idevice.h"
#include "device/statushelper.h"
#include "fields/fieldinterfaces.h"
#include "fields/velkoraparametersgroupbox.h"
#include "views/registerview.h"

#include <QWidget>

#include <algorithm>
#include <exception>
#include <iterator>

namespace {
// Status packet layout: error byte, then the data of the read.
constexpr int errorBytePosition = 8;
constexpr int firstDataPosition = 9;
} // namespace

std::shared_ptr<UiRegisterHelper> UiRegisterHelper::_instance;

UiRegisterHelper::UiRegisterHelper()
{
    buildRegisterMetadata();
}

template <typename U>
void UiRegisterHelper::insertRegisterMetadataItem(uint8_t address, uint8_t byteCount,
                                                  void (UiRegisterHelper::*handler)(U))
{
    // The conversion to U truncates to the item's width and sign-extends the signed types.
    auto item = std::make_shared<RegisterItemHelper>(RegisterItemHelper{
        byteCount, [this, handler](int value) { (this->*handler)(static_cast<U>(value)); }});
    _registerMetadata.emplace(address, std::move(item));
}

// The V1 control table, item by item from address 0 to 119 without gaps.
void UiRegisterHelper::buildRegisterMetadata()
{
    insertRegisterMetadataItem(0, 2, &UiRegisterHelper::showModelNumber);
    insertRegisterMetadataItem(2, 1, &UiRegisterHelper::showFirmwareVersion);
    insertRegisterMetadataItem(3, 1, &UiRegisterHelper::showID);
    insertRegisterMetadataItem(4, 1, &UiRegisterHelper::showBaudRate);
    insertRegisterMetadataItem(5, 1, &UiRegisterHelper::showAckResponseTime);
    insertRegisterMetadataItem(6, 1, &UiRegisterHelper::showOperatingMode);
    insertRegisterMetadataItem(7, 2, &UiRegisterHelper::showClockwiseLimit);
    insertRegisterMetadataItem(9, 2, &UiRegisterHelper::showCounterClockwiseLimit);
    insertRegisterMetadataItem(11, 1, &UiRegisterHelper::showTemperatureLimit);
    insertRegisterMetadataItem(12, 1, &UiRegisterHelper::showLowerVoltageLimit);
    insertRegisterMetadataItem(13, 1, &UiRegisterHelper::showUpperVoltageLimit);
    insertRegisterMetadataItem(14, 2, &UiRegisterHelper::showTorqueLimit);
    insertRegisterMetadataItem(16, 2, &UiRegisterHelper::showAngularVelocityLimit);
    insertRegisterMetadataItem(18, 2, &UiRegisterHelper::showAccelerationLimit);
    insertRegisterMetadataItem(20, 4, &UiRegisterHelper::showHomePositionOffset);
    insertRegisterMetadataItem(24, 2, &UiRegisterHelper::showMovingThreshold);
    insertRegisterMetadataItem(26, 1, &UiRegisterHelper::showInputMode);
    insertRegisterMetadataItem(27, 2, &UiRegisterHelper::showDefPositionProportionalTerm);
    insertRegisterMetadataItem(29, 2, &UiRegisterHelper::showDefVelocityFeedforwardTerm);
    insertRegisterMetadataItem(31, 2, &UiRegisterHelper::showDefCurrentFeedforwardTerm);
    insertRegisterMetadataItem(33, 2, &UiRegisterHelper::showDefVelocityIntegralTerm);
    insertRegisterMetadataItem(35, 2, &UiRegisterHelper::showDefVelocityProportionalTerm);
    insertRegisterMetadataItem(37, 2, &UiRegisterHelper::showDefAngularVelocityProfile);
    insertRegisterMetadataItem(39, 2, &UiRegisterHelper::showDefAccelerationProfile);
    insertRegisterMetadataItem(41, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(42, 2, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(44, 2, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(46, 2, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(48, 1, &UiRegisterHelper::showControlEnable);
    insertRegisterMetadataItem(49, 1, &UiRegisterHelper::showPendingShadowInstruction);
    insertRegisterMetadataItem(50, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(52, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(54, 2, &UiRegisterHelper::showPositionProportionalTerm);
    insertRegisterMetadataItem(56, 2, &UiRegisterHelper::showVelocityFeedforwardTerm);
    insertRegisterMetadataItem(58, 2, &UiRegisterHelper::showCurrentFeedforwardTerm);
    insertRegisterMetadataItem(60, 2, &UiRegisterHelper::showVelocityIntegralTerm);
    insertRegisterMetadataItem(62, 2, &UiRegisterHelper::showVelocityProportionalTerm);
    insertRegisterMetadataItem(64, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(66, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(68, 2, &UiRegisterHelper::showAngularVelocityProfile);
    insertRegisterMetadataItem(70, 2, &UiRegisterHelper::showAccelerationProfile);
    insertRegisterMetadataItem(72, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(74, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(76, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(78, 4, &UiRegisterHelper::showTargetPosition);
    insertRegisterMetadataItem(82, 2, &UiRegisterHelper::showTargetAngularVelocity);
    insertRegisterMetadataItem(84, 2, &UiRegisterHelper::showTargetTorque);
    insertRegisterMetadataItem(86, 4, &UiRegisterHelper::showActualPosition);
    insertRegisterMetadataItem(90, 2, &UiRegisterHelper::showActualAngularvelocity);
    insertRegisterMetadataItem(92, 2, &UiRegisterHelper::showActualTorque);
    insertRegisterMetadataItem(94, 1, &UiRegisterHelper::showActualVoltage);
    insertRegisterMetadataItem(95, 2, &UiRegisterHelper::showActualCurrent);
    insertRegisterMetadataItem(97, 1, &UiRegisterHelper::showActualTemperature);
    insertRegisterMetadataItem(98, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(99, 1, &UiRegisterHelper::showIsMoving);
    insertRegisterMetadataItem(100, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(101, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(103, 4, &UiRegisterHelper::noOp32);
    insertRegisterMetadataItem(107, 1, &UiRegisterHelper::showHardwareErrorStatus);
    insertRegisterMetadataItem(108, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(109, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(110, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(111, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(112, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(113, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(114, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(116, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(118, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(119, 1, &UiRegisterHelper::noOp);
}

uint32_t UiRegisterHelper::valueAt(const QByteArray& response, int address, int byteCount)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(response.constData());
    const int start = firstDataPosition + address;
    uint32_t value = 0;
    for (int i = 0; i < byteCount && start + i < response.size(); ++i)
        value |= uint32_t(bytes[start + i]) << (8 * i);
    return value;
}

uint8_t UiRegisterHelper::errorByte(const QByteArray& response)
{
    return response.size() > errorBytePosition ? static_cast<uint8_t>(response.at(errorBytePosition)) : 0;
}

void UiRegisterHelper::decodeResponse(const QByteArray& response)
{
    const int size = response.size();
    // Data between the error byte and the two checksum bytes.
    _lastTable = response.mid(firstDataPosition, std::max(0, size - firstDataPosition - 2));

    const auto device = DeviceHelper::_instance ? DeviceHelper::_instance->getDevice() : nullptr;
    if (device && !device->hasVelkoraControlTable()) {
        // Another layout: V1 addresses would mix registers; only the values it describes.
        for (const FieldRegister& location : device->getFieldRegisters())
            showRegisteredField(QString(location.name),
                                static_cast<int>(valueAt(response, location.address, location.byteCount)));
    } else {
        RegisterView* view = RegisterView::_instance;
        if (view)
            view->updateNumberBase();
        for (const auto& [address, item] : _registerMetadata) {
            const uint32_t value = valueAt(response, address, item->byteCount);
            item->handler(static_cast<int>(value));
            if (view)
                view->setRegisterField(address, item->byteCount, value);
        }
    }

    if (StatusHelper::_instance)
        StatusHelper::_instance->displayStatusPacket(errorByte(response));
}

void UiRegisterHelper::registerUnitDataField(IUnitDataField* field)
{
    _fields.emplace(field->objectName(), field);
}

void UiRegisterHelper::unregisterFieldsBelow(const QObject* root)
{
    for (auto it = _fields.begin(); it != _fields.end();) {
        const auto* object = dynamic_cast<const QObject*>(it->second);
        bool below = false;
        for (const QObject* o = object; o && !below; o = o->parent())
            below = o == root;
        it = below ? _fields.erase(it) : std::next(it);
    }
}

IUnitDataField* UiRegisterHelper::getRegisteredField(QString&& name) const
{
    const auto it = _fields.find(name);
    return it == _fields.end() ? nullptr : it->second;
}

void UiRegisterHelper::showRegisteredField(QString&& name, int value)
{
    const auto it = _fields.find(name);
    if (it == _fields.end())
        return;
    IUnitDataField* field = it->second;
    // Runs inside the scheduler's answer handling: a failing field must not end the program.
    try {
        field->processDependencies();
        if (isGroupUpdating(field))
            return;
        field->setServoValue(value);
    } catch (const std::exception&) {
        // The field keeps its previous value; the next poll tries again.
    }
}

bool UiRegisterHelper::isGroupUpdating(IUnitDataField* field) const
{
    const auto* widget = dynamic_cast<QWidget*>(field);
    const auto* groupBox =
        widget ? qobject_cast<VelkoraParametersGroupBox*>(widget->parentWidget()) : nullptr;
    return groupBox && groupBox->isEditing;
}

void UiRegisterHelper::showModelNumber(unsigned short value)
{
    showRegisteredField(QStringLiteral("modelNumberLineEdit"), value);
}

void UiRegisterHelper::showFirmwareVersion(unsigned short value)
{
    showRegisteredField(QStringLiteral("firmwareVersionLineEdit"), value);
}

void UiRegisterHelper::showID(unsigned char value)
{
    showRegisteredField(QStringLiteral("idSpinBox"), value);
}

void UiRegisterHelper::showBaudRate(unsigned char value)
{
    showRegisteredField(QStringLiteral("baudRateComboBox"), value);
}

void UiRegisterHelper::showAckResponseTime(unsigned char value)
{
    showRegisteredField(QStringLiteral("ackResponseTimeSpinBox"), value);
}

void UiRegisterHelper::showOperatingMode(unsigned char value)
{
    showRegisteredField(QStringLiteral("operatingModeComboBox"), value);
}

void UiRegisterHelper::showClockwiseLimit(short value)
{
    showRegisteredField(QStringLiteral("clockwiseLimitDoubleSpinBox"), value);
}

void UiRegisterHelper::showCounterClockwiseLimit(short value)
{
    showRegisteredField(QStringLiteral("counterClockwiseLimitDoubleSpinBox"), value);
}

void UiRegisterHelper::showTemperatureLimit(unsigned char value)
{
    showRegisteredField(QStringLiteral("temperatureLimitDoubleSpinBox"), value);
}

void UiRegisterHelper::showLowerVoltageLimit(unsigned char value)
{
    showRegisteredField(QStringLiteral("minVoltageLimitDoubleSpinBox"), value);
}

void UiRegisterHelper::showUpperVoltageLimit(unsigned char value)
{
    showRegisteredField(QStringLiteral("maxVoltageLimitDoubleSpinBox"), value);
}

void UiRegisterHelper::showTorqueLimit(unsigned short value)
{
    showRegisteredField(QStringLiteral("quadratureCurrentLimitDoubleSpinBox"), value);
}

void UiRegisterHelper::showAngularVelocityLimit(unsigned short value)
{
    showRegisteredField(QStringLiteral("angularVelocityLimitDoubleSpinBox"), value);
}

void UiRegisterHelper::showAccelerationLimit(unsigned short value)
{
    showRegisteredField(QStringLiteral("accelerationLimitDoubleSpinBox"), value);
}

void UiRegisterHelper::showHomePositionOffset(int value)
{
    showRegisteredField(QStringLiteral("hornPositionOffsetDoubleSpinBox"), value);
}

void UiRegisterHelper::showMovingThreshold(unsigned short value)
{
    showRegisteredField(QStringLiteral("movingThresholdDoubleSpinBox"), value);
}

void UiRegisterHelper::showInputMode(unsigned char value)
{
    showRegisteredField(QStringLiteral("inputModeComboBox"), value);
}

void UiRegisterHelper::showDefPositionProportionalTerm(unsigned short value)
{
    showRegisteredField(QStringLiteral("defPositionProportionalTermDoubleSpinBox"), value);
}

void UiRegisterHelper::showDefVelocityFeedforwardTerm(unsigned short value)
{
    showRegisteredField(QStringLiteral("defVelocityFeedforwardTermDoubleSpinBox"), value);
}

void UiRegisterHelper::showDefCurrentFeedforwardTerm(unsigned short value)
{
    showRegisteredField(QStringLiteral("defCurrentFeedforwardTermDoubleSpinBox"), value);
}

void UiRegisterHelper::showDefVelocityIntegralTerm(unsigned short value)
{
    showRegisteredField(QStringLiteral("defVelocityIntegralTermDoubleSpinBox"), value);
}

void UiRegisterHelper::showDefVelocityProportionalTerm(unsigned short value)
{
    showRegisteredField(QStringLiteral("defVelocityProportionalTermDoubleSpinBox"), value);
}

void UiRegisterHelper::showDefAngularVelocityProfile(unsigned short value)
{
    showRegisteredField(QStringLiteral("defAngularVelocityProfileDoubleSpinBox"), value);
}

void UiRegisterHelper::showDefAccelerationProfile(unsigned short value)
{
    showRegisteredField(QStringLiteral("defAccelerationProfileDoubleSpinBox"), value);
}

void UiRegisterHelper::noOp(unsigned char) {}

void UiRegisterHelper::showControlEnable(unsigned char value)
{
    showRegisteredField(QStringLiteral("enableMotorCheckBox"), value);
}

void UiRegisterHelper::showPendingShadowInstruction(unsigned char value)
{
    showRegisteredField(QStringLiteral("pendingShadowInstructionCheckBox"), value);
}

void UiRegisterHelper::noOp16(unsigned short) {}

void UiRegisterHelper::showPositionProportionalTerm(unsigned short value)
{
    showRegisteredField(QStringLiteral("positionProportionalTermDoubleSpinBox"), value);
}

void UiRegisterHelper::showVelocityFeedforwardTerm(unsigned short value)
{
    showRegisteredField(QStringLiteral("velocityFeedforwardTermDoubleSpinBox"), value);
}

void UiRegisterHelper::showCurrentFeedforwardTerm(unsigned short value)
{
    showRegisteredField(QStringLiteral("currentFeedforwardTermDoubleSpinBox"), value);
}

void UiRegisterHelper::showVelocityIntegralTerm(unsigned short value)
{
    showRegisteredField(QStringLiteral("velocityIntegralTermDoubleSpinBox"), value);
}

void UiRegisterHelper::showVelocityProportionalTerm(unsigned short value)
{
    showRegisteredField(QStringLiteral("velocityProportionalTermDoubleSpinBox"), value);
}

void UiRegisterHelper::showAngularVelocityProfile(unsigned short value)
{
    showRegisteredField(QStringLiteral("angularVelocityProfileDoubleSpinBox"), value);
}

void UiRegisterHelper::showAccelerationProfile(unsigned short value)
{
    showRegisteredField(QStringLiteral("accelerationProfileDoubleSpinBox"), value);
}

void UiRegisterHelper::showTargetPosition(int value)
{
    showRegisteredField(QStringLiteral("targetPositionDoubleSpinBox"), value);
}

void UiRegisterHelper::showActualPosition(int value)
{
    showRegisteredField(QStringLiteral("actualPositionLineEdit"), value);
}

void UiRegisterHelper::showActualAngularvelocity(unsigned short value)
{
    showRegisteredField(QStringLiteral("actualAngularVelocityLineEdit"), value);
}

void UiRegisterHelper::showActualTorque(unsigned short value)
{
    showRegisteredField(QStringLiteral("actualTorqueLineEdit"), value);
}

void UiRegisterHelper::showActualVoltage(unsigned char value)
{
    showRegisteredField(QStringLiteral("actualVoltageLineEdit"), value);
}

void UiRegisterHelper::showActualCurrent(unsigned short value)
{
    showRegisteredField(QStringLiteral("actualQuadratureCurrentLineEdit"), value);
}

void UiRegisterHelper::showActualTemperature(unsigned char value)
{
    showRegisteredField(QStringLiteral("actualTemperatureLineEdit"), value);
}

void UiRegisterHelper::showIsMoving(unsigned char value)
{
    showRegisteredField(QStringLiteral("isMovingCheckBox"), value);
}

void UiRegisterHelper::noOp32(unsigned int) {}

// Bits 0-14 are the magnitude, bit 15 the direction (1 clockwise).
void UiRegisterHelper::showTargetAngularVelocity(unsigned short value)
{
    showRegisteredField(QStringLiteral("targetAngularVelocityDoubleSpinBox"), value & 0x7FFF);
    showRegisteredField(QStringLiteral("targetAngularVelocityDirectionComboBox"), value >> 15);
}

void UiRegisterHelper::showTargetTorque(unsigned short value)
{
    showRegisteredField(QStringLiteral("targetTorqueDoubleSpinBox"), value & 0x7FFF);
    showRegisteredField(QStringLiteral("targetTorqueDirectionComboBox"), value >> 15);
}

// Each indicator gets its bit as masked (0 or the mask), not as 0 or 1. Bit 5 is the overload
// bit of servos of this protocol family; bits 6 and 7 show nowhere.
void UiRegisterHelper::showHardwareErrorStatus(unsigned char value)
{
    if (StatusHelper::_instance)
        StatusHelper::_instance->displayOverload((value & 0x20) != 0);
    showRegisteredField(QStringLiteral("inputVoltageStatusCheckBox"), value & 1);
    showRegisteredField(QStringLiteral("hallStatusCheckBox"), value & 2);
    showRegisteredField(QStringLiteral("overheatingStatusCheckBox"), value & 4);
    showRegisteredField(QStringLiteral("encoderStatusCheckBox"), value & 8);
    showRegisteredField(QStringLiteral("angleLimitStatusCheckBox"), value & 16);
}
