#include "core/session/factoryreset.h"

#include "core/model/modeldescription.h"

namespace factoryreset {

namespace {
// Where servos of the models known before descriptions said so leave the factory.
constexpr Address unknownFactory{1, 1000000};
} // namespace

QList<Keeps> choices(const ModelDescription* model, int protocol)
{
    // Feetech servos: their makers' documents give the reset instruction different codes (one of
    // them another instruction's), so none is sent rather than one of unknown effect.
    if (protocol == 3)
        return {};
    // Protocol 1's reset instruction takes no option.
    if (protocol != 2)
        return {Keeps::Nothing};
    // A servo not yet identified gets the reset that keeps it reachable at its id.
    if (!model)
        return {Keeps::Id};
    QList<Keeps> listed;
    for (const QString& name : model->resetOptions) {
        Keeps keeps = Keeps::Nothing;
        if (fromName(name, &keeps))
            listed.append(keeps);
    }
    return listed.isEmpty() ? QList<Keeps>{Keeps::Nothing} : listed;
}

uint8_t optionByte(Keeps keeps)
{
    switch (keeps) {
    case Keeps::Nothing:
        return 0xFF;
    case Keeps::Id:
        return 0x01;
    case Keeps::IdAndRate:
        return 0x02;
    }
    return 0x01;
}

bool fromName(const QString& name, Keeps* keeps)
{
    if (name == QLatin1String("all"))
        *keeps = Keeps::Nothing;
    else if (name == QLatin1String("allButId"))
        *keeps = Keeps::Id;
    else if (name == QLatin1String("allButIdAndBaudRate"))
        *keeps = Keeps::IdAndRate;
    else
        return false;
    return true;
}

Address after(Keeps keeps, const ModelDescription* model, Address before)
{
    const Address factory = model ? Address{model->factoryId, model->factoryBaudRate} : unknownFactory;
    return {keeps == Keeps::Nothing ? factory.id : before.id,
            keeps == Keeps::IdAndRate ? before.baudRate : factory.baudRate};
}

} // namespace factoryreset
