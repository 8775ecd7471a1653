#include "core/transport/defaultport.h"

#include <QDir>
#include <QRegularExpression>

#include <algorithm>

namespace defaultport {

QString firstUsbAdapter(const QStringList& listed, const QStringList& byIdLinks)
{
    static const QRegularExpression usbName(QStringLiteral("^(/dev/)?tty(USB|ACM)\\d+$"));
    QStringList adapters;
    for (const QString& name : listed)
        if (usbName.match(name).hasMatch())
            adapters << name;
    // ttyUSB10 after ttyUSB9: the adapter plugged in first has the lowest number.
    std::sort(adapters.begin(), adapters.end(), [](const QString& a, const QString& b) {
        const QString kindA = a.section(QRegularExpression(QStringLiteral("\\d+$")), 0, 0);
        const QString kindB = b.section(QRegularExpression(QStringLiteral("\\d+$")), 0, 0);
        if (kindA != kindB)
            return kindA > kindB; // ttyUSB before ttyACM
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    if (!adapters.isEmpty())
        return adapters.first();
    return byIdLinks.value(0);
}

QStringList serialByIdLinks()
{
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    QStringList links;
    for (const QString& name : byId.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        links << byId.filePath(name);
    return links;
}

} // namespace defaultport
