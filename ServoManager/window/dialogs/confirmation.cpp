#include "window/dialogs/confirmation.h"

#include <QMessageBox>
#include <QPushButton>

void askToConfirm(QWidget* parent, const QString& title, const QString& question, const QString& actionText,
                  std::function<void()> confirmed)
{
    auto* box = new QMessageBox(QMessageBox::Question, title, question, QMessageBox::NoButton, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* action = box->addButton(actionText, QMessageBox::DestructiveRole);
    QPushButton* cancel = box->addButton(QObject::tr("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    // Acted on once the box is gone, so that nothing the action shows lands behind it.
    QObject::connect(box, &QDialog::finished, box, [box, action, confirmed = std::move(confirmed)] {
        if (box->clickedButton() == action && confirmed)
            confirmed();
    });
    box->open();
}
