#include "cli/commandcontext.h"

#include "cli/output.h"

#include "core/jobs/servosearch.h"

namespace cli {

int CommandContext::connectBus()
{
    _bus = std::make_unique<BusClient>(_globals.portName, _globals.baudRate, _globals.id, _globals.protocol);
    if (_globals.as)
        _bus->treatUnknownAs(_globals.as);
    const int status = _bus->connect();
    if (status != ExitDone)
        err() << "velkora-servo: " << _bus->error() << '\n';
    return status;
}

int CommandContext::rawOf(const QString& key) const
{
    const FieldRecord* field = _bus->catalogue().byKey(key);
    return field ? field->rawIn(_bus->table()) : 0;
}

int CommandContext::rawOfRole(const QString& role) const
{
    const FieldRecord* field = _bus->catalogue().byRole(role);
    return field ? field->rawIn(_bus->table()) : 0;
}

QString CommandContext::modelName() const
{
    return ServoSearch::modelText(rawOfRole(QStringLiteral("modelNumber")));
}

} // namespace cli
