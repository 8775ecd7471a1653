#pragma once

#include <QString>

class QAbstractItemView;
class QAction;
class QWidget;

// Ctrl+C in a table copies its selected rows as text: one line per row, the visible columns
// separated by tabs, as a spreadsheet or a bug report takes them.
namespace tablecopy {

// The selected rows of `view` (the current row when nothing is selected), in the order shown.
QString selectedRowsText(const QAbstractItemView* view);

// Makes `copy` copy from whichever table has the focus. The action is also given to each of
// `windows` (docks that may float as windows of their own), so its shortcut works there too.
void attach(QAction* copy, const QList<QWidget*>& windows);

} // namespace tablecopy
