#include "ui_editview.h"
#include "window/editview/editview.h"

#include "window/editview/fieldhelper.h"
#include "window/editview/statushelper.h"
#include "window/editview/uigrouphelper.h"
#include "window/editview/uiregisterhelper.h"

EditView::EditView(QWidget* parent) : QWidget(parent), ui(new Ui::EditView)
{
    ui->setupUi(this);
    initWidgetParams();
    if (!UiGroupHelper::_instance)
        UiGroupHelper::_instance = std::make_shared<UiGroupHelper>(ui);
    uiGroupHelper = UiGroupHelper::_instance;
    if (!StatusHelper::_instance)
        StatusHelper::_instance = std::make_shared<StatusHelper>(ui);
    const QList<QObject*> objects = children();
    FieldHelper::getInstance(&objects);
    registerDataFields(objects);
}

EditView::~EditView()
{
    // The process-wide helpers point into this form; a later view builds its own.
    if (StatusHelper::_instance && StatusHelper::_instance->form() == ui)
        StatusHelper::_instance.reset();
    if (UiGroupHelper::_instance && UiGroupHelper::_instance->form() == ui)
        UiGroupHelper::_instance.reset();
    if (FieldHelper::_instance &&
        FieldHelper::_instance->getEditViewField(QStringLiteral("idSpinBox")) == ui->idSpinBox)
        FieldHelper::_instance.reset();
    if (UiRegisterHelper::_instance)
        UiRegisterHelper::_instance->unregisterFieldsBelow(this);
    delete ui;
}

void EditView::initWidgetParams()
{
    ui->nvParamsCancelToolButton->setButtonType(GroupButtonType::Cancel);
    ui->vParamsCancelToolButton->setButtonType(GroupButtonType::Cancel);
    ui->nvParamsEditSaveToolButton->setButtonType(GroupButtonType::EditSave);
    ui->vParamsEditSaveToolButton->setButtonType(GroupButtonType::EditSave);
}

// Depth first, in creation order; a field's own children are not searched.
void EditView::registerDataFields(const QList<QObject*>& objects) const
{
    for (QObject* object : objects) {
        if (auto* field = dynamic_cast<IUnitDataField*>(object)) {
            if (!UiRegisterHelper::_instance)
                UiRegisterHelper::_instance = std::make_shared<UiRegisterHelper>();
            UiRegisterHelper::_instance->registerUnitDataField(field);
            continue;
        }
        registerDataFields(object->children());
    }
}
