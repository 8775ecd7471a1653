#include "window/dialogs/confirmation.h"

#include <QMessageBox>
#include <QPushButton>

void askToConfirm(QWidget* parent, const QString& title, const QString& question, const QString& actionText,
                  std::function<void()> confirmed)
{
    askToChoose(parent, title, question, {actionText}, [confirmed = std::move(confirmed)](int) {
        if (confirmed)
            confirmed();
    });
}

void askToChoose(QWidget* parent, const QString& title, const QString& question,
                 const QStringList& actionTexts, std::function<void(int)> chosen)
{
    auto* box = new QMessageBox(QMessageBox::Question, title, question, QMessageBox::NoButton, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QList<QPushButton*> actions;
    for (const QString& text : actionTexts)
        actions.append(box->addButton(text, QMessageBox::DestructiveRole));
    QPushButton* cancel = box->addButton(QObject::tr("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    // Acted on once the box is gone, so that nothing the action shows lands behind it.
    QObject::connect(box, &QDialog::finished, box, [box, actions, chosen = std::move(chosen)] {
        const int index = actions.indexOf(qobject_cast<QPushButton*>(box->clickedButton()));
        if (index >= 0 && chosen)
            chosen(index);
    });
    box->open();
}
