#pragma once

#include <QDialog>

namespace Ui {
class ModelsDialog;
}

// Help → Models…: the servo models the program knows, where each comes from, and the
// description files it refused with why.
class ModelsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ModelsDialog(QWidget* parent = nullptr);
    ~ModelsDialog() override;

    // Fills the lists from the registry of the moment.
    void refresh();

private:
    Ui::ModelsDialog* ui;
};
