#include "window/dialogs/searchdialog.h"

#include "core/jobs/servosearch.h"
#include "core/model/modelregistry.h"
#include "core/settings/settingshelper.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/serialhelper.h"
#include "ui_searchdialog.h"
#include "window/dialogs/offer.h"

#include <serialportitem.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QCompleter>
#include <QGridLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace {

const QString serialPortNameKey = QStringLiteral("serialPortName");
constexpr int defaultLower = 1;
constexpr int defaultUpper = 10;

enum Column
{
    BaudRateColumn = 0,
    IdColumn = 1,
    ModelColumn = 2,
    ProtocolColumn = 3
};

// The items of the protocol box, in its order.
QList<BusProtocol> protocolsOfChoice(int index)
{
    switch (index) {
    case 1:
        return {BusProtocol::One};
    case 2:
        return {BusProtocol::Two, BusProtocol::One};
    case 3:
        return {BusProtocol::Feetech};
    case 4:
        return {BusProtocol::Two, BusProtocol::One, BusProtocol::Feetech};
    default:
        return {BusProtocol::Two};
    }
}

const QString baudRateKey = QStringLiteral("baudRate");
const QList<int> commonRates = {57600, 115200, 1000000};

} // namespace

SearchDialog::SearchDialog(QWidget* parent) : QDialog(parent), ui(new Ui::SearchDialog)
{
    ui->setupUi(this);
    _settings = std::make_shared<Settings>(QStringLiteral("port settings"));
    setModal(true);
    // Device names are case-sensitive.
    ui->serialPortInfoListBox->completer()->setCaseSensitivity(Qt::CaseSensitive);
    fillPortsInfo();

    _buttonGroup = new QButtonGroup(this);
    _buttonGroup->setExclusive(false);
    addRateBoxes();

    connect(ui->selectPushButton, &QPushButton::clicked, this, &SearchDialog::select);
    connect(ui->addAllButton, &QPushButton::clicked, this, &SearchDialog::addAll);
    connect(ui->cancelPushButton, &QPushButton::clicked, this, &SearchDialog::cancel);
    connect(ui->scanPushButton, &QPushButton::clicked, this, &SearchDialog::scan);
    connect(ui->abortScanPushButton, &QPushButton::clicked, this, &SearchDialog::abortScan);
    connect(ui->lowerSearchRangeSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &SearchDialog::on_lowerIdValueChanged);
    connect(ui->upperSearchRangeSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &SearchDialog::on_upperIdValueChanged);
    connect(ui->serialPortInfoListBox, &QComboBox::currentTextChanged, this,
            &SearchDialog::on_serialPortTextChanged);
    connect(ui->selectCheckBox, &QCheckBox::stateChanged, this, &SearchDialog::on_selectStateChanged);
    connect(_buttonGroup, &QButtonGroup::idToggled, this, &SearchDialog::on_baudRateCheckBoxToggled);
    connect(ui->servoTreeWidget, &QTreeWidget::itemSelectionChanged, this, &SearchDialog::on_itemClicked);
    connect(ui->servoTreeWidget, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (item && item->parent())
            select();
    });
    connect(ui->searchProtocolComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SearchDialog::updateProtocolHint);
    connect(ui->quickScanCheckBox, &QCheckBox::toggled, this, &SearchDialog::updateProtocolHint);
    ui->servoTreeWidget->setColumnCount(4);
    ui->servoTreeWidget->header()->setStretchLastSection(false);
    fitColumns();
    updateProtocolHint();
}

void SearchDialog::addRateBoxes()
{
    // Every rate a known model's servos can run at, in two columns, the fastest first; the
    // group holds them slowest first, the order a scan takes them in.
    const QList<int> rates = offeredBaudRates();
    auto* grid = new QGridLayout;
    const int rows = (rates.size() + 1) / 2;
    for (int i = 0; i < rates.size(); ++i) {
        auto* box = new QCheckBox(QString::number(rates.at(i)), this);
        box->setObjectName(QStringLiteral("baudRate%1CheckBox").arg(rates.at(i)));
        _buttonGroup->addButton(box, i);
        const int fromTop = rates.size() - 1 - i;
        grid->addWidget(box, fromTop % rows, fromTop / rows);
    }
    ui->baudRateLayout->addLayout(grid);
}

void SearchDialog::updateProtocolHint()
{
    // A broadcast ping finds no Protocol 1 or Feetech servo: those are asked id by id, even in a quick scan.
    ui->searchProtocolHintLabel->setVisible(ui->searchProtocolComboBox->currentIndex() != 0 &&
                                            ui->quickScanCheckBox->isChecked());
}

SearchDialog::~SearchDialog()
{
    // A search still running lets its worker and the port go here.
    _search.reset();
    delete ui;
}

int SearchDialog::probeWaitMs(int baudRate, int adapterAllowanceUs)
{
    return ServoSearch::probeWaitMs(baudRate, adapterAllowanceUs);
}

int SearchDialog::probesMade() const
{
    return _search ? _search->probesMade() : 0;
}

QTreeWidgetItem* SearchDialog::addTreeRoot(QString baudRate)
{
    auto* item = new QTreeWidgetItem(ui->servoTreeWidget);
    item->setText(BaudRateColumn, baudRate);
    return item;
}

void SearchDialog::addTreeChild(QTreeWidgetItem* parent, QString id, QString model)
{
    auto* item = new QTreeWidgetItem(parent);
    item->setText(IdColumn, id);
    item->setText(ModelColumn, model);
}

void SearchDialog::fillPortsInfo()
{
    ui->serialPortInfoListBox->clear();
    if (!_serialHelper)
        _serialHelper = std::make_shared<SerialHelper>();
    for (const auto& port : _serialHelper->getSerialPortList()) {
        const QStringList record = serialPortRecord(*port);
        ui->serialPortInfoListBox->addItem(record.first(), record);
    }
}

void SearchDialog::show()
{
    if (!_scanning)
        fillPortsInfo(); // adapters come and go between searches
    // The stored port may be one the machine does not list (a link, a pseudo-terminal).
    ui->serialPortInfoListBox->setCurrentText(_settings->getValue(serialPortNameKey, QString()).toString());
    QDialog::show();
    ui->selectPushButton->setFocus();
    _previousLower = ui->lowerSearchRangeSpinBox->value();
    _previousUpper = ui->upperSearchRangeSpinBox->value();
}

void SearchDialog::setVisible(bool visible)
{
    QDialog::setVisible(visible);
    if (!visible) {
        // Hidden, closed, cancelled or chosen: a scan still running stops after its probe and
        // lets the port go.
        if (_search)
            _search->abort();
        return;
    }
    ++_showings;
    // The stored rate and the rates servos leave the factory at: Scan is ready at once.
    QList<int> rates = commonRates + ModelRegistry::shared().factoryBaudRates();
    rates << _settings->getValue(baudRateKey, 0).toInt();
    for (QAbstractButton* box : _buttonGroup->buttons())
        box->setChecked(rates.contains(box->text().toInt()));
    ui->lowerSearchRangeSpinBox->setValue(defaultLower);
    ui->upperSearchRangeSpinBox->setValue(defaultUpper);
    ui->servoTreeWidget->clear();
    ui->selectPushButton->setEnabled(false);
    ui->addAllButton->setEnabled(false);
    ui->scanProgressBar->setRange(0, 1);
    ui->scanProgressBar->setValue(0);
    ui->scanProgressBar->setFormat(QString());
}

void SearchDialog::on_lowerIdValueChanged(int value)
{
    if (value > ui->upperSearchRangeSpinBox->value())
        ui->lowerSearchRangeSpinBox->setValue(_previousLower);
    else
        _previousLower = value;
}

void SearchDialog::on_upperIdValueChanged(int value)
{
    if (value < ui->lowerSearchRangeSpinBox->value())
        ui->upperSearchRangeSpinBox->setValue(_previousUpper);
    else
        _previousUpper = value;
}

void SearchDialog::on_serialPortTextChanged(const QString&)
{
    updateScanEnabled();
}

void SearchDialog::on_itemClicked()
{
    // Only a servo row has an id to hand over; a baud-rate row is just its heading.
    const QList<QTreeWidgetItem*> selected = ui->servoTreeWidget->selectedItems();
    ui->selectPushButton->setEnabled(!selected.isEmpty() && selected.first()->parent());
}

void SearchDialog::on_baudRateCheckBoxToggled(int, bool)
{
    int ticked = 0;
    for (QAbstractButton* box : _buttonGroup->buttons())
        ticked += box->isChecked() ? 1 : 0;
    _selectActive = false;
    const int all = _buttonGroup->buttons().size();
    ui->selectCheckBox->setCheckState(ticked == all ? Qt::Checked
                                      : ticked > 0  ? Qt::PartiallyChecked
                                                    : Qt::Unchecked);
    updateScanEnabled();
    _selectActive = true;
}

void SearchDialog::on_selectStateChanged(int state)
{
    if (!_selectActive)
        return;
    // A click on an empty box ticks every rate; a click on a full or partial one unticks all.
    bool tick = false;
    if (state == Qt::Checked) {
        _selectActive = false;
        ui->selectCheckBox->setCheckState(Qt::Unchecked);
        _selectActive = true;
    } else if (state == Qt::PartiallyChecked) {
        tick = true;
        _selectActive = false;
        ui->selectCheckBox->setCheckState(Qt::Checked);
        _selectActive = true;
    }
    for (QAbstractButton* box : _buttonGroup->buttons())
        box->setChecked(tick);
}

void SearchDialog::updateScanEnabled()
{
    bool anyTicked = false;
    for (QAbstractButton* box : _buttonGroup->buttons())
        anyTicked = anyTicked || box->isChecked();
    const bool portChosen = !ui->serialPortInfoListBox->currentText().trimmed().isEmpty();
    ui->scanPushButton->setEnabled(!_scanning && anyTicked && portChosen);
    // A greyed button says what it waits for.
    ui->scanPushButton->setToolTip(!portChosen  ? tr("Choose a serial port to scan")
                                   : !anyTicked ? tr("Tick at least one baud rate to scan")
                                                : QString());
}

void SearchDialog::lockInputs(bool locked)
{
    ui->serialPortInfoListBox->setEnabled(!locked);
    ui->idGroupBox->setEnabled(!locked);
    ui->baudRateGroupBox->setEnabled(!locked);
    ui->quickScanCheckBox->setEnabled(!locked);
    ui->searchProtocolComboBox->setEnabled(!locked);
    ui->abortScanPushButton->setEnabled(locked);
    updateScanEnabled();
}

void SearchDialog::select()
{
    const QList<QTreeWidgetItem*> selected = ui->servoTreeWidget->selectedItems();
    if (selected.isEmpty() || !selected.first()->parent())
        return;
    const QTreeWidgetItem* row = selected.first();
    const QString portName = row->data(IdColumn, Qt::UserRole).toString();
    if (!portName.isEmpty())
        emit updatePortName(portName);
    emit updateProtocol(row->data(ProtocolColumn, Qt::UserRole).toInt());
    emit updateBaudRate(row->parent()->text(BaudRateColumn).toInt());
    emit updateId(row->text(IdColumn).toInt());
    emit addToBus(row->text(IdColumn).toInt(), row->parent()->text(BaudRateColumn).toInt(),
                  row->data(ModelColumn, Qt::UserRole).toInt(), row->data(ModelColumn, Qt::UserRole + 1).toInt(),
                  row->data(ProtocolColumn, Qt::UserRole).toInt());
    hide();
}

void SearchDialog::addAll()
{
    for (int r = 0; r < ui->servoTreeWidget->topLevelItemCount(); ++r) {
        const QTreeWidgetItem* root = ui->servoTreeWidget->topLevelItem(r);
        for (int c = 0; c < root->childCount(); ++c) {
            const QTreeWidgetItem* row = root->child(c);
            emit addToBus(row->text(IdColumn).toInt(), root->text(BaudRateColumn).toInt(),
                          row->data(ModelColumn, Qt::UserRole).toInt(),
                          row->data(ModelColumn, Qt::UserRole + 1).toInt(),
                          row->data(ProtocolColumn, Qt::UserRole).toInt());
        }
    }
}

void SearchDialog::cancel()
{
    close();
}

void SearchDialog::abortScan()
{
    if (_search)
        _search->abort();
}

void SearchDialog::scan()
{
    if (_scanning)
        return;
    SearchPlan plan;
    plan.portName = ui->serialPortInfoListBox->currentText().trimmed();
    plan.quick = ui->quickScanCheckBox->isChecked();
    plan.protocols = protocolsOfChoice(ui->searchProtocolComboBox->currentIndex());
    plan.lower = ui->lowerSearchRangeSpinBox->value();
    plan.upper = ui->upperSearchRangeSpinBox->value();
    for (QAbstractButton* box : _buttonGroup->buttons()) { // slowest rate first
        if (box->isChecked())
            plan.rates.append(box->text().toInt());
    }
    if (plan.portName.isEmpty() || plan.rates.isEmpty())
        return;
    const QString portName = plan.portName;

    _search = std::make_unique<ServoSearch>(std::move(plan));
    ServoSearch& search = *_search;
    search.onFound = [this, portName](const FoundServo& servo) { addServo(servo, portName); };
    search.onProgress = [this](int made, int total, qint64 leftMs) { showProgress(made, total, leftMs); };
    search.onReadSent = [this](int id, int baudRate, BusProtocol) { emit doScanServo(id, baudRate); };
    search.onPingSent = [this](int baudRate, int highestId) { emit doQuickScan(baudRate, highestId); };

    _scanning = true;
    ui->servoTreeWidget->clear();
    ui->selectPushButton->setEnabled(false);
    lockInputs(true);
    repaint();
    _scanShowing = _showings;

    search.run();

    _scanning = false;
    lockInputs(false);
    if (!scanStillShown())
        return;

    const bool stopped = search.aborted();
    const QString portError = search.portError();
    ui->servoTreeWidget->expandAll();
    ui->scanProgressBar->setRange(0, 1);
    ui->scanProgressBar->setValue(stopped || !portError.isEmpty() ? 0 : 1);
    ui->scanProgressBar->setFormat(stopped ? tr("Aborted after %1 probes").arg(search.probesMade())
                                           : tr("%n servo(s) found", nullptr, search.found().size()));
    if (!portError.isEmpty()) {
        auto* box = new QMessageBox(QMessageBox::Critical, tr("Error"),
                                    tr("The serial port %1 cannot be searched: %2")
                                        .arg(portName, portOpenErrorText(portName, portError)),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    } else if (!stopped && search.found().isEmpty()) {
        offerDiagnosis(portName);
    }
}

void SearchDialog::offerDiagnosis(const QString& portName)
{
    // Nothing at any id, rate or protocol searched: the cause may lie before the servos.
    showWithOffer(this, QMessageBox::Information, tr("No servo found"),
                  tr("No servo answered on %1 at the rates searched.").arg(portName) + QLatin1Char('\n') +
                      tr("Diagnose the port, the adapter and the bus for why?"),
                  tr("Diagnose…"), [this] {
                      hide(); // the doctor takes the port
                      emit diagnoseRequested();
                  });
}

void SearchDialog::addServo(const FoundServo& servo, const QString& portName)
{
    if (!scanStillShown())
        return;
    QTreeWidgetItem* root = addTreeRoot(QString::number(servo.baudRate));
    addTreeChild(root, QString::number(servo.id), ServoSearch::modelText(servo.modelNumber));
    root->child(0)->setData(IdColumn, Qt::UserRole, portName);
    // The probe's answer tells the model; a ping's also the firmware (-1: not known).
    root->child(0)->setData(ModelColumn, Qt::UserRole, servo.modelNumber);
    root->child(0)->setData(ModelColumn, Qt::UserRole + 1, servo.firmware);
    root->child(0)->setText(ProtocolColumn, tr("Protocol %1").arg(protocolText(servo.protocol)));
    root->child(0)->setData(ProtocolColumn, Qt::UserRole, static_cast<int>(servo.protocol));
    ui->addAllButton->setEnabled(true);
    root->setExpanded(true);
    fitColumns();
    ui->servoTreeWidget->repaint();
}

void SearchDialog::fitColumns()
{
    // Every column in sight, the protocol too: the list takes the width its rows need, and the
    // dialog grows with it.
    QTreeWidget* tree = ui->servoTreeWidget;
    for (int column = 0; column < tree->columnCount(); ++column)
        tree->resizeColumnToContents(column);
    const int needed = tree->header()->length() + 2 * tree->frameWidth() +
                       tree->verticalScrollBar()->sizeHint().width();
    if (needed > tree->minimumWidth())
        tree->setMinimumWidth(needed);
}

void SearchDialog::showProgress(int made, int total, qint64 leftMs)
{
    ui->scanProgressBar->setRange(0, std::max(total, 1));
    ui->scanProgressBar->setValue(made);
    ui->scanProgressBar->setFormat(tr("%1 of %2 probes, about %3 s left")
                                       .arg(made)
                                       .arg(total)
                                       .arg(std::ceil(leftMs / 1000.0), 0, 'f', 0));
}

// A scan belongs to the showing it started in. Closed, and perhaps opened again before the probe
// under way ended, the dialog takes nothing more from it: not a servo, not its end.
bool SearchDialog::scanStillShown() const
{
    return _scanShowing == _showings && isVisible();
}
