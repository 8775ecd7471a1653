#include "cli/output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace cli {

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream& err()
{
    static QTextStream stream(stderr);
    return stream;
}

void printJson(const QJsonValue& value)
{
    const QJsonDocument document =
        value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    out() << QString::fromUtf8(document.toJson(QJsonDocument::Indented));
    out().flush();
}

int fail(int status, const QString& message)
{
    err() << "velkora-servo: " << message << '\n';
    return status;
}

void printRowNow(const QStringList& cells)
{
    // Past the text stream: it would keep the row until it fills.
    std::fputs((cells.join(QLatin1Char(',')) + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

} // namespace cli
