#include "bus/searchdialog.h"

#include "bus/portdiagnostics.h"
#include "bus/portlatency.h"
#include "bus/searchhelper.h"
#include "bus/serialhelper.h"
#include "settings/settingshelper.h"
#include "ui_searchdialog.h"

#include <serialportitem.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QCompleter>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace {

const QString serialPortNameKey = QStringLiteral("serialPortName");
constexpr int probeRequestBytes = 14; // read instruction with address and length
constexpr int probeAnswerBytes = 15;  // status packet with 4 data bytes
constexpr int defaultLower = 1;
constexpr int defaultUpper = 10;
constexpr int ax12ModelNumber = 12;
// Events are let in at least this often while a long probe runs.
constexpr int eventSliceMs = 50;
// The worker's own deadline ends every probe; this only bounds a stalled worker.
constexpr int stalledWorkerMs = 1000;
constexpr int progressRefreshMs = 100;

enum Column
{
    BaudRateColumn = 0,
    IdColumn = 1,
    ModelColumn = 2
};

} // namespace

// What a scan will do, for the progress bar's count and time estimate.
struct SearchDialog::Plan
{
    QList<int> rates;
    QList<int> waitsMs; // per probe, by rate
    bool quick = false;
    int lower = 0;
    int upper = 0;
};

SearchDialog::SearchDialog(QWidget* parent) : QDialog(parent), ui(new Ui::SearchDialog)
{
    ui->setupUi(this);
    _settings = std::make_shared<Settings>(QStringLiteral("port settings"));
    _thread = std::make_unique<QThread>();
    setModal(true);
    // Device names are case-sensitive.
    ui->serialPortInfoListBox->completer()->setCaseSensitivity(Qt::CaseSensitive);
    fillPortsInfo();

    _buttonGroup = new QButtonGroup(this);
    _buttonGroup->setExclusive(false);
    const QList<QCheckBox*> boxes = {ui->baudRate9600CheckBox,   ui->baudRate19200CheckBox,
                                     ui->baudRate38400CheckBox,  ui->baudRate57600CheckBox,
                                     ui->baudRate115200CheckBox, ui->baudRate200000CheckBox,
                                     ui->baudRate250000CheckBox, ui->baudRate400000CheckBox,
                                     ui->baudRate500000CheckBox, ui->baudRate1000000CheckBox};
    for (int i = 0; i < boxes.size(); ++i)
        _buttonGroup->addButton(boxes[i], i);

    connect(ui->selectPushButton, &QPushButton::clicked, this, &SearchDialog::select);
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
    ui->servoTreeWidget->setColumnCount(3);
}

SearchDialog::~SearchDialog()
{
    _abort = true;
    if (_searchHelper)
        stopWorker();
    delete ui;
}

int SearchDialog::probeWaitMs(int baudRate, int adapterAllowanceUs)
{
    return SerialHelper::transactionDeadlineMs(baudRate, probeRequestBytes, probeAnswerBytes,
                                               adapterAllowanceUs);
}

QString SearchDialog::modelText(const QByteArray& answer)
{
    // Model number: data bytes 0 and 1 of the status packet, little-endian.
    if (answer.size() < 11)
        return {};
    const int model = static_cast<uint8_t>(answer.at(9)) | (static_cast<uint8_t>(answer.at(10)) << 8);
    if (model == ax12ModelNumber)
        return QStringLiteral("Dynamixel AX-12");
    return QStringLiteral("Velkora M") + QString::number(static_cast<int8_t>(answer.at(10)));
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
        _abort = true;
        return;
    }
    ++_showings;
    for (QAbstractButton* box : _buttonGroup->buttons())
        box->setChecked(false);
    ui->lowerSearchRangeSpinBox->setValue(defaultLower);
    ui->upperSearchRangeSpinBox->setValue(defaultUpper);
    ui->servoTreeWidget->clear();
    ui->selectPushButton->setEnabled(false);
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
    ui->scanPushButton->setEnabled(!_scanning && anyTicked &&
                                   !ui->serialPortInfoListBox->currentText().trimmed().isEmpty());
}

void SearchDialog::lockInputs(bool locked)
{
    ui->serialPortInfoListBox->setEnabled(!locked);
    ui->idGroupBox->setEnabled(!locked);
    ui->baudRateGroupBox->setEnabled(!locked);
    ui->quickScanCheckBox->setEnabled(!locked);
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
    emit updateBaudRate(row->parent()->text(BaudRateColumn).toInt());
    emit updateId(row->text(IdColumn).toInt());
    hide();
}

void SearchDialog::cancel()
{
    close();
}

void SearchDialog::abortScan()
{
    _abort = true;
}

void SearchDialog::scan()
{
    if (_scanning)
        return;
    const QString portName = ui->serialPortInfoListBox->currentText().trimmed();
    Plan plan;
    plan.quick = ui->quickScanCheckBox->isChecked();
    plan.lower = ui->lowerSearchRangeSpinBox->value();
    plan.upper = ui->upperSearchRangeSpinBox->value();
    _adapterAllowanceUs = probePortLatency(portName).allowanceUs();
    for (QAbstractButton* box : _buttonGroup->buttons()) { // slowest rate first
        if (!box->isChecked())
            continue;
        const int rate = box->text().toInt();
        plan.rates.append(rate);
        plan.waitsMs.append(plan.quick
                                ? SerialHelper::broadcastPingWindowMs(rate, plan.upper, _adapterAllowanceUs)
                                : probeWaitMs(rate, _adapterAllowanceUs));
    }
    if (portName.isEmpty() || plan.rates.isEmpty())
        return;

    _scanning = true;
    _abort = false;
    _probesMade = 0;
    _portError.clear();
    _found.clear();
    _progressShown.invalidate();
    ui->servoTreeWidget->clear();
    ui->selectPushButton->setEnabled(false);
    lockInputs(true);
    repaint();
    _scanShowing = _showings;
    startWorker(portName);

    for (int r = 0; r < plan.rates.size() && !_abort && _portError.isEmpty(); ++r) {
        const int rate = plan.rates[r];
        if (plan.quick) {
            showProgress(plan, r, plan.lower);
            QCoreApplication::processEvents();
            if (_abort)
                break;
            const QList<QByteArray> answers = quickScanRate(rate, plan.upper);
            for (const QByteArray& answer : answers) {
                const int id = static_cast<uint8_t>(answer.at(4));
                if (id >= plan.lower && id <= plan.upper && !_found.contains(id))
                    addServo(rate, id, answer, portName);
            }
            continue;
        }
        // An id found at a slower rate is not asked again.
        for (int id = plan.lower; id <= plan.upper && !_abort && _portError.isEmpty(); ++id) {
            if (_found.contains(id))
                continue;
            showProgress(plan, r, id);
            QCoreApplication::processEvents(); // clicks, repaints and Abort, between probes
            if (_abort)
                break;
            const QByteArray answer = scanServo(id, rate);
            if (!answer.isEmpty())
                addServo(rate, id, answer, portName);
        }
    }

    stopWorker();
    _scanning = false;
    lockInputs(false);
    if (!scanStillShown())
        return;

    const bool stopped = _abort;
    ui->servoTreeWidget->expandAll();
    ui->scanProgressBar->setRange(0, 1);
    ui->scanProgressBar->setValue(stopped || !_portError.isEmpty() ? 0 : 1);
    ui->scanProgressBar->setFormat(stopped ? tr("Aborted after %1 probes").arg(_probesMade)
                                           : tr("%n servo(s) found", nullptr, _found.size()));
    if (!_portError.isEmpty()) {
        auto* box = new QMessageBox(QMessageBox::Critical, tr("Error"),
                                    tr("The serial port %1 cannot be searched: %2")
                                        .arg(portName, portOpenErrorText(portName, _portError)),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
}

QByteArray SearchDialog::scanServo(int id, int baudRate)
{
    const int probe = _searchHelper->expectProbe();
    emit doScanServo(id, baudRate);
    ++_probesMade;
    if (!awaitProbe(probe, probeWaitMs(baudRate, _adapterAllowanceUs)))
        return {};
    _portError = _searchHelper->openError();
    return _searchHelper->getData();
}

QList<QByteArray> SearchDialog::quickScanRate(int baudRate, int highestId)
{
    const int probe = _searchHelper->expectProbe();
    emit doQuickScan(baudRate, highestId);
    ++_probesMade;
    if (!awaitProbe(probe, SerialHelper::broadcastPingWindowMs(baudRate, highestId, _adapterAllowanceUs)))
        return {};
    _portError = _searchHelper->openError();
    return _searchHelper->answers();
}

bool SearchDialog::awaitProbe(int probe, int expectedMs)
{
    const int limitMs = 2 * expectedMs + stalledWorkerMs;
    QElapsedTimer clock;
    clock.start();
    bool cancelled = false;
    for (;;) {
        const int leftMs = static_cast<int>(std::max<qint64>(0, limitMs - clock.elapsed()));
        if (_searchHelper->waitForProbe(probe, std::min(eventSliceMs, leftMs)))
            return true;
        if (leftMs == 0)
            return false;
        // A slow line or a broadcast window can take seconds: keep the window alive meanwhile.
        QCoreApplication::processEvents();
        if (_abort && !cancelled) {
            SearchHelper* helper = _searchHelper.get();
            QMetaObject::invokeMethod(
                helper, [helper] { helper->cancel(); }, Qt::QueuedConnection);
            cancelled = true;
        }
    }
}

void SearchDialog::addServo(int baudRate, int id, const QByteArray& answer, const QString& portName)
{
    if (!scanStillShown())
        return;
    QTreeWidgetItem* root = addTreeRoot(QString::number(baudRate));
    addTreeChild(root, QString::number(id), modelText(answer));
    root->child(0)->setData(IdColumn, Qt::UserRole, portName);
    root->setExpanded(true);
    _found.append(id);
    ui->servoTreeWidget->repaint();
}

void SearchDialog::showProgress(const Plan& plan, int rateIndex, int nextId)
{
    // Repainting the bar for every 10 ms probe would cost more than the probes.
    if (_progressShown.isValid() && !_progressShown.hasExpired(progressRefreshMs))
        return;
    _progressShown.start();
    // Every probe still to come is assumed to wait its whole deadline.
    int remaining = 0;
    qint64 leftMs = 0;
    for (int r = rateIndex; r < plan.rates.size(); ++r) {
        int probes = 1;
        if (!plan.quick) {
            probes = 0;
            for (int id = r == rateIndex ? nextId : plan.lower; id <= plan.upper; ++id)
                probes += _found.contains(id) ? 0 : 1;
        }
        remaining += probes;
        leftMs += static_cast<qint64>(probes) * plan.waitsMs[r];
    }
    const int total = _probesMade + remaining;
    ui->scanProgressBar->setRange(0, std::max(total, 1));
    ui->scanProgressBar->setValue(_probesMade);
    ui->scanProgressBar->setFormat(tr("%1 of %2 probes, about %3 s left")
                                       .arg(_probesMade)
                                       .arg(total)
                                       .arg(std::ceil(leftMs / 1000.0), 0, 'f', 0));
}

// A scan belongs to the showing it started in. Closed, and perhaps opened again before the probe
// under way ended, the dialog takes nothing more from it: not a servo, not its end.
bool SearchDialog::scanStillShown() const
{
    return _scanShowing == _showings && isVisible();
}

void SearchDialog::startWorker(const QString& portName)
{
    _searchHelper = std::make_shared<SearchHelper>(portName);
    _searchHelper->moveToThread(_thread.get());
    connect(this, &SearchDialog::doScanServo, _searchHelper.get(), &SearchHelper::scanServo);
    connect(this, &SearchDialog::doQuickScan, _searchHelper.get(), &SearchHelper::quickScan);
    _thread->start();
}

void SearchDialog::stopWorker()
{
    // The port and its notifiers belong to the worker thread: they are closed there.
    SearchHelper* helper = _searchHelper.get();
    QThread* guiThread = thread();
    QMetaObject::invokeMethod(
        helper, [helper, guiThread] { helper->release(guiThread); }, Qt::BlockingQueuedConnection);
    _thread->quit();
    _thread->wait();
    _searchHelper.reset();
}
