#pragma once

#include "core/model/fieldcatalogue.h"
#include "core/model/fieldcore.h"
#include "core/protocol/statuspacketframer.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>

class IDevice;
class UnitsHelper;

// The values that are plotted and recorded, in the order of their curves and CSV columns.
enum class LiveChannel
{
    ActualPosition,
    ActualAngularVelocity,
    ActualTorque,
    ActualVoltage,
    ActualCurrent,
    ActualTemperature,
    TargetPosition,
    TargetAngularVelocity,
    TargetTorque,
};
constexpr int liveChannelCount = 9;

// What the values of one connection mean: names, units and which of them the model has.
// One object per connection, shared by every sample decoded with it.
struct LiveLayout
{
    std::array<QString, liveChannelCount> names;
    std::array<QString, liveChannelCount> units;
    std::array<bool, liveChannelCount> described{};
    // The edit-view field whose formula gives the channel's value.
    static QString fieldName(int channel);
    // "Actual position (rad)"; a value without a unit is its name alone.
    QString caption(int channel) const;
};

// One valid read-all answer, decoded once for everyone who plots or records it.
struct LiveSample
{
    // When the answer arrived, on a monotonic clock (ns).
    qint64 arrivalNs = 0;
    // The hardware error status register; for a model without one, the answer's error byte.
    uint8_t hardwareError = 0;
    // False when the read did not cover the register: hardwareError then says nothing.
    bool hardwareErrorKnown = true;
    // In the units chosen in Settings; NaN for a value the model does not describe or the read
    // did not cover.
    std::array<double, liveChannelCount> values{};
    std::shared_ptr<const LiveLayout> layout;
};

Q_DECLARE_METATYPE(LiveSample)

// The stretch of the control table that holds some of the values, read on its own between polls
// of the whole table.
struct SampledSpan
{
    int address = 0;
    int length = 0; // bytes; 0: nothing to read
    // The values a read of it carries: the wanted ones and any others inside it.
    std::array<bool, liveChannelCount> channels{};
    bool hardwareError = false; // its samples carry the hardware error status
    bool isEmpty() const { return length == 0; }
};

// Decodes read-all answers of one model into samples, with the unit choice it was built
// with. Each value goes through the same conversion as its edit-view field.
class LiveValueDecoder
{
public:
    LiveValueDecoder(std::shared_ptr<const IDevice> device, std::shared_ptr<UnitsHelper> units);

    // `response` is the whole status packet of a read that started at address 0.
    LiveSample decode(const QByteArray& response, qint64 arrivalNs) const;
    // The shortest span that holds the `wanted` values the model describes; empty when none.
    SampledSpan spanOf(const std::array<bool, liveChannelCount>& wanted) const;
    // `response` answers a read from `address` on: the values wholly inside what it carries,
    // the others NaN.
    LiveSample decodeSpan(const QByteArray& response, int address, qint64 arrivalNs) const;

    const IDevice* device() const { return _device.get(); }
    std::shared_ptr<const LiveLayout> layout() const { return _layout; }

    static qint64 monotonicNs();

private:
    std::shared_ptr<const IDevice> _device;
    std::array<FieldCore, liveChannelCount> _maps;
    // Where the model keeps each value, decoded as the edit view decodes it (a target beside its
    // direction bit is the magnitude the edit view shows next to its direction box).
    std::array<FieldRecord, liveChannelCount> _fields;
    std::shared_ptr<LiveLayout> _layout;
    // The register of the hardware error bits; -1: the answer's error byte says them.
    int _hardwareErrorAddress = -1;
    // Whose error bits an answer in Protocol 1's form carries: the model's flavour.
    BusProtocol _answerBits = BusProtocol::One;
};
