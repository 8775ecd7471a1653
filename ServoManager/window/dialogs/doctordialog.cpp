#include "window/dialogs/doctordialog.h"

#include "core/jobs/servosearch.h"
#include "core/settings/settingshelper.h"
#include "ui_doctordialog.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QSaveFile>
#include <QShortcut>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTimer>

#include <algorithm>

namespace {

enum Column
{
    VerdictColumn = 0,
    CheckColumn = 1,
    TextColumn = 2
};

QString verdictWord(DoctorFinding::Verdict verdict)
{
    switch (verdict) {
    case DoctorFinding::Verdict::Fine:
        return DoctorDialog::tr("OK");
    case DoctorFinding::Verdict::Note:
        return DoctorDialog::tr("Note");
    case DoctorFinding::Verdict::Problem:
        break;
    }
    return DoctorDialog::tr("Problem");
}

QIcon verdictIcon(const QStyle* style, DoctorFinding::Verdict verdict)
{
    switch (verdict) {
    case DoctorFinding::Verdict::Fine:
        return style->standardIcon(QStyle::SP_DialogApplyButton);
    case DoctorFinding::Verdict::Note:
        return style->standardIcon(QStyle::SP_MessageBoxInformation);
    case DoctorFinding::Verdict::Problem:
        break;
    }
    return style->standardIcon(QStyle::SP_MessageBoxWarning);
}

QString servoText(const FoundServo& servo)
{
    return DoctorDialog::tr("servo id %1 (%2) at %3 baud in Protocol %4")
        .arg(servo.id)
        .arg(ServoSearch::modelText(servo.modelNumber))
        .arg(servo.baudRate)
        .arg(protocolText(servo.protocol));
}

// Long findings and fixes (a command, a udev rule) wrap in their column instead of being cut:
// a row is as tall as its text needs at the column's width.
class WrappingDelegate : public QStyledItemDelegate
{
public:
    explicit WrappingDelegate(QTreeWidget* tree) : QStyledItemDelegate(tree), _tree(tree) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (index.column() != TextColumn)
            return size;
        QStyleOptionViewItem item(option);
        initStyleOption(&item, index);
        // The text's room as the style lays the cell out, less the margins it draws text within.
        item.rect = QRect(0, 0, _tree->header()->sectionSize(TextColumn), size.height());
        const QStyle* style = _tree->style();
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, &item, _tree) + 1;
        const int width = std::max(
            style->subElementRect(QStyle::SE_ItemViewItemText, &item, _tree).width() - 2 * margin, 1);
        const QRect text = item.fontMetrics.boundingRect(QRect(0, 0, width, 0), Qt::TextWordWrap, item.text);
        size.setHeight(std::max(size.height(), text.height() + 2 * margin));
        return size;
    }

private:
    QTreeWidget* _tree;
};

} // namespace

DoctorDialog::DoctorDialog(QWidget* parent) : QDialog(parent), ui(new Ui::DoctorDialog)
{
    ui->setupUi(this);
    ui->connectButton->hide();
    QTreeWidget* tree = ui->findingsTree;
    tree->header()->setSectionResizeMode(TextColumn, QHeaderView::Stretch);
    tree->setTextElideMode(Qt::ElideNone);
    tree->setItemDelegate(new WrappingDelegate(tree));
    // A wider or narrower text column (a scroll bar that comes, a resized dialog) wraps its rows
    // anew, once the layout has settled.
    _relayout = new QTimer(tree);
    _relayout->setSingleShot(true);
    connect(_relayout, &QTimer::timeout, tree, &QTreeWidget::doItemsLayout);
    // Not through this dialog: the header resizes its sections while the dialog is taken down.
    connect(tree->header(), &QHeaderView::sectionResized, _relayout, [timer = _relayout](int column) {
        if (column == TextColumn)
            timer->start();
    });

    connect(ui->runButton, &QPushButton::clicked, this, [this] { isRunning() ? stop() : run(); });
    connect(ui->closeButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->copyButton, &QPushButton::clicked, this, &DoctorDialog::copyReport);
    connect(ui->saveButton, &QPushButton::clicked, this, &DoctorDialog::chooseFileToSave);
    connect(ui->takeButton, &QPushButton::clicked, this, &DoctorDialog::takeSettings);
    connect(ui->connectButton, &QPushButton::clicked, this, [this] {
        accept();
        emit connectRequested();
    });
    // Ctrl+C copies the report, as the Copy button does (in this window only: the main window's
    // Ctrl+C copies table rows).
    connect(new QShortcut(QKeySequence::Copy, this), &QShortcut::activated, this, &DoctorDialog::copyReport);
    showRunning(false);
}

DoctorDialog::~DoctorDialog()
{
    // A run still under way lets the port go here; its end is nothing more to show.
    if (_doctor)
        _doctor->disconnect(this);
    _doctor.reset();
    delete ui;
}

DoctorPlan DoctorDialog::planFromSettings()
{
    const Settings port(QStringLiteral("port settings"));
    DoctorPlan plan;
    plan.portName = port.getValue(QStringLiteral("serialPortName"), QString()).toString().trimmed();
    plan.baudRate = port.getValue(QStringLiteral("baudRate"), 0).toInt();
    plan.protocol = BusProtocol(protocolOfSetting(port.getValue(QStringLiteral("protocol"), QVariant())));
    plan.servoId =
        Settings(QStringLiteral("main window settings")).getValue(QStringLiteral("servoId"), -1).toInt();
    return plan;
}

void DoctorDialog::run()
{
    if (isRunning())
        return;
    DoctorPlan plan = planFromSettings();
    if (_adjust)
        _adjust(plan);
    ui->findingsTree->clear();
    ui->takeButton->setEnabled(false);
    ui->connectButton->hide();
    showMessage(QString(), false);
    if (plan.portName.isEmpty()) {
        _doctor.reset();
        showRunning(false);
        showMessage(tr("No serial port is chosen: choose one in Settings, then run the diagnosis again."),
                    true);
        return;
    }
    ui->targetLabel->setText(tr("Port %1; the settings say servo id %2 at %3 baud in Protocol %4.")
                                 .arg(plan.portName)
                                 .arg(plan.servoId)
                                 .arg(plan.baudRate)
                                 .arg(protocolText(plan.protocol)));
    _doctor = std::make_unique<BusDoctor>(std::move(plan));
    connect(_doctor.get(), &BusDoctor::findingAdded, this, &DoctorDialog::addFinding);
    connect(_doctor.get(), &BusDoctor::progress, this, &DoctorDialog::showProgress);
    connect(_doctor.get(), &BusDoctor::finished, this, &DoctorDialog::ended);
    ui->progressBar->setRange(0, 0);
    ui->stepLabel->clear();
    showRunning(true);
    _doctor->start();
}

void DoctorDialog::stop()
{
    if (!isRunning())
        return;
    // The step under way ends first; finished() follows (perhaps at once, undoing this).
    ui->runButton->setEnabled(false);
    ui->stepLabel->setText(tr("Stopping…"));
    _doctor->stop();
}

void DoctorDialog::done(int result)
{
    // Closed by any way (Close, Escape, the window's close button): the run ends with it.
    stop();
    QDialog::done(result);
}

void DoctorDialog::addFinding(const DoctorFinding& finding)
{
    auto* item = new QTreeWidgetItem(ui->findingsTree);
    item->setText(VerdictColumn, verdictWord(finding.verdict));
    item->setIcon(VerdictColumn, verdictIcon(style(), finding.verdict));
    item->setText(CheckColumn, finding.check);
    item->setText(TextColumn, finding.text);
    item->setToolTip(TextColumn, finding.text);
    if (!finding.fix.isEmpty()) {
        auto* fix = new QTreeWidgetItem(item);
        fix->setText(CheckColumn, tr("Fix"));
        fix->setText(TextColumn, finding.fix);
        fix->setToolTip(TextColumn, finding.fix);
        item->setExpanded(true);
    }
    ui->findingsTree->resizeColumnToContents(VerdictColumn);
    ui->findingsTree->resizeColumnToContents(CheckColumn);
    ui->findingsTree->scrollToItem(item);
    _relayout->start();
}

void DoctorDialog::showProgress(int done, int total, const QString& step)
{
    ui->progressBar->setRange(0, std::max(total, 1));
    ui->progressBar->setValue(std::min(done, std::max(total, 1)));
    if (_doctor && !_doctor->isRunning())
        return;
    ui->stepLabel->setText(step);
}

void DoctorDialog::ended()
{
    const DoctorReport& report = _doctor->report();
    showRunning(false);
    ui->progressBar->setRange(0, 1);
    ui->progressBar->setValue(report.stopped ? 0 : 1);
    ui->stepLabel->setText(report.stopped && report.status() != DoctorReport::NoServo
                               ? tr("Stopped. %1").arg(report.summary())
                               : report.summary());
    if (report.elsewhere) {
        ui->takeButton->setEnabled(true);
        ui->takeButton->setToolTip(tr("Connect to %1 from now on").arg(servoText(*report.elsewhere)));
    }
    emit runFinished();
}

void DoctorDialog::showRunning(bool running)
{
    ui->runButton->setEnabled(true);
    ui->runButton->setText(running ? tr("Stop") : _doctor ? tr("Run again") : tr("Run"));
    ui->copyButton->setEnabled(!running && _doctor);
    ui->saveButton->setEnabled(!running && _doctor);
}

void DoctorDialog::showMessage(const QString& text, bool failure)
{
    ui->messageLabel->setText(text);
    ui->messageLabel->setStyleSheet(failure ? QStringLiteral("color: #b00000;") : QString());
}

void DoctorDialog::copyReport()
{
    if (!_doctor || isRunning())
        return;
    QApplication::clipboard()->setText(_doctor->report().text());
    showMessage(tr("The report is on the clipboard."), false);
}

void DoctorDialog::chooseFileToSave()
{
    if (!_doctor || isRunning())
        return;
    auto* chooser = new QFileDialog(this, tr("Save the diagnosis"),
                                    QDir::home().filePath(QStringLiteral("diagnosis.txt")),
                                    tr("Text files (*.txt);;All files (*)"));
    chooser->setAcceptMode(QFileDialog::AcceptSave);
    chooser->setDefaultSuffix(QStringLiteral("txt"));
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    connect(chooser, &QFileDialog::fileSelected, this, [this](const QString& path) { saveReport(path); });
    chooser->open();
}

bool DoctorDialog::saveReport(const QString& path)
{
    if (!_doctor)
        return false;
    const QByteArray text = _doctor->report().text().toUtf8();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        showMessage(tr("The report could not be saved to %1: %2").arg(path, file.errorString()), true);
        return false;
    }
    showMessage(tr("The report was saved to %1.").arg(QDir::toNativeSeparators(path)), false);
    return true;
}

void DoctorDialog::takeSettings()
{
    if (!_doctor || isRunning() || !_doctor->report().elsewhere)
        return;
    const FoundServo servo = *_doctor->report().elsewhere;
    const QString portName = _doctor->plan().portName;
    // In the order the search dialog hands a chosen servo over: the port, then what it answers at.
    emit updatePortName(portName);
    emit updateProtocol(int(servo.protocol));
    emit updateBaudRate(servo.baudRate);
    emit updateId(servo.id);
    // Said only as far as the settings really hold it now.
    const DoctorPlan now = planFromSettings();
    if (now.portName != portName || now.baudRate != servo.baudRate || now.protocol != servo.protocol ||
        now.servoId != servo.id) {
        showMessage(tr("The settings could not take %1 on %2.").arg(servoText(servo), portName), true);
        return;
    }
    ui->takeButton->setEnabled(false);
    ui->connectButton->show();
    ui->connectButton->setFocus();
    showMessage(tr("The settings now say %1 on %2. Connect there?").arg(servoText(servo), portName), false);
}
