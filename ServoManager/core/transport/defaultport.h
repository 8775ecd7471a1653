#pragma once

#include <QString>
#include <QStringList>

// The port a first start offers: servos hang on USB–serial adapters, not on the machine's own
// ttyS ports, which every PC lists whether anything is wired to them or not.
namespace defaultport {

// The first USB adapter among `listed` (port names as the port list gives them, "ttyUSB0") or,
// when none is listed, the first of `byIdLinks` (paths under /dev/serial/by-id); empty when
// there is neither.
QString firstUsbAdapter(const QStringList& listed, const QStringList& byIdLinks);

// The links under /dev/serial/by-id, sorted.
QStringList serialByIdLinks();

} // namespace defaultport
