#pragma once

#include "cli/busclient.h"

#include "core/protocol/statuspacketframer.h"

#include <QString>

#include <memory>

struct ModelDescription;

namespace cli {

// The options before the command, as every command reads them.
struct Globals
{
    QString portName;
    int baudRate = 1000000;
    int id = 1;
    BusProtocol protocol = BusProtocol::Two;
    bool json = false;
    bool raw = false;
    // --as: the model of a servo whose model number no description lists.
    std::shared_ptr<const ModelDescription> as;
};

// What a command works with: the common options, and the servo once it is connected.
class CommandContext
{
public:
    explicit CommandContext(Globals globals) : _globals(std::move(globals)) {}

    const Globals& globals() const { return _globals; }
    // Connects to the servo the options name, or says why not; ExitDone when it answered.
    int connectBus();
    // The connected servo; only after connectBus() gave ExitDone.
    BusClient& bus() const { return *_bus; }
    // A field's raw value in the newest table read; 0 for a key the model has not.
    int rawOf(const QString& key) const;
    // The raw value of the model's entry with the role ("presentVoltage"); 0 when it has none.
    int rawOfRole(const QString& role) const;
    // The model's name from the table read ("AX-12").
    QString modelName() const;

private:
    Globals _globals;
    std::unique_ptr<BusClient> _bus;
};

} // namespace cli
