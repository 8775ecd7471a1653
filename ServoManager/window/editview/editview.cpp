#include "ui_editview.h"
#include "window/editview/editview.h"

#include "window/editview/fieldhelper.h"
#include "window/editview/modecontrollers.h"
#include "window/editview/statushelper.h"
#include "window/editview/uigrouphelper.h"
#include "window/editview/uiregisterhelper.h"

EditView::EditView(QWidget* parent) : QWidget(parent), ui(new Ui::EditView)
{
    ui->setupUi(this);
    initWidgetParams();
    uiGroupHelper = std::make_shared<UiGroupHelper>(ui);
    if (!UiGroupHelper::_instance)
        UiGroupHelper::_instance = uiGroupHelper;
    if (!StatusHelper::_instance)
        StatusHelper::_instance = std::make_shared<StatusHelper>(ui);
    const QList<QObject*> objects = children();
    const std::shared_ptr<FieldHelper> registry = FieldHelper::getInstance(&objects);
    registerDataFields(objects);
    // The operating mode switches other fields on and off; its pass reads the input mode itself.
    ui->operatingModeComboBox->setDependency(std::make_shared<OperationModeController>(registry));
    ui->inputModeComboBox->setDependency(std::make_shared<InputModeController>());
}

EditView::~EditView()
{
    // The process-wide helpers point into this form; a later view builds its own.
    if (StatusHelper::_instance && StatusHelper::_instance->form() == ui)
        StatusHelper::_instance.reset();
    if (UiGroupHelper::_instance == uiGroupHelper)
        UiGroupHelper::_instance.reset();
    if (FieldHelper::_instance &&
        FieldHelper::_instance->getEditViewField(QStringLiteral("idSpinBox")) == ui->idSpinBox)
        FieldHelper::_instance.reset();
    if (UiRegisterHelper::_instance)
        UiRegisterHelper::_instance->unregisterFieldsBelow(this);
    delete ui;
}

void EditView::setModelSource(const ModelSource* model)
{
    uiGroupHelper->setModelSource(model);
}

void EditView::connected()
{
    uiGroupHelper->connected();
}

void EditView::disconnected()
{
    uiGroupHelper->disconnected();
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
