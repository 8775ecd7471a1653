#include "ui_editview.h"
#include "window/editview/statushelper.h"

std::shared_ptr<StatusHelper> StatusHelper::_instance;

StatusHelper::StatusHelper(Ui::EditView* form) : _form(form) {}

void StatusHelper::displayStatusPacket(unsigned char status)
{
    // The alert flag comes on top of the error number; it must not hide it.
    const int error = status & 0x7F;
    _form->processStatusCheckBox->setChecked(error == 1);
    _form->instructionStatusCheckBox->setChecked(error == 2);
    _form->checksumStatusCheckBox->setChecked(error == 3);
    _form->rangeStatusCheckBox->setChecked(error == 4);
    _form->dataLengthStatusCheckBox->setChecked(error == 5);
    _form->dataLimitStatusCheckBox->setChecked(error == 6);
    _form->accessStatusCheckBox->setChecked(error == 7);
    _form->alertStatusCheckBox->setChecked((status & 0x80) != 0);
}

void StatusHelper::displayOverload(bool on)
{
    _form->overloadStatusCheckBox->setChecked(on);
}
