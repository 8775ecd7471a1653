#include "core/model/fielddependencies.h"

namespace fielddependencies {
namespace {
Maker& installed()
{
    static Maker maker;
    return maker;
}
} // namespace

void install(Maker maker)
{
    installed() = std::move(maker);
}

std::shared_ptr<IFieldDependency> make(const QString& objectName)
{
    return installed() ? installed()(objectName) : nullptr;
}
} // namespace fielddependencies
