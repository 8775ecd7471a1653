#pragma once

#include "core/model/fieldcatalogue.h"
#include "core/model/groupwrite.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QList>
#include <QMap>

#include <memory>
#include <optional>

class UnitsHelper;

// The rows of the "Control table" tab: every entry of the connected model's description in address
// order, with its value as the newest poll read it. An edit the user made stays until it is written
// or dropped; polls update the other rows, never an edited one.
class ControlTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column
    {
        AddressColumn,
        KeyColumn,
        CaptionColumn,
        SizeColumn,
        AreaColumn,
        AccessColumn,
        ValueColumn,
        RawColumn,
        ColumnCount
    };
    // The key and caption of a row, for the filter box.
    static constexpr int FilterRole = Qt::UserRole;
    // A list entry's texts by raw value (a QVariantMap keyed by the raw value's decimal text).
    static constexpr int ListValuesRole = Qt::UserRole + 1;
    // The raw value a row shows (edited or read).
    static constexpr int RawRole = Qt::UserRole + 2;

    explicit ControlTableModel(QObject* parent = nullptr);

    // The entries of the connected model; none: no rows. Every edit is dropped.
    void setCatalogue(std::shared_ptr<const FieldCatalogue> catalogue);
    const FieldCatalogue* catalogue() const { return _catalogue.get(); }
    // The unit choice values are shown and typed in; none: the quantity's default unit.
    void setUnits(std::shared_ptr<const UnitsHelper> units);
    // A control table from address 0 as a poll read it.
    void showTable(const QByteArray& table);
    const QByteArray& table() const { return _table; }
    bool hasTable() const { return _tableSeen; }

    // Edited rows and the raw values the user gave them, in address order.
    const QMap<int, int>& edits() const { return _edits; }
    void dropEdits();
    // Drops the edits of the entries a write carried (by the edit view's field names).
    void dropEditsOf(const GroupWrite& write);

    // A raw value of `record` as the Value column shows it: the list's text, or the physical value
    // in the chosen unit with that unit.
    QString valueText(const FieldRecord& record, int raw) const;
    // The raw value a typed text stands for (in the chosen unit; a list entry's text or number);
    // nothing when it is no number or outside what the entry can hold.
    std::optional<int> rawOfText(const FieldRecord& record, const QString& text) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

signals:
    // The set of edited rows changed.
    void editsChanged();

private:
    const FieldRecord& record(int row) const { return _catalogue->fields().at(std::size_t(row)); }
    int rawOf(int row) const;
    QVariant displayData(const FieldRecord& record, int row, int column) const;

    std::shared_ptr<const FieldCatalogue> _catalogue;
    std::shared_ptr<const UnitsHelper> _units;
    QByteArray _table;
    bool _tableSeen = false;
    QMap<int, int> _edits; // row -> raw value
};

// The writes that carry `edits` (row of `catalogue` -> raw value): non-volatile entries apart from
// the others, and a write split where a read-only entry lies between two edited ones, so that no
// write spans bytes the servo does not take. The id and baud rate entries are followed.
QList<GroupWrite> controlTableWrites(const FieldCatalogue& catalogue, const QMap<int, int>& edits);
