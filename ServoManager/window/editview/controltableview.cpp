#include "ui_controltableview.h"
#include "window/editview/controltableview.h"

#include "core/model/fieldcatalogue.h"
#include "core/model/fieldcore.h"
#include "core/model/modelsource.h"
#include "core/protocol/readanswer.h"
#include "core/session/servosession.h"
#include "core/session/uischeduler.h"
#include "core/session/writeverifier.h"
#include "core/settings/settingshelper.h"
#include "window/editview/controltablemodel.h"

#include <QComboBox>
#include <QHeaderView>
#include <QSortFilterProxyModel>
#include <QStyledItemDelegate>
#include <QVariantMap>

namespace {

// A list entry's value is chosen from its texts; every other cell is typed.
class ControlTableDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override
    {
        const QVariantMap texts = index.data(ControlTableModel::ListValuesRole).toMap();
        if (index.column() != ControlTableModel::ValueColumn || texts.isEmpty())
            return QStyledItemDelegate::createEditor(parent, option, index);
        auto* list = new QComboBox(parent);
        for (auto it = texts.constBegin(); it != texts.constEnd(); ++it)
            list->addItem(it.value().toString(), it.key());
        return list;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override
    {
        if (auto* list = qobject_cast<QComboBox*>(editor)) {
            list->setCurrentIndex(list->findData(index.data(ControlTableModel::RawRole).toString()));
            return;
        }
        QStyledItemDelegate::setEditorData(editor, index);
    }

    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override
    {
        if (auto* list = qobject_cast<QComboBox*>(editor)) {
            if (list->currentIndex() >= 0)
                model->setData(index, list->currentData().toString());
            return;
        }
        QStyledItemDelegate::setModelData(editor, model, index);
    }
};

} // namespace

ControlTableView::ControlTableView(QWidget* parent)
    : QWidget(parent), ui(new Ui::ControlTableView), _table(new ControlTableModel(this)),
      _filter(new QSortFilterProxyModel(this))
{
    ui->setupUi(this);
    _filter->setSourceModel(_table);
    _filter->setFilterRole(ControlTableModel::FilterRole);
    _filter->setFilterKeyColumn(ControlTableModel::KeyColumn);
    _filter->setFilterCaseSensitivity(Qt::CaseInsensitive);
    ui->controlTableTable->setModel(_filter);
    ui->controlTableTable->setItemDelegate(new ControlTableDelegate(ui->controlTableTable));
    ui->controlTableTable->horizontalHeader()->setSectionResizeMode(ControlTableModel::CaptionColumn,
                                                                   QHeaderView::ResizeToContents);
    ui->controlTableTable->setColumnWidth(ControlTableModel::KeyColumn, 200);
    ui->controlTableTable->setColumnWidth(ControlTableModel::ValueColumn, 140);

    connect(ui->controlTableFilter, &QLineEdit::textChanged, _filter, &QSortFilterProxyModel::setFilterFixedString);
    connect(ui->controlTableApply, &QPushButton::clicked, this, &ControlTableView::apply);
    connect(ui->controlTableRevert, &QPushButton::clicked, this, &ControlTableView::revert);
    connect(_table, &ControlTableModel::editsChanged, this, &ControlTableView::refreshButtons);
}

ControlTableView::~ControlTableView()
{
    delete ui;
}

void ControlTableView::setModelSource(const ModelSource* model)
{
    _model = model;
}

void ControlTableView::setSchedulerSource(SchedulerSource scheduler)
{
    _scheduler = std::move(scheduler);
}

void ControlTableView::follow(ServoSession* session, SchedulerSource scheduler)
{
    setSchedulerSource(std::move(scheduler));
    connect(session, &ServoSession::opened, this, &ControlTableView::connected);
    connect(session, &ServoSession::closed, this, &ControlTableView::disconnected);
}

void ControlTableView::connected()
{
    if (_model && !_modelConnection)
        _modelConnection = connect(_model, &ModelSource::loaded, this, &ControlTableView::onModelLoaded);
    showStatus({});
}

void ControlTableView::disconnected()
{
    disconnect(_modelConnection);
    _modelConnection = {};
    disconnect(_writeConnection);
    _writeConnection = {};
    _outstanding.clear();
    _shownDevice.reset();
    _table->setCatalogue(nullptr);
    refreshButtons();
}

void ControlTableView::onModelLoaded()
{
    const std::shared_ptr<const IDevice> device = _model ? _model->device() : nullptr;
    _unitsRead = false;
    updateUnits();
    // The same model again (the servo was found anew): the rows and their edits stay.
    if (device && device == _shownDevice)
        return;
    _shownDevice = device;
    _table->setCatalogue(device ? std::make_shared<const FieldCatalogue>(*device) : nullptr);
    refreshButtons();
}

void ControlTableView::updateUnits()
{
    // Every poll comes by here: the store is read again only after something was written to it.
    const quint64 writes = Settings::writeCount();
    if (_unitsRead && writes == _unitsReadAt)
        return;
    _table->setUnits(FieldCore::currentUnits());
    _unitsRead = true;
    _unitsReadAt = writes;
}

void ControlTableView::showAnswer(const QByteArray& response)
{
    if (!_table->catalogue())
        return;
    updateUnits();
    const bool first = !_table->hasTable();
    _table->showTable(readanswer::dataOnward(response));
    if (first)
        refreshButtons();
}

void ControlTableView::refreshButtons()
{
    const bool edited = !_table->edits().isEmpty();
    ui->controlTableApply->setEnabled(edited && _outstanding.isEmpty() && _table->hasTable());
    ui->controlTableRevert->setEnabled(edited);
}

void ControlTableView::showStatus(const QString& text)
{
    ui->controlTableStatus->setText(text);
}

void ControlTableView::revert()
{
    _table->dropEdits();
    showStatus({});
}

void ControlTableView::apply()
{
    const FieldCatalogue* catalogue = _table->catalogue();
    const std::shared_ptr<UiScheduler> scheduler = _scheduler ? _scheduler() : nullptr;
    if (!catalogue || !_outstanding.isEmpty() || _table->edits().isEmpty())
        return;
    if (!scheduler) {
        showStatus(tr("Not written: no servo is connected."));
        return;
    }
    if (!scheduler->isServoAnswering()) {
        showStatus(tr("Not written: the servo does not answer."));
        return;
    }
    const bool motorOn = catalogue->motorBlocksNonVolatile(scheduler->lastTable());
    QList<GroupWrite> writes;
    bool heldBack = false;
    for (const GroupWrite& write : controlTableWrites(*catalogue, _table->edits())) {
        const FieldRecord* first = catalogue->byObjectName(write.fields().first().name);
        // The servo refuses these while its motor is on: they stay edited, nothing is sent.
        if (motorOn && first && first->group == FieldGroup::NonVolatile)
            heldBack = true;
        else
            writes << write;
    }
    _verified.clear();
    _problems.clear();
    if (heldBack)
        _problems << tr("Non-volatile entries are not written while the motor is on: switch the motor off, "
                        "then apply again.");
    if (writes.isEmpty()) {
        showStatus(_problems.join(QLatin1Char(' ')));
        return;
    }
    if (_writingTo != scheduler.get()) {
        disconnect(_writeConnection);
        _writeConnection = connect(scheduler.get(), &UiScheduler::writeFinished, this, &ControlTableView::onWriteFinished);
        _writingTo = scheduler.get();
    }
    _outstanding = writes;
    for (const GroupWrite& write : writes)
        scheduler->addWrite(write);
    showStatus(tr("Writing…"));
    refreshButtons();
}

void ControlTableView::onWriteFinished(const GroupWrite& write, const WriteOutcome& outcome)
{
    if (!_outstanding.removeOne(write))
        return; // the edit view's or a configuration's write
    const QByteArray table = _writingTo ? _writingTo->lastTable() : QByteArray();
    QString problem = outcomeProblem(write, outcome, table);
    if (!outcome.lockProblem.isEmpty()) {
        const QString lock =
            outcome.lockProblem.left(1).toUpper() + outcome.lockProblem.mid(1) + QLatin1Char('.');
        problem = problem.isEmpty() ? lock : problem + QLatin1Char(' ') + lock;
    }
    if (problem.isEmpty()) {
        for (const WriteField& field : write.fields()) {
            const FieldRecord* entry = _table->catalogue() ? _table->catalogue()->byObjectName(field.name) : nullptr;
            _verified << (entry ? entry->caption : field.name);
        }
    } else {
        _problems << problem;
    }
    // What the servo holds is shown now; an edit that was never sent stays to be applied again.
    if (outcome.readBack)
        _table->dropEditsOf(write);
    if (_outstanding.isEmpty()) {
        QStringList status;
        if (!_verified.isEmpty())
            status << tr("Written and verified: %1.").arg(_verified.join(QStringLiteral(", ")));
        status << _problems;
        showStatus(status.join(QLatin1Char(' ')));
    }
    refreshButtons();
}

QString ControlTableView::outcomeProblem(const GroupWrite& write, const WriteOutcome& outcome,
                                         const QByteArray& table) const
{
    if (!outcome.readBack) {
        const QString why = outcome.problem.isEmpty() ? tr("the servo did not answer afterwards") : outcome.problem;
        return tr("Not written: %1.").arg(why);
    }
    if (outcome.check.allHeld())
        return {};
    const bool answered = outcome.answer == WriteOutcome::Answer::Acknowledged;
    if (outcome.check.fieldsHeld == 0 && !answered && !outcome.problem.isEmpty())
        return tr("Not written: %1.").arg(outcome.problem);
    const WriteField& field = write.fields().at(outcome.check.firstDiffering);
    const FieldCatalogue* catalogue = _table->catalogue();
    const FieldRecord* entry = catalogue ? catalogue->byObjectName(field.name) : nullptr;
    if (!entry)
        return tr("Written, but the servo holds other values.");
    // The raw value sent, as the entry reads it back out of a table holding it.
    QByteArray sent = table;
    sent.replace(write.address(), write.length(), write.block(table));
    const QString held = _table->valueText(*entry, entry->rawIn(table));
    const QString wanted = _table->valueText(*entry, entry->rawIn(sent));
    const QString differs = tr("%1 is %2 on the servo, not %3.").arg(entry->caption, held, wanted);
    if (!answered && !outcome.problem.isEmpty())
        return tr("Written in part (%1): %2").arg(outcome.problem, differs);
    return tr("Differs: %1").arg(differs);
}
