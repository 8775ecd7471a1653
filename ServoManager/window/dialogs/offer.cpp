#include "window/dialogs/offer.h"

#include <QPushButton>

void showWithOffer(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                   const QString& offerText, std::function<void()> offered)
{
    auto* box = new QMessageBox(icon, title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* offer = box->addButton(offerText, QMessageBox::ActionRole);
    QObject::connect(box, &QDialog::finished, box, [box, offer, offered = std::move(offered)] {
        if (box->clickedButton() == offer && offered)
            offered();
    });
    box->open();
}
