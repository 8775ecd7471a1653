#pragma once

#include <QList>
#include <QWidget>

#include <memory>

namespace Ui {
class EditView;
}
class UiGroupHelper;

// The "Unit fields" tab: the servo's values in physical units and its status indicators.
class EditView : public QWidget
{
    Q_OBJECT

public:
    explicit EditView(QWidget* parent = nullptr);
    ~EditView() override;

private:
    void initWidgetParams();
    void registerDataFields(const QList<QObject*>& objects) const;

    Ui::EditView* ui;
    std::shared_ptr<UiGroupHelper> uiGroupHelper;
};
