#include "core/model/modeldescription.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <stdexcept>

namespace {

using Q = PhysicalQuantitiesEnum;

// The quantities by the names description files use.
const QMap<QString, Q>& quantityNames()
{
    static const QMap<QString, Q> names{
        {"angularVelocity", Q::AngularVelocity},
        {"angle", Q::Angle},
        {"angularAcceleration", Q::AngularAcceleration},
        {"torque", Q::Torque},
        {"voltage", Q::Voltage},
        {"current", Q::Current},
        {"temperature", Q::Temperature},
        {"elapsedTime", Q::ElapsedTime},
        {"servoId", Q::ServoId},
        {"positionProportionalTerm", Q::PositionProportionalTerm},
        {"velocityFeedforwardTerm", Q::VelocityFeedforwardTerm},
        {"currentFeedforwardTerm", Q::CurrentFeedforwardTerm},
        {"velocityProportionalTerm", Q::VelocityProportionalTerm},
        {"velocityIntegralTerm", Q::VelocityIntegralTerm},
        {"angularVelocityProfile", Q::AngularVelocityProfile},
        {"accelerationProfile", Q::AccelerationProfile},
        {"modelNumber", Q::ModelNumber},
        {"baudRate", Q::BaudRate},
        {"operatingMode", Q::OperatingMode},
        {"inputMode", Q::InputMode},
        {"direction", Q::Direction},
        {"unitless", Q::Unitless},
        {"percent", Q::Percent},
    };
    return names;
}

// A fault of the file; `where` names the entry when there is one.
struct Refusal : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

[[noreturn]] void refuse(const QString& why)
{
    throw Refusal(why.toStdString());
}

void onlyKnownMembers(const QJsonObject& object, const QSet<QString>& known, const QString& where)
{
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!known.contains(it.key()))
            refuse(QStringLiteral("%1unknown member \"%2\"").arg(where, it.key()));
}

// A whole number within [low, high]; `what` names it in the message.
int64_t wholeNumber(const QJsonValue& value, const QString& what, int64_t low, int64_t high)
{
    const double number = value.toDouble(0.5);
    if (!value.isDouble() || number != double(int64_t(number)) || number < double(low) || number > double(high))
        refuse(QStringLiteral("%1 must be a whole number from %2 to %3").arg(what).arg(low).arg(high));
    return int64_t(number);
}

QString text(const QJsonObject& object, const QString& member, const QString& where, bool required)
{
    const QJsonValue value = object.value(member);
    if (value.isUndefined() && !required)
        return {};
    if (!value.isString() || value.toString().isEmpty())
        refuse(QStringLiteral("%1\"%2\" must be a text").arg(where, member));
    return value.toString();
}

// The raw values a register of `size` bytes holds, as its sign reads them.
std::pair<int64_t, int64_t> rawLimits(const ModelEntry& entry)
{
    const int bits = entry.size * 8;
    const int64_t all = (int64_t(1) << bits) - 1;
    switch (entry.sign) {
    case ModelEntry::Sign::TwosComplement:
        return {-(int64_t(1) << (bits - 1)), (int64_t(1) << (bits - 1)) - 1};
    case ModelEntry::Sign::SignMagnitude: {
        const int64_t magnitude = (int64_t(1) << entry.signBit) - 1;
        return {-magnitude, magnitude};
    }
    case ModelEntry::Sign::Unsigned:
        break;
    }
    return {0, entry.mask ? int64_t(entry.mask) : all};
}

void readSign(const QJsonObject& object, const QString& where, ModelEntry* entry)
{
    const QString sign = object.value("sign").toString(QStringLiteral("unsigned"));
    if (sign == QLatin1String("twosComplement")) {
        entry->sign = ModelEntry::Sign::TwosComplement;
    } else if (sign == QLatin1String("signMagnitude")) {
        entry->sign = ModelEntry::Sign::SignMagnitude;
        entry->signBit = int(wholeNumber(object.value("signBit"), where + "\"signBit\"", 1, entry->size * 8 - 1));
    } else if (sign != QLatin1String("unsigned")) {
        refuse(QStringLiteral("%1\"sign\" is unsigned, twosComplement or signMagnitude").arg(where));
    }
    if (entry->sign != ModelEntry::Sign::SignMagnitude && object.contains("signBit"))
        refuse(QStringLiteral("%1\"signBit\" belongs to a signMagnitude entry").arg(where));
}

void readConversion(const QJsonObject& object, const QString& where, ModelEntry* entry)
{
    const QString quantity = object.value("quantity").toString(QStringLiteral("unitless"));
    if (!quantityNames().contains(quantity))
        refuse(QStringLiteral("%1unknown quantity \"%2\"").arg(where, quantity));
    entry->quantity = quantityNames().value(quantity);
    const auto [low, high] = rawLimits(*entry);
    entry->rawMin = object.contains("rawMin") ? wholeNumber(object.value("rawMin"), where + "\"rawMin\"", low, high) : low;
    entry->rawMax = object.contains("rawMax") ? wholeNumber(object.value("rawMax"), where + "\"rawMax\"", low, high) : high;
    if (entry->rawMin > entry->rawMax)
        refuse(QStringLiteral("%1\"rawMin\" is above \"rawMax\"").arg(where));
    entry->min = object.value("min").toDouble(double(entry->rawMin));
    entry->max = object.value("max").toDouble(double(entry->rawMax));
    const QJsonObject list = object.value("list").toObject();
    for (auto it = list.begin(); it != list.end(); ++it) {
        bool ok = false;
        const int64_t raw = it.key().toLongLong(&ok, 0);
        if (!ok || raw < low || raw > high || !it.value().isString())
            refuse(QStringLiteral("%1list value \"%2\" is no raw value of the entry with a text").arg(where, it.key()));
        entry->listValues.insert(raw, it.value().toString());
    }
}

ModelEntry readEntry(const QJsonValue& value, int index, int tableLength)
{
    QString where = QStringLiteral("entry %1: ").arg(index + 1);
    if (!value.isObject())
        refuse(where + QStringLiteral("not an object"));
    const QJsonObject object = value.toObject();
    onlyKnownMembers(object,
                     {"key", "caption", "description", "address", "size", "access", "area", "mask", "sign", "signBit",
                      "quantity", "rawMin", "rawMax", "min", "max", "list", "widget", "role", "default"},
                     where);
    ModelEntry entry;
    entry.key = text(object, "key", where, true);
    where = QStringLiteral("entry \"%1\": ").arg(entry.key);
    entry.caption = text(object, "caption", where, true);
    entry.description = text(object, "description", where, false);
    entry.size = int(wholeNumber(object.value("size"), where + "\"size\"", 1, 4));
    if (entry.size == 3)
        refuse(where + QStringLiteral("\"size\" must be 1, 2 or 4"));
    entry.address = int(wholeNumber(object.value("address"), where + "\"address\"", 0, tableLength - entry.size));
    const QString access = object.value("access").toString();
    if (access != QLatin1String("read") && access != QLatin1String("readWrite"))
        refuse(where + QStringLiteral("\"access\" is read or readWrite"));
    entry.writable = access == QLatin1String("readWrite");
    static const QMap<QString, ModelEntry::Area> areas{{"nonVolatile", ModelEntry::Area::NonVolatile},
                                                       {"volatile", ModelEntry::Area::Volatile},
                                                       {"command", ModelEntry::Area::Command},
                                                       {"state", ModelEntry::Area::State}};
    if (!areas.contains(object.value("area").toString()))
        refuse(where + QStringLiteral("\"area\" is nonVolatile, volatile, command or state"));
    entry.area = areas.value(object.value("area").toString());
    if (object.contains("mask"))
        entry.mask = uint32_t(wholeNumber(object.value("mask"), where + "\"mask\"", 1,
                                          (int64_t(1) << (entry.size * 8)) - 1));
    readSign(object, where, &entry);
    readConversion(object, where, &entry);
    entry.widget = text(object, "widget", where, false);
    entry.role = text(object, "role", where, false);
    if (object.contains("default"))
        entry.powerOnDefault = wholeNumber(object.value("default"), where + "\"default\"", entry.rawMin, entry.rawMax);
    return entry;
}

// Entries may share bytes only as masks of one register.
void noOverlaps(const QList<ModelEntry>& entries)
{
    for (int i = 0; i < entries.size(); ++i)
        for (int j = 0; j < i; ++j) {
            const ModelEntry& a = entries.at(i);
            const ModelEntry& b = entries.at(j);
            const bool overlap = a.address < b.address + b.size && b.address < a.address + a.size;
            const bool masks = a.mask && b.mask && a.address == b.address && a.size == b.size && !(a.mask & b.mask);
            if (overlap && !masks)
                refuse(QStringLiteral("entry \"%1\": its bytes overlap entry \"%2\"").arg(a.key, b.key));
            if (a.key == b.key)
                refuse(QStringLiteral("entry \"%1\": the key is used twice").arg(a.key));
        }
}

QList<int> numbers(const QJsonValue& value, const QString& what, int low, int high)
{
    if (!value.isArray() || value.toArray().isEmpty())
        refuse(QStringLiteral("\"%1\" must be a list of numbers").arg(what));
    QList<int> list;
    for (const QJsonValue& item : value.toArray()) {
        const int number = int(wholeNumber(item, QStringLiteral("\"%1\"").arg(what), low, high));
        if (list.contains(number))
            refuse(QStringLiteral("\"%1\" lists %2 twice").arg(what).arg(number));
        list.append(number);
    }
    return list;
}

void readHeader(const QJsonObject& root, ModelDescription* model)
{
    onlyKnownMembers(root,
                     {"format", "version", "name", "modelNumbers", "protocols", "byteOrder", "tableLength",
                      "factory", "baudCodes", "entries"},
                     QString());
    if (root.value("format").toString() != QLatin1String("velkora-servo-model"))
        refuse(QStringLiteral("\"format\" must be \"velkora-servo-model\""));
    model->version = int(wholeNumber(root.value("version"), "\"version\"", 1, 1));
    model->name = text(root, "name", QString(), true);
    model->modelNumbers = numbers(root.value("modelNumbers"), "modelNumbers", 0, 0xFFFF);
    model->protocols = numbers(root.value("protocols"), "protocols", 1, 2);
    const QString byteOrder = root.value("byteOrder").toString(QStringLiteral("little"));
    if (byteOrder != QLatin1String("little") && byteOrder != QLatin1String("big"))
        refuse(QStringLiteral("\"byteOrder\" is little or big"));
    model->bigEndian = byteOrder == QLatin1String("big");
    model->tableLength = int(wholeNumber(root.value("tableLength"), "\"tableLength\"", 1, 0xFFFF));
    const QJsonObject factory = root.value("factory").toObject();
    onlyKnownMembers(factory, {"id", "baudRate"}, QStringLiteral("factory: "));
    model->factoryId = int(wholeNumber(factory.value("id"), "\"factory\" \"id\"", 0, 252));
    model->factoryBaudRate = int(wholeNumber(factory.value("baudRate"), "\"factory\" \"baudRate\"", 1, 100000000));
    const QJsonObject codes = root.value("baudCodes").toObject();
    for (auto it = codes.begin(); it != codes.end(); ++it) {
        bool ok = false;
        const int code = it.key().toInt(&ok);
        if (!ok || code < 0 || code > 255)
            refuse(QStringLiteral("baud code \"%1\" is no number from 0 to 255").arg(it.key()));
        model->baudCodes.insert(code, int(wholeNumber(it.value(), QStringLiteral("baud code %1").arg(code), 1, 100000000)));
    }
}

} // namespace

const ModelEntry* ModelDescription::entry(const QString& key) const
{
    for (const ModelEntry& item : entries)
        if (item.key == key)
            return &item;
    return nullptr;
}

const ModelEntry* ModelDescription::entryWithRole(const QString& role) const
{
    for (const ModelEntry& item : entries)
        if (item.role == role)
            return &item;
    return nullptr;
}

std::optional<ModelDescription> readModelDescription(const QByteArray& json, const QString& fileName,
                                                     QString* problem)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    try {
        if (error.error != QJsonParseError::NoError)
            refuse(QStringLiteral("not JSON (%1 at byte %2)").arg(error.errorString()).arg(error.offset));
        if (!document.isObject())
            refuse(QStringLiteral("not a JSON object"));
        ModelDescription model;
        readHeader(document.object(), &model);
        const QJsonArray entries = document.object().value("entries").toArray();
        if (entries.isEmpty())
            refuse(QStringLiteral("\"entries\" must list the control table's items"));
        for (int i = 0; i < entries.size(); ++i)
            model.entries.append(readEntry(entries.at(i), i, model.tableLength));
        noOverlaps(model.entries);
        return model;
    } catch (const Refusal& refusal) {
        if (problem)
            *problem = QStringLiteral("%1: %2").arg(fileName, QString::fromStdString(refusal.what()));
        return std::nullopt;
    }
}
