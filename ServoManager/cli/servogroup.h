#pragma once

#include "core/model/fieldcatalogue.h"
#include "core/protocol/multianswerframer.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

class IDevice;
class SerialHelper;
struct BusRequest;
struct BusResult;
struct ModelDescription;
struct MultiReadItem;

namespace cli {

struct Globals;

// One servo of a group as its identification found it.
struct GroupServo
{
    enum class State
    {
        Silent,       // no answer to the model number's read
        UnknownModel, // no description covers its model number (and --as chose none)
        Known,
    };
    int id = 0;
    State state = State::Silent;
    int modelNumber = -1;
    std::optional<int> firmware;
    std::shared_ptr<const ModelDescription> model;
    std::shared_ptr<IDevice> device;
    std::shared_ptr<const FieldCatalogue> catalogue;

    bool known() const { return state == State::Known; }
    // "no answer", or the unknown model number, for a servo that cannot be read.
    QString problemText() const;
};

// The bytes one servo is asked for in a round; a length of 0: it is not asked.
struct Span
{
    int address = 0;
    int length = 0;
};

// Several servos on the port the options name, for a command that runs to its end: each call
// waits (running the event loop) until the bus has answered or failed. Reads never send a servo an
// instruction its description does not list: the multi-servo read every servo of a round answers,
// else one read after another.
class ServoGroup
{
public:
    explicit ServoGroup(const Globals& globals);
    ~ServoGroup();
    ServoGroup(const ServoGroup&) = delete;
    ServoGroup& operator=(const ServoGroup&) = delete;

    // The error text; empty when the port is open.
    QString open();
    // Reads each servo's model number, one after another, in the order given.
    void identify(const QList<int>& ids);
    const QList<GroupServo>& servos() const { return _servos; }

    // The multi-servo read the known servos asked at `spans` (the servos' order) share; none: one
    // by one.
    std::optional<MultiReadKind> kindFor(const QList<Span>& spans) const;
    // One round: each servo's bytes at its span, in the servos' order; none where it failed or was
    // not asked.
    QList<std::optional<QByteArray>> read(const QList<Span>& spans);

private:
    QList<MultiReadAnswer> readTogether(MultiReadKind kind, const QList<MultiReadItem>& items);
    BusResult request(const BusRequest& request);
    void identifyOne(GroupServo& servo);

    std::shared_ptr<SerialHelper> _serial;
    const Globals& _globals;
    QList<GroupServo> _servos;
};

// The bytes each servo is asked for at most in one read: a part every protocol's status packet
// holds, well within what a servo buffers for a sync read's answer.
constexpr int largestPart = 128;

// `length` bytes from `address` cut into parts of at most `largestPart`.
QList<Span> partsOf(int address, int length);

} // namespace cli
