#include "window/dialogs/modelsdialog.h"

#include "core/model/modelregistry.h"
#include "ui_modelsdialog.h"

#include <QTreeWidgetItem>

ModelsDialog::ModelsDialog(QWidget* parent) : QDialog(parent), ui(new Ui::ModelsDialog)
{
    ui->setupUi(this);
    connect(ui->closeButton, &QPushButton::clicked, this, &QDialog::close);
}

ModelsDialog::~ModelsDialog()
{
    delete ui;
}

void ModelsDialog::refresh()
{
    const ModelRegistry& registry = ModelRegistry::shared();
    ui->modelsList->clear();
    for (const ModelRegistry::Model& model : registry.models()) {
        QStringList numbers;
        for (int number : model.description->modelNumbers)
            numbers << QString::number(number);
        QString file = model.file;
        if (!model.overrides.isEmpty())
            file += tr(" (overrides the built-in %1)").arg(model.overrides);
        new QTreeWidgetItem(ui->modelsList, {model.description->name, model.description->caption,
                                             numbers.join(QStringLiteral(", ")), file});
    }
    ui->refusedList->clear();
    for (const ModelRegistry::Refused& refused : registry.refused())
        new QTreeWidgetItem(ui->refusedList, {refused.file, refused.problem});
    ui->refusedBox->setVisible(!registry.refused().isEmpty());
    for (int column = 0; column < ui->modelsList->columnCount(); ++column)
        ui->modelsList->resizeColumnToContents(column);
    ui->folderLabel->setText(tr("Your own descriptions go in %1.").arg(ModelRegistry::userFolder()));
}

ModelsDialog* ModelsDialog::showOver(QWidget* parent, ModelsDialog* kept)
{
    if (!kept)
        kept = new ModelsDialog(parent);
    kept->refresh();
    kept->show();
    kept->raise();
    return kept;
}

QString ModelsDialog::aboutText()
{
    QString text = tr("Velkora Servo Manager %1\nBuilt with Qt %2, running on Qt %3.\n\n"
                      "Configure and watch smart servo motors on a half-duplex serial bus.")
                       .arg(QStringLiteral(VSM_VERSION), QStringLiteral(QT_VERSION_STR),
                            QString::fromLatin1(qVersion()));
    // A user's file that replaces a built-in model changes what the program does: say so.
    for (const ModelRegistry::Model& model : ModelRegistry::shared().models()) {
        if (!model.overrides.isEmpty())
            text += QLatin1Char('\n') + tr("The model %1 is read from %2 (overrides the built-in %3).")
                                             .arg(model.description->name, model.file, model.overrides);
    }
    return text;
}
