#include "ui_applyconfigurationdialog.h"
#include "window/dialogs/applyconfigurationdialog.h"

#include "core/model/fieldcore.h"
#include "core/model/idevice.h"
#include "core/session/devicehelper.h"
#include "core/units/unitshelper.h"
#include "window/dialogs/configurationdialog.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>

#include <utility>

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
    _columns.clear();
    _rows.clear();
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
        takeResults(results);
        if (dryRun) {
            _rows.clear();
            for (const FieldRecord& field : _catalogue->fields())
                for (const Column& column : _columns)
                    if (differs(column, field.key) && !_rows.contains(field.key))
                        _rows << field.key;
        }
        fillTable();
        if (dryRun) {
            _ui->applyStateLabel->setText(stateText());
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

// A comparison starts the columns afresh; a write updates those it read back, and a servo it
// could not read is shown as unknown rather than with values it may no longer hold.
void ApplyConfigurationDialog::takeResults(const QList<ServoWriteResult>& results)
{
    QList<Column> columns;
    for (const ServoWriteResult& result : results) {
        Column column;
        column.id = result.servo.id;
        for (const Column& before : std::as_const(_columns))
            if (before.id == column.id && before.unknown.isEmpty())
                column.now = before.now; // keys not written this time hold what they held
        // Nothing read back, but for a file with nothing to compare (an id and a baud rate only).
        if (result.now.empty() && result.outcome != ServoWriteResult::Outcome::Unchanged) {
            column.now.clear();
            column.unknown = result.text();
        }
        for (const auto& [key, raw] : result.now)
            column.now[key] = raw;
        columns << column;
    }
    _columns = columns;
}

bool ApplyConfigurationDialog::differs(const Column& column, const QString& key) const
{
    const auto held = column.now.find(key);
    return column.unknown.isEmpty() && held != column.now.end() && held->second != _file->values.at(key);
}

QString ApplyConfigurationDialog::columnText(const Column& column, const FieldRecord& field,
                                             const UnitsHelper& units) const
{
    if (!column.unknown.isEmpty())
        return column.unknown;
    const auto held = column.now.find(field.key);
    if (held == column.now.end())
        return {};
    return held->second == _file->values.at(field.key) ? QStringLiteral("=")
                                                       : ConfigurationDialog::shownValue(field, held->second, units);
}

void ApplyConfigurationDialog::fillTable()
{
    QStringList headers{tr("Setting"), tr("File")};
    for (const Column& column : std::as_const(_columns))
        headers << tr("Servo %1").arg(column.id);
    headers << tr("Unit");
    _ui->applyTable->setColumnCount(headers.size());
    _ui->applyTable->setHorizontalHeaderLabels(headers);
    _ui->applyTable->setRowCount(_rows.size());
    const std::shared_ptr<UnitsHelper> units = FieldCore::currentUnits();
    bool anyDiffers = false;
    for (int row = 0; row < _rows.size(); ++row) {
        const FieldRecord& field = *_catalogue->byKey(_rows.at(row));
        bool rowDiffers = false;
        for (int s = 0; s < _columns.size(); ++s) {
            rowDiffers = rowDiffers || differs(_columns.at(s), field.key);
            _ui->applyTable->setItem(row, fixedColumns + s,
                                     new QTableWidgetItem(columnText(_columns.at(s), field, *units)));
        }
        anyDiffers = anyDiffers || rowDiffers;
        auto* caption = new QTableWidgetItem(field.caption);
        caption->setData(Qt::UserRole, field.key);
        caption->setFlags(caption->flags() | Qt::ItemIsUserCheckable);
        caption->setCheckState(rowDiffers ? Qt::Checked : Qt::Unchecked);
        _ui->applyTable->setItem(row, 0, caption);
        _ui->applyTable->setItem(
            row, 1, new QTableWidgetItem(ConfigurationDialog::shownValue(field, _file->values.at(field.key), *units)));
        _ui->applyTable->setItem(row, fixedColumns + _columns.size(),
                                 new QTableWidgetItem(field.hasRange ? units->getUnitString(field.quantity) : QString()));
    }
    _ui->applyTable->resizeColumnsToContents();
    _ui->applyWriteButton->setEnabled(anyDiffers);
}

// "Every servo holds …" only when every servo was read; otherwise which could not be compared, and why.
QString ApplyConfigurationDialog::stateText() const
{
    QStringList unknown;
    for (const Column& column : _columns)
        if (!column.unknown.isEmpty())
            unknown << tr("servo %1: %2").arg(column.id).arg(column.unknown);
    const QString notCompared =
        tr("Could not compare %1.").arg(unknown.join(QStringLiteral("; ")));
    if (_rows.isEmpty()) {
        if (unknown.isEmpty())
            return tr("Every servo holds the file's settings already.");
        if (unknown.size() == _columns.size())
            return notCompared;
        return tr("The other servos hold the file's settings already. %1").arg(notCompared);
    }
    const QString differing = tr("%n value(s) differ; the ticked ones will be written.", nullptr, _rows.size());
    return unknown.isEmpty() ? differing : differing + QLatin1Char(' ') + notCompared;
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
