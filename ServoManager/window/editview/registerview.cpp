#include "ui_registerview.h"
#include "window/editview/registerview.h"

#include "core/model/modelsource.h"
#include "core/protocol/readanswer.h"
#include "core/settings/settingshelper.h"
#include "core/units/physicalquantities.h"

#include <QBrush>
#include <QColor>
#include <QFontMetrics>
#include <QStyle>
#include <QTableWidget>

#include <algorithm>
#include <array>

namespace {

constexpr int addressColumn = 0;
constexpr int valueColumn = 1;
constexpr int descriptionColumn = 2;

// Shared by all read-only cells, so that comparing a cell's brush with it is cheap.
const QBrush& readOnlyBackground()
{
    static const QBrush brush(QColor(227, 235, 240, 150));
    return brush;
}

// Texts of all byte values, built once: every poll shows over a hundred of them.
using ByteTexts = std::array<QString, 256>;

const ByteTexts& hexTexts()
{
    static const ByteTexts texts = [] {
        ByteTexts t;
        for (int i = 0; i < 256; ++i)
            t[i] = QStringLiteral("0x%1").arg(i, 2, 16, QLatin1Char('0'));
        return t;
    }();
    return texts;
}

const ByteTexts& decimalTexts()
{
    static const ByteTexts texts = [] {
        ByteTexts t;
        for (int i = 0; i < 256; ++i)
            t[i] = QString::number(i);
        return t;
    }();
    return texts;
}

QString numberText(unsigned int number, bool decimal)
{
    if (number < 256)
        return decimal ? decimalTexts()[number] : hexTexts()[number];
    return decimal ? QString::number(number) : QStringLiteral("0x%1").arg(number, 2, 16, QLatin1Char('0'));
}

// Updates the cell in place when it already has an item, so that a poll that changes
// nothing costs no model signals or repaints.
void showCell(QTableWidget* table, int row, int column, const QString& text, bool readOnly)
{
    QTableWidgetItem* item = table->item(row, column);
    if (!item) {
        item = new QTableWidgetItem(text);
        if (readOnly)
            item->setBackground(readOnlyBackground());
        table->setItem(row, column, item);
        return;
    }
    if (item->text() != text)
        item->setText(text);
    const QVariant background = item->data(Qt::BackgroundRole);
    if (readOnly && background.value<QBrush>() != readOnlyBackground())
        item->setBackground(readOnlyBackground());
    else if (!readOnly && background.isValid())
        item->setData(Qt::BackgroundRole, QVariant());
}

// Pixels the value column needs to show every byte text unclipped in the table's font.
int widestValueWidth(QTableWidget* table)
{
    table->ensurePolished(); // the style sheet sets the font
    const QFontMetrics metrics = table->fontMetrics();
    int widest = 0;
    for (const QString& text : hexTexts())
        widest = std::max(widest, metrics.horizontalAdvance(text));
    const int margin = table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1;
    return widest + 2 * margin + 1;
}

} // namespace

RegisterView* RegisterView::_instance = nullptr;

RegisterView::RegisterView(QWidget* parent) : QWidget(parent), ui(new Ui::RegisterView)
{
    ui->setupUi(this);
    _instance = this;
    initRegisterTables();
}

RegisterView::~RegisterView()
{
    // Tests and benchmarks reach the view through _instance; never leave it dangling.
    if (_instance == this)
        _instance = nullptr;
    delete ui;
}

QTableWidget* RegisterView::getRegisterBank(RegisterBank bank) const
{
    switch (bank) {
    case RegisterBank::NonVolatileBank1:
        return ui->eepromRegisterBank1Widget;
    case RegisterBank::NonVolatileBank2:
        return ui->eepromRegisterBank2Widget;
    case RegisterBank::VolatileBank1:
        return ui->ramRegisterBank1TableWidget;
    case RegisterBank::VolatileBank2:
        return ui->ramRegisterBank2TableWidget;
    }
    return nullptr;
}

void RegisterView::initRegisterTables()
{
    for (QTableWidget* table : {ui->eepromRegisterBank1Widget, ui->eepromRegisterBank2Widget,
                                ui->ramRegisterBank1TableWidget, ui->ramRegisterBank2TableWidget}) {
        table->verticalHeader()->setVisible(false);
        table->horizontalHeader()->setStretchLastSection(true);
        table->setColumnWidth(addressColumn, 80);
        table->setColumnWidth(valueColumn, std::max(40, widestValueWidth(table)));
        table->setSelectionMode(QAbstractItemView::NoSelection);
    }
}

void RegisterView::setModelSource(const ModelSource* model)
{
    _model = model;
}

void RegisterView::connected()
{
    if (_model && !_modelConnection)
        _modelConnection = connect(_model, &ModelSource::loaded, this, &RegisterView::on_deviceLoaded);
}

void RegisterView::disconnected()
{
    disconnect(_modelConnection);
    _modelConnection = {};
    for (int bank = 0; bank < 4; ++bank)
        getRegisterBank(static_cast<RegisterBank>(bank))->setRowCount(0);
    _shown.clear();
}

void RegisterView::on_deviceLoaded()
{
    const auto device = _model ? _model->device() : nullptr;
    for (int bank = 0; bank < 4; ++bank) {
        const auto registerBank = static_cast<RegisterBank>(bank);
        getRegisterBank(registerBank)
            ->setRowCount(device ? device->getRegisterBankRowCount(registerBank) : 0);
    }
    _shown.clear();
    updateNumberBase();
}

void RegisterView::updateNumberBase()
{
    // Every poll comes by here: the store is read again only after something was written to it.
    const quint64 writes = Settings::writeCount();
    if (_numberBaseRead && writes == _numberBaseReadAt)
        return;
    const bool decimal = storedUnits().servoData != 0;
    if (decimal != _decimal)
        _shown.clear();
    _decimal = decimal;
    _numberBaseRead = true;
    _numberBaseReadAt = writes;
}

void RegisterView::lookUpRecords()
{
    const std::shared_ptr<const IDevice> device = _model ? _model->device() : nullptr;
    if (device == _recordsOf)
        return;
    // Every poll shows over a hundred registers: look each model's records up once.
    _recordsOf = device;
    _records.clear();
    _shown.clear();
    for (unsigned short address = 0; device && address < 256; ++address)
        _records.push_back(device->getRegisterDeviceMetadata(address));
}

void RegisterView::showAnswer(const QByteArray& response)
{
    lookUpRecords();
    if (!_recordsOf)
        return;
    updateNumberBase();
    for (unsigned short address = 0; address < _records.size(); ++address) {
        if (_records[address])
            showRegister(address, static_cast<unsigned char>(readanswer::valueAt(response, address, 1)));
    }
}

void RegisterView::setRegisterField(unsigned short address, unsigned char value)
{
    lookUpRecords();
    showRegister(address, value);
}

void RegisterView::showRegister(unsigned short address, unsigned char value)
{
    const RegisterDeviceMetadata* record = address < _records.size() ? _records[address].get() : nullptr;
    if (!record)
        return;
    QTableWidget* table = getRegisterBank(record->bank);
    // Rows not there yet (model not loaded) or gone (disconnected): nothing to show.
    if (!table || record->row >= table->rowCount())
        return;
    // Only this view fills the cells, and it forgets what they show whenever rows, records or the
    // number base change; a row whose cells are gone is filled anew.
    if (_shown.size() != _records.size())
        _shown.assign(_records.size(), -1);
    if (_shown[address] == value && table->item(record->row, descriptionColumn))
        return;

    const bool readOnly = record->writable == 0;
    showCell(table, record->row, addressColumn, numberText(address, _decimal), readOnly);
    showCell(table, record->row, valueColumn, numberText(value, _decimal), readOnly);
    showCell(table, record->row, descriptionColumn, record->description, readOnly);
    _shown[address] = value;
}

void RegisterView::setRegisterField(unsigned short address, unsigned char size, unsigned int value)
{
    setRegisterField(address, static_cast<unsigned char>(value));
    if (size >= 2)
        setRegisterField(static_cast<unsigned short>(address + 1), static_cast<unsigned char>(value >> 8));
    if (size == 4) {
        setRegisterField(static_cast<unsigned short>(address + 2), static_cast<unsigned char>(value >> 16));
        setRegisterField(static_cast<unsigned short>(address + 3), static_cast<unsigned char>(value >> 24));
    }
}

void RegisterView::setRegisterField(unsigned short address, unsigned char size, unsigned short value)
{
    setRegisterField(address, static_cast<unsigned char>(value));
    if (size == 2)
        setRegisterField(static_cast<unsigned short>(address + 1), static_cast<unsigned char>(value >> 8));
}
