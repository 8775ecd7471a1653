#pragma once

#include <QString>

#include <functional>
#include <memory>

class IFieldDependency;

// What runs when a field's value is refreshed: the edit view's mode controllers. The window
// installs the maker; a program without an edit view installs none, and no field has one.
namespace fielddependencies {
using Maker = std::function<std::shared_ptr<IFieldDependency>(const QString& objectName)>;
void install(Maker maker);
// Empty when no maker is installed or the field has no dependency.
std::shared_ptr<IFieldDependency> make(const QString& objectName);
} // namespace fielddependencies
