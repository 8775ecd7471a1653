#include "views/editview.h"
#include "ui_editview.h"

#include "device/statushelper.h"

EditView::EditView(QWidget* parent) : QWidget(parent), ui(new Ui::EditView)
{
    ui->setupUi(this);
    if (!StatusHelper::_instance)
        StatusHelper::_instance = std::make_shared<StatusHelper>(ui);
}

EditView::~EditView()
{
    // The status helper works on this form; a later view creates its own.
    if (StatusHelper::_instance && StatusHelper::_instance->form() == ui)
        StatusHelper::_instance.reset();
    delete ui;
}
