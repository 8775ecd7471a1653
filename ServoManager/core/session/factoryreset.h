#pragma once

#include <QList>
#include <QString>

#include <cstdint>

struct ModelDescription;

// A factory reset and where the servo answers after it. Protocol 2's reset instruction takes an
// option saying what to keep; Protocol 1's resets everything. Which options a model's servos take
// is their description's.
namespace factoryreset {

enum class Keeps
{
    Nothing,  // everything returns to the factory values, the id and the rate too
    Id,       // all but the id
    IdAndRate // all but the id and the baud rate
};

// The choices for a servo of `model` (none: not identified) spoken to in `protocol`, the one to
// offer first at the front.
QList<Keeps> choices(const ModelDescription* model, int protocol);
// The option byte of Protocol 2's reset instruction.
uint8_t optionByte(Keeps keeps);
// "all", "allButId", "allButIdAndBaudRate" as the descriptions name them; false for another name.
bool fromName(const QString& name, Keeps* keeps);

struct Address
{
    int id = 1;
    int baudRate = 1000000;
};
// Where a servo at `before` answers after the reset: its model's factory address for what the
// reset does not keep (without a model: id 1 at 1,000,000 baud).
Address after(Keeps keeps, const ModelDescription* model, Address before);

} // namespace factoryreset
