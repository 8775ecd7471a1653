#include "ui_configurationdialog.h"
#include "window/dialogs/configurationdialog.h"

#include "core/model/fieldcore.h"
#include "core/session/devicehelper.h"
#include "core/session/uischeduler.h"
#include "core/settings/settingshelper.h"
#include "core/units/unitshelper.h"

#include <QAction>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QSaveFile>
#include <QTimer>

#include <climits>

namespace {
enum Column
{
    CaptionColumn,
    ServoColumn,
    FileColumn,
    UnitColumn,
    ResultColumn
};
} // namespace

QString ConfigurationDialog::shownValue(const FieldRecord& field, int raw, const UnitsHelper& units)
{
    if (!field.hasRange)
        return QString::number(raw);
    const double shown = units.convertToTargetUnit(field.toPhysical(raw), field.quantity);
    return QStringLiteral("%L1").arg(shown, 0, 'f', int(units.getTargetUnitDecimalPlaces(field.quantity)));
}

namespace {
const QString nameFilter = QStringLiteral("Servo configurations (*.json);;All files (*)");
// The first table comes one poll after Connect; a servo that has not sent one by then is not answering.
constexpr int tableWaitMs = 3000;
} // namespace

bool ConnectedServo::hasTable() const
{
    if (!catalogue || !table)
        return false;
    const QByteArray read = table();
    for (const FieldRecord& field : catalogue->fields())
        if (field.address + field.size > read.size())
            return false;
    return !read.isEmpty();
}

ConfigurationDialog::ConfigurationDialog(QWidget* parent)
    : QDialog(parent), _ui(std::make_unique<Ui::ConfigurationDialog>())
{
    _ui->setupUi(this);
    connect(_ui->applyConfigurationButton, &QPushButton::clicked, this, &ConfigurationDialog::applySelected);
    connect(_ui->closeConfigurationButton, &QPushButton::clicked, this, &QDialog::close);
    connect(_ui->showEqualCheckBox, &QCheckBox::toggled, this, &ConfigurationDialog::fillTable);
    _tableTimer = new QTimer(this);
    _tableTimer->setSingleShot(true);
    connect(_tableTimer, &QTimer::timeout, this, [this] {
        disconnect(_tableWait);
        emit failed(_notDone);
    });
}

ConfigurationDialog::~ConfigurationDialog() = default;

void ConfigurationDialog::attach(const Actions& actions, std::function<ConnectedServo()> servo,
                                 std::shared_ptr<Settings> settings)
{
    static const QString keyFolder = QStringLiteral("configurationFolder");
    auto folder = [settings] { return settings->getValue(keyFolder, QDir::homePath()).toString(); };
    connect(actions.save, &QAction::triggered, this, [this, servo, folder] { saveConfiguration(servo(), folder()); });
    connect(actions.compare, &QAction::triggered, this, [this, servo, folder] { compareWithFile(servo(), folder()); });
    connect(actions.compareFiles, &QAction::triggered, this, [this, folder] { compareFiles(folder()); });
    connect(this, &ConfigurationDialog::folderUsed, this,
            [settings](const QString& used) { settings->setValue(keyFolder, used); });
}

void ConfigurationDialog::whenTableRead(const ConnectedServo& servo, const QString& notDone,
                                        std::function<void()> then)
{
    disconnect(_tableWait);
    _tableTimer->stop();
    if (servo.hasTable()) {
        then();
        return;
    }
    emit message(tr("Waiting for the servo's settings to be read…"));
    _notDone = notDone;
    _tableWait = connect(servo.scheduler.get(), &UiScheduler::tableDecoded, this, [this, servo, then] {
        if (!servo.hasTable())
            return;
        disconnect(_tableWait);
        _tableTimer->stop();
        then();
    });
    _tableTimer->start(tableWaitMs);
}

void ConfigurationDialog::saveConfiguration(const ConnectedServo& servo, const QString& folder)
{
    if (!servo.scheduler || !servo.catalogue)
        return;
    whenTableRead(servo,
                  tr("The servo's settings have not been read yet, so nothing was saved. Save again once "
                     "the edit view shows its values."),
                  [this, servo, folder] { chooseFileToSave(servo, folder); });
}

void ConfigurationDialog::chooseFileToSave(const ConnectedServo& servo, const QString& folder)
{
    ServoConfiguration configuration =
        ServoConfiguration::fromTable(*servo.catalogue, servo.table(), servo.baudRate);
    configuration.savedBy = QStringLiteral("Velkora Servo Manager %1").arg(QStringLiteral(VSM_VERSION));
    configuration.saved = QDateTime::currentDateTimeUtc();
    const QByteArray json = configuration.toJson(*servo.catalogue, *FieldCore::currentUnits());
    const QString name = QStringLiteral("servo-%1-%2.json")
                             .arg(configuration.id)
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    auto* dialog = new QFileDialog(parentWidget(), tr("Save configuration"), QDir(folder).filePath(name), nameFilter);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(QStringLiteral("json"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, [this, json](const QString& path) {
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
            emit failed(tr("Could not save the configuration to %1: %2").arg(path, file.errorString()));
            return;
        }
        emit folderUsed(QFileInfo(path).absolutePath());
        emit message(tr("Configuration saved to %1").arg(QFileInfo(path).fileName()));
    });
    dialog->open();
}

void ConfigurationDialog::compareWithFile(const ConnectedServo& servo, const QString& folder)
{
    if (!servo.scheduler || !servo.catalogue)
        return;
    whenTableRead(servo,
                  tr("The servo's settings have not been read yet, so nothing was compared. Compare again "
                     "once the edit view shows its values."),
                  [this, servo, folder] {
                      _servo = servo;
                      auto* dialog = new QFileDialog(parentWidget(), tr("Compare with file"), folder, nameFilter);
                      dialog->setFileMode(QFileDialog::ExistingFile);
                      dialog->setAttribute(Qt::WA_DeleteOnClose);
                      connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& path) { compare(path); });
                      dialog->open();
                  });
}

bool ConfigurationDialog::compare(const QString& path)
{
    if (!_servo.scheduler || !_servo.catalogue)
        return false;
    if (!_servo.hasTable()) {
        emit failed(tr("The servo's settings have not been read yet, so nothing was compared."));
        return false;
    }
    _leftFile.reset();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit failed(tr("Could not read %1: %2").arg(path, file.errorString()));
        return false;
    }
    const QByteArray table = _servo.table();
    const FieldRecord* model = _servo.catalogue->byKey(QStringLiteral("modelNumber"));
    const FieldRecord* firmware = _servo.catalogue->byKey(QStringLiteral("firmwareVersion"));
    const auto read = ServoConfiguration::fromJson(file.read(1 << 20), QFileInfo(path).fileName(), *_servo.catalogue,
                                                   model ? model->rawIn(table) : 0,
                                                   firmware ? firmware->rawIn(table) : 0);
    if (!read.error.isEmpty()) {
        emit failed(read.error);
        return false;
    }
    emit folderUsed(QFileInfo(path).absolutePath());
    _file = read.configuration;
    _fileName = QFileInfo(path).fileName();
    _results.clear();
    _ui->showEqualCheckBox->setChecked(false);
    _ui->configurationFileLabel->setText(
        read.warning.isEmpty() ? tr("%1, saved %2").arg(_fileName, _file.saved.toLocalTime().toString())
                               : read.warning);
    _ui->configurationStatusLabel->clear();
    fillTable();
    show();
    raise();
    return true;
}

// Differing rows first and ticked (the id and the baud rate never by themselves: a file restored
// onto another servo must not take its address); equal rows greyed, or hidden.
void ConfigurationDialog::fillTable()
{
    const QByteArray table = _servo.table ? _servo.table() : QByteArray();
    const auto units = FieldCore::currentUnits();
    QTableWidget* view = _ui->configurationTable;
    view->setRowCount(0);
    if (!_servo.catalogue)
        return;
    // Two files: the first stands where the servo would.
    const auto left = [this, &table](const FieldRecord& field) {
        if (!_leftFile)
            return field.rawIn(table);
        const auto it = _leftFile->values.find(field.key);
        return it == _leftFile->values.end() ? INT_MIN : it->second;
    };
    QList<const FieldRecord*> differing;
    QList<const FieldRecord*> equal;
    for (const FieldRecord& field : _servo.catalogue->fields()) {
        if (!_file.values.count(field.key))
            continue;
        (left(field) == _file.values.at(field.key) ? equal : differing).append(&field);
    }
    const QList<const FieldRecord*> rows = differing + (_ui->showEqualCheckBox->isChecked() ? equal : QList<const FieldRecord*>());
    view->setRowCount(rows.size());
    for (int row = 0; row < rows.size(); ++row) {
        const FieldRecord& field = *rows.at(row);
        const bool differs = row < differing.size();
        auto* caption = new QTableWidgetItem(field.caption);
        caption->setData(Qt::UserRole, field.key);
        const bool address = field.key == QLatin1String("id") || field.key == QLatin1String("baudRate");
        if (_leftFile) {
            caption->setFlags(differs ? Qt::ItemIsEnabled : Qt::NoItemFlags);
        } else {
            caption->setFlags(differs ? Qt::ItemIsEnabled | Qt::ItemIsUserCheckable : Qt::NoItemFlags);
            caption->setCheckState(differs && !address ? Qt::Checked : Qt::Unchecked);
        }
        if (address)
            caption->setToolTip(tr("Restoring this gives the servo the file's address: it is not ticked by itself."));
        view->setItem(row, CaptionColumn, caption);
        const int leftRaw = left(field);
        const QStringList texts{leftRaw == INT_MIN ? QString() : shownValue(field, leftRaw, *units),
                                shownValue(field, _file.values.at(field.key), *units),
                                field.hasRange ? units->getUnitString(field.quantity) : QString(),
                                _results.value(field.key)};
        for (int column = ServoColumn; column <= ResultColumn; ++column) {
            auto* item = new QTableWidgetItem(texts.at(column - ServoColumn));
            item->setFlags(differs ? Qt::ItemIsEnabled : Qt::NoItemFlags);
            view->setItem(row, column, item);
        }
    }
    view->resizeColumnsToContents();
    _ui->applyConfigurationButton->setVisible(!_leftFile);
    _ui->applyConfigurationButton->setEnabled(!differing.isEmpty() && _writesOutstanding == 0);
    view->setHorizontalHeaderLabels({tr("Field"), _leftFile ? _leftName : tr("Servo"), _leftFile ? _fileName : tr("File"),
                                     tr("Unit"), tr("Result")});
}

QStringList ConfigurationDialog::tickedKeys() const
{
    QStringList keys;
    for (int row = 0; row < _ui->configurationTable->rowCount(); ++row) {
        const QTableWidgetItem* item = _ui->configurationTable->item(row, CaptionColumn);
        if (item && item->checkState() == Qt::Checked)
            keys << item->data(Qt::UserRole).toString();
    }
    return keys;
}

void ConfigurationDialog::applySelected()
{
    if (!_servo.scheduler || _writesOutstanding > 0)
        return;
    const QStringList keys = tickedKeys();
    if ((keys.contains(QStringLiteral("id")) || keys.contains(QStringLiteral("baudRate"))) &&
        QMessageBox::warning(this, tr("Apply selected"),
                             tr("The servo's id or baud rate will change to the file's. Go on?"),
                             QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel) != QMessageBox::Yes)
        return;
    const QByteArray table = _servo.table();
    const bool motorOn = _servo.catalogue->motorBlocksNonVolatile(table);
    QStringList notes;
    _results.clear();
    _verified = _differing = 0;
    connect(_servo.scheduler.get(), &UiScheduler::writeFinished, this, &ConfigurationDialog::onWriteFinished,
            Qt::UniqueConnection);
    for (const GroupWrite& write : restoreWrites(_file, *_servo.catalogue, keys)) {
        if (motorOn && _servo.catalogue->byObjectName(write.fields().first().name)->group == FieldGroup::NonVolatile) {
            // The servo refuses these while its motor runs; nothing of them is sent.
            for (const WriteField& field : write.fields())
                _results[FieldCatalogue::keyOf(field.name)] = tr("not written: the motor is on");
            notes << tr("The non-volatile settings were not written: switch the motor off first.");
            continue;
        }
        ++_writesOutstanding;
        _servo.scheduler->addWrite(write);
    }
    _ui->configurationStatusLabel->setText(notes.join(QLatin1Char(' ')));
    fillTable();
}

void ConfigurationDialog::onWriteFinished(const GroupWrite& write, const WriteOutcome& outcome)
{
    if (_writesOutstanding == 0)
        return;
    --_writesOutstanding;
    const QByteArray table = _servo.table();
    for (const WriteField& field : write.fields()) {
        const QString key = FieldCatalogue::keyOf(field.name);
        const FieldRecord* record = _servo.catalogue->byKey(key);
        if (!outcome.readBack) {
            _results[key] = tr("not written: %1").arg(outcome.problem.isEmpty() ? tr("no answer") : outcome.problem);
        } else if (!outcome.lockProblem.isEmpty()) {
            _results[key] = tr("differs: %1").arg(outcome.lockProblem);
            ++_differing;
        } else if (record && record->rawIn(table) == _file.values[key]) {
            _results[key] = tr("written and verified");
            ++_verified;
        } else {
            _results[key] = tr("differs");
            ++_differing;
        }
    }
    if (_writesOutstanding == 0) {
        _ui->showEqualCheckBox->setChecked(true); // the rows just written are equal now
        emit message(tr("Configuration from %1: %2 values written and verified, %3 differ")
                         .arg(_fileName)
                         .arg(_verified)
                         .arg(_differing));
    }
    fillTable();
}

void ConfigurationDialog::compareFiles(const QString& folder)
{
    auto* dialog = new QFileDialog(parentWidget(), tr("Compare two files"), folder, nameFilter);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::filesSelected, this, [this](const QStringList& paths) {
        if (paths.size() != 2) {
            emit failed(tr("Choose two configuration files to compare."));
            return;
        }
        compareFiles(paths.at(0), paths.at(1));
    });
    dialog->open();
}

bool ConfigurationDialog::compareFiles(const QString& first, const QString& second)
{
    QList<ServoConfiguration> files;
    std::shared_ptr<const FieldCatalogue> catalogue;
    int model = -1;
    int firmware = -1;
    for (const QString& path : {first, second}) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            emit failed(tr("Could not read %1: %2").arg(path, file.errorString()));
            return false;
        }
        const QByteArray json = file.read(1 << 20);
        if (!catalogue) {
            // The first file names the model both must be of.
            const QJsonObject servo = QJsonDocument::fromJson(json).object().value(QStringLiteral("servo")).toObject();
            model = servo.value(QStringLiteral("modelNumber")).toInt(-1);
            firmware = servo.value(QStringLiteral("firmware")).toInt(-1);
            const auto device = DeviceHelper::createDevice(model);
            if (!device) {
                emit failed(tr("%1: not a configuration file of a known servo model").arg(QFileInfo(path).fileName()));
                return false;
            }
            catalogue = std::make_shared<FieldCatalogue>(*device);
        }
        const auto read = ServoConfiguration::fromJson(json, QFileInfo(path).fileName(), *catalogue, model, firmware);
        if (!read.error.isEmpty()) {
            emit failed(read.error);
            return false;
        }
        files.append(read.configuration);
    }
    _servo = {};
    _servo.catalogue = catalogue;
    _leftFile = files.at(0);
    _leftName = QFileInfo(first).fileName();
    _file = files.at(1);
    _fileName = QFileInfo(second).fileName();
    _results.clear();
    _ui->showEqualCheckBox->setChecked(false);
    _ui->configurationFileLabel->setText(tr("%1 against %2").arg(_leftName, _fileName));
    _ui->configurationStatusLabel->clear();
    fillTable();
    show();
    raise();
    return true;
}
