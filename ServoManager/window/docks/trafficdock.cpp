#include "ui_trafficdock.h"
#include "window/docks/trafficdock.h"

#include "core/traffic/trafficmodel.h"
#include "core/transport/serialhelper.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyledItemDelegate>

#include <algorithm>
#include <iterator>

namespace {
constexpr int countsRefreshMs = 250;
constexpr int savedMessageMs = 5000;
constexpr int cellMargin = 3;

// Plain text on the row's background: the style's item drawing costs about twice as much, and
// the table redraws many times a second while it follows the bus.
class PlainTextDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const bool selected = option.state & QStyle::State_Selected;
        if (selected)
            painter->fillRect(option.rect, option.palette.highlight());
        else if (option.features & QStyleOptionViewItem::Alternate)
            painter->fillRect(option.rect, option.palette.alternateBase());
        painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
        const QVariant alignment = index.data(Qt::TextAlignmentRole);
        const int flags = alignment.isValid() ? alignment.toInt() : int(Qt::AlignLeft | Qt::AlignVCenter);
        painter->drawText(option.rect.adjusted(cellMargin, 0, -cellMargin, 0), flags | Qt::TextSingleLine,
                          index.data(Qt::DisplayRole).toString());
    }
};
} // namespace

void TrafficTableView::paintEvent(QPaintEvent* event)
{
    QElapsedTimer clock;
    clock.start();
    QTableView::paintEvent(event);
    _drawingNs += clock.nsecsElapsed();
    ++_frames;
}

TrafficDock::TrafficDock(std::shared_ptr<SerialHelper> serial, QMainWindow* window)
    : QDockWidget(window), _ui(std::make_unique<Ui::TrafficDock>()), _serial(serial),
      _model(new TrafficModel(this))
{
    _ui->setupUi(this);
    setObjectName(QStringLiteral("trafficDock"));
    window->addDockWidget(Qt::BottomDockWidgetArea, this);
    hide();
    if (QMenu* view = window->findChild<QMenu*>(QStringLiteral("menuView")))
        view->addAction(toggleViewAction());

    initTable();
    initFilters();
    initButtons();
    initFollowing();

    _counts.setInterval(countsRefreshMs);
    connect(&_counts, &QTimer::timeout, this, &TrafficDock::updateCounts);
    connect(this, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        _shown = visible;
        if (visible)
            startRecording();
        updateHeld();
    });
    updateHeld();
    updateCounts();
}

void TrafficDock::initTable()
{
    TrafficTableView* view = _ui->trafficTable;
    view->setModel(_model);
    view->setItemDelegate(new PlainTextDelegate(view));
    // Fixed row heights and column widths: nothing is measured over the rows as they come.
    const QFontMetrics metrics(view->font());
    view->verticalHeader()->hide();
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(metrics.height() + 4);
    QHeaderView* header = view->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(true);
    const char* const widest[] = {"000000.000",
                                  "\u2190",
                                  "2",
                                  "254",
                                  "factory reset (echo)",
                                  "0000",
                                  "000",
                                  "data length error (hardware alert)",
                                  "cut short",
                                  "outside any transaction"};
    for (int column = 0; column < int(std::size(widest)); ++column) {
        const QString title = trafficColumnTitle(static_cast<TrafficColumn>(column));
        header->resizeSection(column, std::max(metrics.horizontalAdvance(QString::fromUtf8(widest[column])),
                                               metrics.horizontalAdvance(title)) +
                                          16);
    }
}

void TrafficDock::initFilters()
{
    _ui->trafficInstructionFilter->addItem(tr("all"), -1);
    const std::pair<const char*, int> instructions[] = {
        {QT_TR_NOOP("ping"), 0x01},          {QT_TR_NOOP("read"), 0x02},
        {QT_TR_NOOP("write"), 0x03},         {QT_TR_NOOP("reg write"), 0x04},
        {QT_TR_NOOP("action"), 0x05},        {QT_TR_NOOP("reboot"), 0x08},
        {QT_TR_NOOP("factory reset"), 0x06}, {QT_TR_NOOP("status"), TrafficPacket::statusInstruction}};
    for (const auto& [name, code] : instructions)
        _ui->trafficInstructionFilter->addItem(tr(name), code);

    connect(_ui->trafficIdFilter, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &TrafficDock::applyFilter);
    connect(_ui->trafficInstructionFilter, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &TrafficDock::applyFilter);
    connect(_ui->trafficFailuresOnlyCheckBox, &QCheckBox::toggled, this, &TrafficDock::applyFilter);
}

void TrafficDock::initButtons()
{
    connect(_ui->trafficPauseButton, &QPushButton::toggled, this, [this](bool paused) {
        _ui->trafficPauseButton->setText(paused ? tr("Resume") : tr("Pause"));
        updateHeld();
    });
    connect(_ui->trafficClearButton, &QPushButton::clicked, _model, &TrafficModel::clear);
    connect(_ui->trafficSaveButton, &QPushButton::clicked, this, &TrafficDock::chooseFile);
    connect(_model, &TrafficModel::saved, this, [this](const QString& path, const QString& error) {
        _ui->trafficSaveButton->setEnabled(true);
        if (!error.isEmpty()) {
            auto* box = new QMessageBox(QMessageBox::Critical, tr("Error"), error, QMessageBox::Ok, this);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
            return;
        }
        if (auto* main = qobject_cast<QMainWindow*>(parentWidget()))
            main->statusBar()->showMessage(tr("Traffic saved to %1").arg(QDir::toNativeSeparators(path)),
                                           savedMessageMs);
    });
}

// Following: only the user's scrolling decides it. New rows, or a table made shorter by the
// window's layout, move the range but not the value, and must not end it.
void TrafficDock::initFollowing()
{
    QScrollBar* bar = _ui->trafficTable->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this,
            [this, bar](int value) { _following = value >= bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this] {
        if (_following)
            _ui->trafficTable->scrollToBottom();
    });
}

TrafficDock::~TrafficDock()
{
    if (const std::shared_ptr<SerialHelper> serial = _serial.lock()) {
        if (serial->trafficRecorder() == _model->recorder())
            serial->setTrafficRecorder(nullptr);
    }
}

TrafficTableView* TrafficDock::table() const
{
    return _ui->trafficTable;
}

void TrafficDock::startRecording()
{
    if (_recording)
        return;
    const std::shared_ptr<SerialHelper> serial = _serial.lock();
    if (!serial)
        return;
    _recording = true;
    _model->recorder()->start();
    serial->setTrafficRecorder(_model->recorder());
}

// Nothing is drawn while paused or out of sight; the packets wait in the log.
void TrafficDock::updateHeld()
{
    _model->setHeld(_ui->trafficPauseButton->isChecked() || !_shown);
    if (_shown)
        _counts.start();
    else
        _counts.stop();
    updateCounts();
}

void TrafficDock::updateCounts()
{
    const TrafficLog& log = _model->log();
    QString text = tr("%L1 packets kept, %L2 older dropped").arg(log.size()).arg(log.dropped());
    if (_ui->trafficPauseButton->isChecked())
        text += tr(", %L1 waiting").arg(_model->waiting());
    if (text != _ui->trafficCountLabel->text())
        _ui->trafficCountLabel->setText(text);
}

void TrafficDock::applyFilter()
{
    TrafficModel::Filter filter;
    filter.id = _ui->trafficIdFilter->value();
    filter.instruction = _ui->trafficInstructionFilter->currentData().toInt();
    filter.failuresOnly = _ui->trafficFailuresOnlyCheckBox->isChecked();
    _model->setFilter(filter);
    if (_following)
        _ui->trafficTable->scrollToBottom();
}

void TrafficDock::chooseFile()
{
    const QString csvFilter = tr("CSV (*.csv)");
    QString selected;
    QString path =
        QFileDialog::getSaveFileName(this, tr("Save traffic"), QDir::home().filePath("traffic.txt"),
                                     tr("Text (*.txt)") + QStringLiteral(";;") + csvFilter, &selected);
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += selected == csvFilter ? QStringLiteral(".csv") : QStringLiteral(".txt");
    saveTo(path);
}

void TrafficDock::saveTo(const QString& path)
{
    const bool csv = QFileInfo(path).suffix().compare(QLatin1String("csv"), Qt::CaseInsensitive) == 0;
    if (_model->save(path, csv ? TrafficModel::Format::Csv : TrafficModel::Format::Text))
        _ui->trafficSaveButton->setEnabled(false);
}
