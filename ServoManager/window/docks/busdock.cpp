#include "ui_busdock.h"
#include "window/docks/busdock.h"

#include "core/jobs/busroster.h"

#include <QAction>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QPalette>

#include <algorithm>
#include <memory>

namespace {
constexpr int columnFitMs = 100;

// Rows of servos that do not answer are greyed: their values are old.
class SilentRowsGreyed : public QIdentityProxyModel
{
public:
    explicit SilentRowsGreyed(BusRoster* roster, QObject* parent) : QIdentityProxyModel(parent), _roster(roster)
    {
        setSourceModel(roster);
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role == Qt::ForegroundRole && !_roster->isAnswering(index.row()))
            return QPalette().brush(QPalette::Disabled, QPalette::Text);
        return QIdentityProxyModel::data(index, role);
    }

private:
    BusRoster* _roster;
};
} // namespace

BusDock::BusDock(BusRoster* roster, QAction* numberServos, QWidget* parent)
    : QDockWidget(parent), _ui(std::make_unique<Ui::BusDock>()), _roster(roster)
{
    _ui->setupUi(this);
    auto* rows = new SilentRowsGreyed(roster, this);
    _ui->busTable->setModel(rows);
    _ui->busTable->verticalHeader()->hide();
    // Fitted to the contents, but not at every answer: measuring every cell and caption again
    // cost a polled servo more than decoding its table. Values that change within a tenth of a
    // second of a fitting are measured at the next change; the roster refreshes its rows' ages
    // twice a second, so none waits longer than that.
    _ui->busTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    _ui->busTable->horizontalHeader()->setStretchLastSection(true);
    const auto sinceFit = std::make_shared<QElapsedTimer>();
    const auto fit = [table = _ui->busTable, sinceFit] {
        table->resizeColumnsToContents();
        sinceFit->start();
    };
    connect(rows, &QAbstractItemModel::dataChanged, this, [fit, sinceFit] {
        if (!sinceFit->isValid() || sinceFit->elapsed() >= columnFitMs)
            fit();
    });
    connect(rows, &QAbstractItemModel::rowsInserted, this, fit);
    connect(rows, &QAbstractItemModel::rowsRemoved, this, fit);
    connect(rows, &QAbstractItemModel::modelReset, this, fit);
    connect(rows, &QAbstractItemModel::layoutChanged, this, fit);
    fit();
    _ui->numberServosButton->setDefaultAction(numberServos);
    _ui->numberServosButton->setToolButtonStyle(Qt::ToolButtonTextOnly);

    connect(_ui->busTable, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        emit connectTo({_roster->idAt(index.row()), _roster->baudRateAt(index.row()), _roster->protocolAt(index.row())});
    });
    connect(_ui->busAddButton, &QPushButton::clicked, this, [this] {
        _roster->add(_ui->busAddIdSpinBox->value(), _defaultBaudRate);
        _ui->busAddIdSpinBox->setValue(std::min(_ui->busAddIdSpinBox->value() + 1, 252));
    });
    connect(_ui->busRemoveButton, &QPushButton::clicked, this, [this] {
        QList<int> rows;
        for (const QModelIndex& index : _ui->busTable->selectionModel()->selectedRows())
            rows << index.row();
        std::sort(rows.begin(), rows.end(), std::greater<int>()); // later rows first: the earlier keep their place
        for (int row : rows)
            _roster->remove(row);
    });
    connect(_ui->applyToSelectedButton, &QPushButton::clicked, this,
            [this] { emit applyToSelected(selectedServos()); });
    connect(_ui->busTable->selectionModel(), &QItemSelectionModel::selectionChanged, this, &BusDock::updateButtons);
    connect(roster, &QAbstractItemModel::modelReset, this, &BusDock::updateButtons);
    connect(roster, &QAbstractItemModel::rowsRemoved, this, &BusDock::updateButtons);
}

BusDock::~BusDock() = default;

QList<BusAddress> BusDock::selectedServos() const
{
    QList<BusAddress> servos;
    for (const QModelIndex& index : _ui->busTable->selectionModel()->selectedRows())
        servos.append({_roster->idAt(index.row()), _roster->baudRateAt(index.row())});
    std::sort(servos.begin(), servos.end(), [](const BusAddress& a, const BusAddress& b) { return a.id < b.id; });
    return servos;
}

void BusDock::updateButtons()
{
    const bool selected = _ui->busTable->selectionModel()->hasSelection();
    _ui->busRemoveButton->setEnabled(selected);
    _ui->applyToSelectedButton->setEnabled(selected);
}
