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
    // Shows `kept` (made on first use) filled afresh; returns it for the caller to keep.
    static ModelsDialog* showOver(QWidget* parent, ModelsDialog* kept);
    // The program's About text, with a line for each user's file that replaces a built-in model.
    static QString aboutText();

private:
    Ui::ModelsDialog* ui;
};
