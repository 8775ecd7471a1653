#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <cstddef>
#include <map>
#include <memory>

class IUnitDataField;
class QObject;

// One entry of the decoding map: the item's width and the handler that shows its value.
struct RegisterItemHelper
{
    uint8_t byteCount;
    // Narrows the assembled value to the item's own type before showing it.
    std::function<void(int)> handler;
};

// Turns the control table of a read-all answer into the values of the edit view's fields,
// hands every item's bytes to the register view and the error byte to the status indicators.
class UiRegisterHelper
{
public:
    using RegisterMetadata = std::map<uint8_t, std::shared_ptr<RegisterItemHelper>>;

    static std::shared_ptr<UiRegisterHelper> _instance;

    UiRegisterHelper();
    // The handlers are bound to this object.
    UiRegisterHelper(const UiRegisterHelper&) = delete;
    UiRegisterHelper& operator=(const UiRegisterHelper&) = delete;

    // Decodes a Protocol 2 status packet of a read that started at address 0: error byte at
    // position 8, data from position 9. All entries are visited whatever the length; those
    // past the end of the answer get the bytes that are there (0 when none).
    void decodeResponse(const QByteArray& response);

    // Of a read-all answer: the little-endian item of `byteCount` bytes at `address`; bytes
    // past the end of a short answer count as 0. And the answer's error byte (0 if none).
    static uint32_t valueAt(const QByteArray& response, int address, int byteCount);
    static uint8_t errorByte(const QByteArray& response);

    // The control table of the latest read-all answer (data bytes only).
    const QByteArray& lastTable() const { return _lastTable; }

    // A copy of the decoding map; the items are shared.
    RegisterMetadata getRegisterMetadata() const { return _registerMetadata; }

    // A name that is already registered keeps its first widget.
    void registerUnitDataField(IUnitDataField* field);
    // Forgets the fields that lie below `root` (an edit view that goes away).
    void unregisterFieldsBelow(const QObject* root);
    std::size_t registeredFieldCount() const { return _fields.size(); }
    IUnitDataField* getRegisteredField(QString&& name) const;
    // Runs the field's dependency, then shows the value unless the user edits its group.
    void showRegisteredField(QString&& name, int value);
    bool isGroupUpdating(IUnitDataField* field) const;

    // Show handlers, one per decoding entry.
    void showModelNumber(unsigned short value);
    void showFirmwareVersion(unsigned short value);
    void showID(unsigned char value);
    void showBaudRate(unsigned char value);
    void showAckResponseTime(unsigned char value);
    void showOperatingMode(unsigned char value);
    void showClockwiseLimit(short value);
    void showCounterClockwiseLimit(short value);
    void showTemperatureLimit(unsigned char value);
    void showLowerVoltageLimit(unsigned char value);
    void showUpperVoltageLimit(unsigned char value);
    void showTorqueLimit(unsigned short value);
    void showAngularVelocityLimit(unsigned short value);
    void showAccelerationLimit(unsigned short value);
    void showHomePositionOffset(int value);
    void showMovingThreshold(unsigned short value);
    void showInputMode(unsigned char value);
    void showDefPositionProportionalTerm(unsigned short value);
    void showDefVelocityFeedforwardTerm(unsigned short value);
    void showDefCurrentFeedforwardTerm(unsigned short value);
    void showDefVelocityIntegralTerm(unsigned short value);
    void showDefVelocityProportionalTerm(unsigned short value);
    void showDefAngularVelocityProfile(unsigned short value);
    void showDefAccelerationProfile(unsigned short value);
    void showControlEnable(unsigned char value);
    void showPendingShadowInstruction(unsigned char value);
    void showPositionProportionalTerm(unsigned short value);
    void showVelocityFeedforwardTerm(unsigned short value);
    void showCurrentFeedforwardTerm(unsigned short value);
    void showVelocityIntegralTerm(unsigned short value);
    void showVelocityProportionalTerm(unsigned short value);
    void showAngularVelocityProfile(unsigned short value);
    void showAccelerationProfile(unsigned short value);
    void showTargetPosition(int value);
    void showTargetAngularVelocity(unsigned short value);
    void showTargetTorque(unsigned short value);
    void showActualPosition(int value);
    void showActualAngularvelocity(unsigned short value);
    void showActualTorque(unsigned short value);
    void showActualVoltage(unsigned char value);
    void showActualCurrent(unsigned short value);
    void showActualTemperature(unsigned char value);
    void showIsMoving(unsigned char value);
    void showHardwareErrorStatus(unsigned char value);
    void noOp(unsigned char);
    void noOp16(unsigned short);
    void noOp32(unsigned int);

private:
    void buildRegisterMetadata();
    template <typename U>
    void insertRegisterMetadataItem(uint8_t address, uint8_t byteCount, void (UiRegisterHelper::*handler)(U));

    RegisterMetadata _registerMetadata;
    QByteArray _lastTable;
    std::map<QString, IUnitDataField*> _fields;
};
