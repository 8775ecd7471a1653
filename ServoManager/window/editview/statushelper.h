#pragma once

#include <memory>

namespace Ui {
class EditView;
}

// Shows the error byte of every status packet on the edit view's eight indicators.
class StatusHelper
{
public:
    // Created by the edit view with its form; released when that view goes.
    static std::shared_ptr<StatusHelper> _instance;

    explicit StatusHelper(Ui::EditView* form);

    // Bits 0-6 of the error byte are one error number (1 to 7); bit 7 is the alert flag.
    void displayStatusPacket(unsigned char status);
    // The overload bit of the hardware error status register.
    void displayOverload(bool on);

    Ui::EditView* form() const { return _form; }

private:
    Ui::EditView* _form;
};
