#include "views/applyconfigurationdialog.h"
#include "ui_applyconfigurationdialog.h"

#include "bus/devicehelper.h"
#include "device/idevice.h"
#include "fields/fieldcore.h"
#include "units/unitshelper.h"
#include "views/configurationdialog.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
constexpr int fixedColumns = 2; // caption, file; then one per servo, then the unit
}

ApplyConfigurationDialog::ApplyConfigurationDialog(std::shared_ptr<SerialHelper> serial, BusAccess access,
                                                   QWidget* parent)
    : QDialog(parent), _ui(std::make_unique<Ui::ApplyConfigurationDialog>()), _serial(std::move(serial)),
      _access(std::move(access))
{
    _ui->setupUi(this);
    connect(_ui->applyWriteButton, &QPushButton::clicked, this, &ApplyConfigurationDialog::writeTicked);
    connect(_ui->applyCloseButton, &QPushButton::clicked, this, &QDialog::close);
    connect(_ui->applyChooseFileButton, &QPushButton::clicked, this, [this] { start(_servos, QString()); });
}

ApplyConfigurationDialog::~ApplyConfigurationDialog()
{
    if (isBusy()) {
        _writer.reset();
        _access.giveBack();
    }
}

void ApplyConfigurationDialog::start(const QList<BusAddress>& servos, const QString& folder)
{
    if (isBusy())
        return;
    _servos = servos;
    show();
    raise();
    auto* chooser = new QFileDialog(this, tr("Apply configuration"), folder,
                                    tr("Servo configurations (*.json);;All files (*)"));
    chooser->setFileMode(QFileDialog::ExistingFile);
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    connect(chooser, &QFileDialog::fileSelected, this, [this](const QString& path) { compare(path); });
    chooser->open();
}

bool ApplyConfigurationDialog::compare(const QString& path)
{
    if (isBusy())
        return false;
    _ui->applyTable->clear();
    _ui->applyTable->setRowCount(0);
    _ui->applyResultsList->clear();
    _ui->applyWriteButton->setEnabled(false);
    _fileName = QFileInfo(path).fileName();
    auto refuse = [this](const QString& why) {
        _file.reset();
        _ui->applyFileLabel->setText(why);
        return false;
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(tr("Could not read %1: %2").arg(path, file.errorString()));
    emit folderUsed(QFileInfo(path).absolutePath());
    const QByteArray json = file.read(1 << 20);
    // The file says its model; every servo must be of it.
    const QJsonObject servo = QJsonDocument::fromJson(json).object().value(QStringLiteral("servo")).toObject();
    const int model = servo.value(QStringLiteral("modelNumber")).toInt(-1);
    const std::shared_ptr<IDevice> device = DeviceHelper::createDevice(model);
    if (!device)
        return refuse(tr("%1: not a configuration file of a known servo model").arg(_fileName));
    _catalogue = std::make_unique<FieldCatalogue>(*device);
    const auto read = ServoConfiguration::fromJson(json, _fileName, *_catalogue, model,
                                                   servo.value(QStringLiteral("firmware")).toInt(-1));
    if (!read.error.isEmpty())
        return refuse(read.error);
    _file = std::make_unique<ServoConfiguration>(read.configuration);
    _ui->applyFileLabel->setText(tr("%1 against %n servo(s); ids and baud rates stay as they are.", nullptr,
                                    _servos.size())
                                     .arg(_fileName));
    runWriter({}, true);
    return true;
}

void ApplyConfigurationDialog::runWriter(const QStringList& keys, bool dryRun)
{
    QString why;
    if (!_access.takeBus(&why)) {
        _ui->applyStateLabel->setText(why);
        return;
    }
    _writer = std::make_unique<ConfigurationWriter>(_serial, *_file, keys);
    _ui->applyStateLabel->setText(dryRun ? tr("Reading the servos…") : tr("Writing…"));
    _ui->applyWriteButton->setEnabled(false);
    _ui->applyChooseFileButton->setEnabled(false);
    connect(_writer.get(), &ConfigurationWriter::servoFinished, this, [this, dryRun](const ServoWriteResult& result) {
        if (!dryRun)
            _ui->applyResultsList->addItem(tr("Servo %1: %2").arg(result.servo.id).arg(result.text()));
    });
    auto done = [this, dryRun](const QString& problem) {
        const QList<ServoWriteResult> results = _writer->results();
        _writer.release()->deleteLater(); // we are inside its signal
        _access.giveBack();
        _ui->applyChooseFileButton->setEnabled(true);
        if (!problem.isEmpty()) {
            _ui->applyStateLabel->setText(problem);
            return;
        }
        if (dryRun) {
            _compared = results;
            fillTable();
            return;
        }
        int verified = 0;
        for (const ServoWriteResult& result : results)
            verified += result.outcome == ServoWriteResult::Outcome::Verified ||
                        result.outcome == ServoWriteResult::Outcome::Unchanged;
        const QString summary = tr("Configuration from %1: %2 of %3 servos written and verified")
                                    .arg(_fileName)
                                    .arg(verified)
                                    .arg(results.size());
        _ui->applyStateLabel->setText(summary);
        emit finished(summary);
    };
    connect(_writer.get(), &ConfigurationWriter::finished, this, [done] { done(QString()); });
    connect(_writer.get(), &ConfigurationWriter::portFailed, this,
            [this, done](const QString& error) { done(tr("The port failed: %1").arg(error)); });
    _writer->start(_servos, dryRun);
}

void ApplyConfigurationDialog::fillTable()
{
    QStringList keys;
    for (const FieldRecord& field : _catalogue->fields())
        for (const ServoWriteResult& result : _compared)
            if (result.changes.count(field.key) && !keys.contains(field.key))
                keys << field.key;
    QStringList headers{tr("Setting"), tr("File")};
    for (const ServoWriteResult& result : _compared)
        headers << tr("Servo %1").arg(result.servo.id);
    headers << tr("Unit");
    _ui->applyTable->setColumnCount(headers.size());
    _ui->applyTable->setHorizontalHeaderLabels(headers);
    _ui->applyTable->setRowCount(keys.size());
    const std::shared_ptr<UnitsHelper> units = FieldCore::currentUnits();
    for (int row = 0; row < keys.size(); ++row) {
        const FieldRecord& field = *_catalogue->byKey(keys.at(row));
        auto* caption = new QTableWidgetItem(field.caption);
        caption->setData(Qt::UserRole, field.key);
        caption->setFlags(caption->flags() | Qt::ItemIsUserCheckable);
        caption->setCheckState(Qt::Checked);
        _ui->applyTable->setItem(row, 0, caption);
        _ui->applyTable->setItem(
            row, 1, new QTableWidgetItem(ConfigurationDialog::shownValue(field, _file->values.at(field.key), *units)));
        for (int s = 0; s < _compared.size(); ++s) {
            const ServoWriteResult& result = _compared.at(s);
            QString text = QStringLiteral("=");
            if (result.held.count(field.key))
                text = ConfigurationDialog::shownValue(field, result.held.at(field.key), *units);
            else if (result.outcome != ServoWriteResult::Outcome::WouldChange &&
                     result.outcome != ServoWriteResult::Outcome::Unchanged)
                text = result.text();
            _ui->applyTable->setItem(row, fixedColumns + s, new QTableWidgetItem(text));
        }
        _ui->applyTable->setItem(row, fixedColumns + _compared.size(),
                                 new QTableWidgetItem(field.hasRange ? units->getUnitString(field.quantity) : QString()));
    }
    _ui->applyTable->resizeColumnsToContents();
    QStringList notReady;
    for (const ServoWriteResult& result : _compared)
        if (result.outcome != ServoWriteResult::Outcome::WouldChange &&
            result.outcome != ServoWriteResult::Outcome::Unchanged)
            notReady << tr("servo %1 %2").arg(result.servo.id).arg(result.text());
    _ui->applyStateLabel->setText(keys.isEmpty() ? tr("Every servo holds the file's settings already.")
                                  : notReady.isEmpty()
                                      ? tr("%n value(s) differ; the ticked ones will be written.", nullptr, keys.size())
                                      : tr("%n value(s) differ; %1.", nullptr, keys.size())
                                            .arg(notReady.join(QStringLiteral(", "))));
    _ui->applyWriteButton->setEnabled(!keys.isEmpty());
}

QStringList ApplyConfigurationDialog::tickedKeys() const
{
    QStringList keys;
    for (int row = 0; row < _ui->applyTable->rowCount(); ++row)
        if (_ui->applyTable->item(row, 0)->checkState() == Qt::Checked)
            keys << _ui->applyTable->item(row, 0)->data(Qt::UserRole).toString();
    return keys;
}

void ApplyConfigurationDialog::writeTicked()
{
    const QStringList keys = tickedKeys();
    if (!_file || keys.isEmpty() || isBusy())
        return;
    _ui->applyResultsList->clear();
    runWriter(keys, false);
}
