#include "window/widgets/comboplaceholder.h"

#include <QComboBox>
#include <QListView>
#include <QStandardItemModel>
#include <QStylePainter>

namespace comboplaceholder {

const char* const offlineSheet =
    "QComboBox:enabled { background-color: white; }"
    "QComboBox:disabled { border: 1px solid #D6D3D1; background-color: #ECEAE9; color: #B3B3B3;"
    " padding: 1px 0px 1px 3px; selection-color: #5C5C61; }";
const char* const onlineSheet =
    "QComboBox:enabled { background-color: white; }"
    "QComboBox:disabled { border: 1px solid #D6D3D1; background-color: #ECEAE9; color: #5C5C61;"
    " padding: 1px 0px 1px 3px; selection-color: #5C5C61; }";

int index(const QComboBox* box)
{
    return box->count() - 1;
}

void setOffered(QComboBox* box, QListView* view, bool offered)
{
    const int row = index(box);
    if (row < 0)
        return;
    view->setRowHidden(row, !offered);
    if (auto* model = qobject_cast<QStandardItemModel*>(box->model())) {
        if (QStandardItem* item = model->item(row))
            item->setEnabled(offered);
    }
}

void paintWithText(QComboBox* box, const QString& text)
{
    QStylePainter painter(box);
    painter.setPen(box->palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    option.initFrom(box);
    option.editable = box->isEditable();
    option.frame = box->hasFrame();
    option.currentText = text;
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

} // namespace comboplaceholder
