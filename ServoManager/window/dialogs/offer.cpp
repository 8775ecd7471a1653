#include "window/dialogs/offer.h"

#include <QPushButton>

void showWithOffer(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                   const QString& offerText, std::function<void()> offered)
{
    showWithOffers(parent, icon, title, text, {{offerText, std::move(offered)}});
}

void showWithOffers(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                    const QList<Offer>& offers)
{
    auto* box = new QMessageBox(icon, title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QList<QPair<QAbstractButton*, std::function<void()>>> buttons;
    for (const Offer& offer : offers)
        buttons.append({box->addButton(offer.text, QMessageBox::ActionRole), offer.run});
    QObject::connect(box, &QDialog::finished, box, [box, buttons] {
        for (const auto& button : buttons) {
            if (box->clickedButton() == button.first && button.second)
                button.second();
        }
    });
    box->open();
}
