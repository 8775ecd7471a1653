#include "window/widgets/tablecopy.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QTableView>

#include <algorithm>

namespace {
bool columnShown(const QAbstractItemView* view, int column)
{
    const auto* table = qobject_cast<const QTableView*>(view);
    return !table || !table->isColumnHidden(column);
}

bool rowShown(const QAbstractItemView* view, int row)
{
    const auto* table = qobject_cast<const QTableView*>(view);
    return !table || !table->isRowHidden(row);
}

// Columns in the order the header shows them (a user may have dragged them).
QList<int> visualColumns(const QAbstractItemView* view, int count)
{
    QList<int> columns;
    const auto* table = qobject_cast<const QTableView*>(view);
    for (int visual = 0; visual < count; ++visual) {
        const int logical = table ? table->horizontalHeader()->logicalIndex(visual) : visual;
        if (logical >= 0 && columnShown(view, logical))
            columns << logical;
    }
    return columns;
}
} // namespace

namespace tablecopy {

QString selectedRowsText(const QAbstractItemView* view)
{
    const QAbstractItemModel* model = view ? view->model() : nullptr;
    if (!model)
        return {};
    QList<int> rows;
    if (const QItemSelectionModel* selection = view->selectionModel()) {
        for (const QModelIndex& index : selection->selectedIndexes())
            if (!rows.contains(index.row()))
                rows << index.row();
    }
    if (rows.isEmpty() && view->currentIndex().isValid())
        rows << view->currentIndex().row();
    std::sort(rows.begin(), rows.end());
    const QList<int> columns = visualColumns(view, model->columnCount());
    QStringList lines;
    for (int row : rows) {
        if (!rowShown(view, row))
            continue;
        QStringList cells;
        for (int column : columns)
            cells << model->index(row, column).data(Qt::DisplayRole).toString();
        lines << cells.join(QLatin1Char('\t'));
    }
    return lines.isEmpty() ? QString() : lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void attach(QAction* copy, const QList<QWidget*>& windows)
{
    for (QWidget* window : windows)
        window->addAction(copy);
    QObject::connect(copy, &QAction::triggered, copy, [] {
        QWidget* focus = QApplication::focusWidget();
        // From the menu, a text box with the focus copies its own selection.
        if (auto* edit = qobject_cast<QLineEdit*>(focus)) {
            edit->copy();
            return;
        }
        for (QWidget* widget = focus; widget; widget = widget->parentWidget()) {
            if (auto* view = qobject_cast<QAbstractItemView*>(widget)) {
                const QString text = selectedRowsText(view);
                if (!text.isEmpty())
                    QApplication::clipboard()->setText(text);
                return;
            }
        }
    });
}

} // namespace tablecopy
