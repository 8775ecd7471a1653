#include "window/editview/controltablemodel.h"

#include "core/units/unitshelper.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QLocale>
#include <QVariantMap>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

QString areaText(FieldGroup group)
{
    switch (group) {
    case FieldGroup::NonVolatile:
        return ControlTableModel::tr("Non-volatile");
    case FieldGroup::Volatile:
        return ControlTableModel::tr("Volatile");
    case FieldGroup::Command:
        return ControlTableModel::tr("Command");
    case FieldGroup::State:
        return ControlTableModel::tr("State");
    }
    return {};
}

// Read-only rows are shaded as the register view shades them.
const QBrush& readOnlyBackground()
{
    static const QBrush brush(QColor(227, 235, 240, 150));
    return brush;
}

const QBrush& editedBackground()
{
    static const QBrush brush(QColor(255, 236, 179));
    return brush;
}

// A number as the user's locale or as C writes it ("1,5" and "1.5" alike where the locale uses a
// comma), with or without the unit behind it.
std::optional<double> numberOf(QString text, const QString& unit)
{
    text = text.trimmed();
    if (!unit.isEmpty() && text.endsWith(unit))
        text = text.left(text.size() - unit.size()).trimmed();
    bool ok = false;
    double value = QLocale().toDouble(text, &ok);
    if (!ok)
        value = QLocale::c().toDouble(text, &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

bool isWritableRow(const FieldRecord& record)
{
    return record.writable && record.group != FieldGroup::State;
}

} // namespace

ControlTableModel::ControlTableModel(QObject* parent) : QAbstractTableModel(parent) {}

void ControlTableModel::setCatalogue(std::shared_ptr<const FieldCatalogue> catalogue)
{
    beginResetModel();
    _catalogue = std::move(catalogue);
    _table.clear();
    _tableSeen = false;
    const bool hadEdits = !_edits.isEmpty();
    _edits.clear();
    endResetModel();
    if (hadEdits)
        emit editsChanged();
}

void ControlTableModel::setUnits(std::shared_ptr<const UnitsHelper> units)
{
    _units = std::move(units);
    if (rowCount() > 0)
        emit dataChanged(index(0, ValueColumn), index(rowCount() - 1, ValueColumn));
}

void ControlTableModel::showTable(const QByteArray& table)
{
    if (!_catalogue)
        return;
    const QByteArray before = _table;
    const bool firstTable = !_tableSeen;
    _table = table;
    _tableSeen = true;
    // Only the rows whose value changed, each as a row span: an open editor is not touched.
    for (int row = 0; row < rowCount(); ++row) {
        const FieldRecord& entry = record(row);
        if (firstTable || entry.rawIn(before) != entry.rawIn(table))
            emit dataChanged(index(row, ValueColumn), index(row, RawColumn));
    }
}

int ControlTableModel::rawOf(int row) const
{
    const auto edited = _edits.constFind(row);
    return edited != _edits.constEnd() ? edited.value() : record(row).rawIn(_table);
}

void ControlTableModel::dropEdits()
{
    if (_edits.isEmpty())
        return;
    const QList<int> rows = _edits.keys();
    _edits.clear();
    for (int row : rows)
        emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
    emit editsChanged();
}

void ControlTableModel::dropEditsOf(const GroupWrite& write)
{
    bool dropped = false;
    for (auto it = _edits.begin(); it != _edits.end();) {
        const int row = it.key();
        if (write.field(record(row).objectName)) {
            it = _edits.erase(it);
            emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
            dropped = true;
        } else {
            ++it;
        }
    }
    if (dropped)
        emit editsChanged();
}

QString ControlTableModel::valueText(const FieldRecord& record, int raw) const
{
    if (!record.listValues.isEmpty()) {
        const auto text = record.listValues.constFind(raw);
        return text != record.listValues.constEnd() ? text.value() : tr("Unknown (%1)").arg(raw);
    }
    const double physical = record.toPhysical(raw);
    if (!_units)
        return QStringLiteral("%L1").arg(physical);
    const double shown = _units->convertToTargetUnit(physical, record.quantity);
    const int decimals = int(_units->getTargetUnitDecimalPlaces(record.quantity));
    const QString number = QStringLiteral("%L1").arg(shown, 0, 'f', decimals);
    const QString unit = _units->getUnitString(record.quantity);
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}

std::optional<int> ControlTableModel::rawOfText(const FieldRecord& record, const QString& text) const
{
    for (auto it = record.listValues.constBegin(); it != record.listValues.constEnd(); ++it) {
        if (it.value().compare(text.trimmed(), Qt::CaseInsensitive) == 0)
            return int(it.key());
    }
    const QString unit = _units ? _units->getUnitString(record.quantity) : QString();
    const std::optional<double> number = numberOf(text, unit);
    if (!number)
        return std::nullopt;
    int raw = 0;
    if (record.listValues.isEmpty()) {
        const double physical = _units ? _units->convertToDefaultUnit(*number, record.quantity) : *number;
        // A value outside the range is refused, not moved to its nearest end.
        if (record.hasRange) {
            const double low = std::min(record.min, record.max);
            const double high = std::max(record.min, record.max);
            const double step = std::abs(record.max - record.min) / std::max(1.0, std::abs(double(record.rawMax) - record.rawMin));
            if (physical < low - step / 2 || physical > high + step / 2)
                return std::nullopt;
        }
        raw = record.toRaw(physical);
    } else {
        // A list entry also takes its raw number.
        if (*number != std::round(*number) || !record.listValues.contains(qint64(*number)))
            return std::nullopt;
        raw = int(*number);
    }
    if (!record.holds(raw))
        return std::nullopt;
    return raw;
}

int ControlTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() || !_catalogue ? 0 : int(_catalogue->fields().size());
}

int ControlTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ControlTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case AddressColumn:
        return tr("Address");
    case KeyColumn:
        return tr("Key");
    case CaptionColumn:
        return tr("Caption");
    case SizeColumn:
        return tr("Size");
    case AreaColumn:
        return tr("Area");
    case AccessColumn:
        return tr("Access");
    case ValueColumn:
        return tr("Value");
    case RawColumn:
        return tr("Raw");
    default:
        return {};
    }
}

QVariant ControlTableModel::displayData(const FieldRecord& entry, int row, int column) const
{
    switch (column) {
    case AddressColumn:
        return entry.address;
    case KeyColumn:
        return entry.key;
    case CaptionColumn:
        return entry.caption;
    case SizeColumn:
        return entry.size;
    case AreaColumn:
        return areaText(entry.group);
    case AccessColumn:
        return isWritableRow(entry) ? tr("Read-write") : tr("Read-only");
    case ValueColumn:
        return _tableSeen ? valueText(entry, rawOf(row)) : QString();
    case RawColumn:
        return _tableSeen ? QString::number(rawOf(row)) : QString();
    default:
        return {};
    }
}

QVariant ControlTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return {};
    const int row = index.row();
    const FieldRecord& entry = record(row);
    const bool edited = _edits.contains(row);
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return displayData(entry, row, index.column());
    case Qt::ToolTipRole:
        return entry.description.isEmpty() ? entry.caption : entry.description;
    case Qt::TextAlignmentRole:
        if (index.column() == AddressColumn || index.column() == SizeColumn || index.column() == RawColumn)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    case Qt::BackgroundRole:
        if (edited && (index.column() == ValueColumn || index.column() == RawColumn))
            return editedBackground();
        return isWritableRow(entry) ? QVariant() : QVariant(readOnlyBackground());
    case Qt::FontRole:
        if (edited) {
            QFont font;
            font.setBold(true);
            return font;
        }
        return {};
    case FilterRole:
        return entry.key + QLatin1Char('\n') + entry.caption;
    case ListValuesRole: {
        QVariantMap texts;
        for (auto it = entry.listValues.constBegin(); it != entry.listValues.constEnd(); ++it)
            texts.insert(QString::number(it.key()), it.value());
        return texts;
    }
    case RawRole:
        return rawOf(row);
    default:
        return {};
    }
}

Qt::ItemFlags ControlTableModel::flags(const QModelIndex& index) const
{
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (!index.isValid() || index.row() >= rowCount())
        return flags;
    // Edited only once the servo's value was read: what the user changes is then known.
    const bool valueCell = index.column() == ValueColumn || index.column() == RawColumn;
    if (valueCell && _tableSeen && isWritableRow(record(index.row())))
        flags |= Qt::ItemIsEditable;
    return flags;
}

bool ControlTableModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (role != Qt::EditRole || !(flags(index) & Qt::ItemIsEditable))
        return false;
    const int row = index.row();
    const FieldRecord& entry = record(row);
    std::optional<int> raw;
    if (index.column() == RawColumn) {
        bool ok = false;
        const qlonglong number = value.toString().trimmed().toLongLong(&ok, 0);
        if (ok && number >= INT_MIN && number <= INT_MAX && entry.holds(number))
            raw = int(number);
    } else {
        raw = rawOfText(entry, value.toString());
    }
    if (!raw)
        return false;
    // Back to what the servo holds: nothing left to write.
    if (*raw == entry.rawIn(_table))
        _edits.remove(row);
    else
        _edits.insert(row, *raw);
    emit dataChanged(this->index(row, 0), this->index(row, ColumnCount - 1));
    emit editsChanged();
    return true;
}

namespace {

// A read-only entry has bytes in [from, to): a write over them would be refused.
bool readOnlyWithin(const FieldCatalogue& catalogue, int from, int to)
{
    return std::any_of(catalogue.fields().begin(), catalogue.fields().end(), [from, to](const FieldRecord& r) {
        return !isWritableRow(r) && r.address < to && from < r.address + r.size;
    });
}

GroupWrite writeOf(const FieldCatalogue& catalogue, const QList<WriteField>& fields)
{
    GroupWrite write(fields);
    for (const WriteField& field : fields) {
        const FieldRecord* entry = catalogue.byObjectName(field.name);
        if (entry && entry->role == QLatin1String("id"))
            write.newId = int(field.value & 0xFF);
        else if (entry && entry->role == QLatin1String("baudRate")) {
            write.newBaudCode = int(field.value & 0xFF);
            write.newBaudRate = entry->baudRates.value(write.newBaudCode, 0);
        }
    }
    return write;
}

} // namespace

QList<GroupWrite> controlTableWrites(const FieldCatalogue& catalogue, const QMap<int, int>& edits)
{
    QList<GroupWrite> writes;
    QList<WriteField> run;
    bool runNonVolatile = false;
    int runEnd = 0;
    for (auto it = edits.constBegin(); it != edits.constEnd(); ++it) {
        if (it.key() < 0 || std::size_t(it.key()) >= catalogue.fields().size())
            continue;
        const FieldRecord& entry = catalogue.fields().at(std::size_t(it.key()));
        const bool nonVolatile = entry.group == FieldGroup::NonVolatile;
        if (!run.isEmpty() &&
            (nonVolatile != runNonVolatile || readOnlyWithin(catalogue, runEnd, entry.address))) {
            writes << writeOf(catalogue, run);
            run.clear();
        }
        if (run.isEmpty()) {
            runNonVolatile = nonVolatile;
            runEnd = entry.address;
        }
        run << entry.writeOf(it.value());
        runEnd = std::max(runEnd, entry.address + entry.size);
    }
    if (!run.isEmpty())
        writes << writeOf(catalogue, run);
    return writes;
}
