#pragma once

#include <QWidget>

namespace Ui {
class EditView;
}

// The "Unit fields" tab: the servo's values in physical units and its status indicators.
class EditView : public QWidget
{
    Q_OBJECT

public:
    explicit EditView(QWidget* parent = nullptr);
    ~EditView() override;

private:
    Ui::EditView* ui;
};
