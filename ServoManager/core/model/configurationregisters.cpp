#include "core/model/configurationregisters.h"

#include "core/model/fieldcatalogue.h"
#include "core/model/modelregistry.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {
const char* const formatName = "velkora-servo-configuration";

QString tr(const char* text)
{
    return QCoreApplication::translate("ConfigurationRegisters", text);
}
} // namespace

QString configurationRegisters(const QByteArray& json, const QString& fileName, int modelNumber,
                               QList<RegisterBytes>* registers)
{
    registers->clear();
    const QJsonDocument document = QJsonDocument::fromJson(json);
    const QJsonObject root = document.object();
    if (!document.isObject() || root.value(QStringLiteral("format")).toString() != QLatin1String(formatName))
        return tr("%1: not a servo configuration file").arg(fileName);
    if (root.value(QStringLiteral("version")).toInt() != 1)
        return tr("%1: a format version this program does not read").arg(fileName);
    const int fileModel = root.value(QStringLiteral("servo")).toObject().value(QStringLiteral("modelNumber")).toInt(-1);
    if (fileModel != modelNumber)
        return tr("%1: a configuration of model number %2, not %3").arg(fileName).arg(fileModel).arg(modelNumber);
    const std::shared_ptr<IDevice> device = deviceOf(ModelRegistry::shared().byNumber(modelNumber));
    if (!device)
        return tr("%1: no model description covers model number %2").arg(fileName).arg(modelNumber);
    const FieldCatalogue catalogue(*device);
    const QJsonObject values = root.value(QStringLiteral("values")).toObject();
    for (auto it = values.begin(); it != values.end(); ++it) {
        const FieldRecord* field = catalogue.byKey(it.key());
        if (!field || (field->group != FieldGroup::NonVolatile && field->group != FieldGroup::Volatile))
            return tr("%1: \"%2\" is no setting of this model").arg(fileName, it.key());
        const QJsonValue raw = it.value().toObject().value(QStringLiteral("raw"));
        const double number = raw.toDouble(NAN);
        if (!raw.isDouble() || std::floor(number) != number)
            return tr("%1: \"%2\" needs its raw value").arg(fileName, it.key());
        if (field->role == QLatin1String("id") || field->role == QLatin1String("baudRate"))
            continue;
        const auto value = static_cast<qint64>(number);
        QByteArray bytes(field->size, '\0');
        for (int i = 0; i < field->size; ++i)
            bytes[field->bigEndian ? field->size - 1 - i : i] = char((value >> (8 * i)) & 0xFF);
        registers->append({field->address, bytes});
    }
    return {};
}
