#include "ui_editview.h"
#include "window/editview/uigrouphelper.h"

#include "core/model/fieldbounds.h"
#include "core/model/fieldcatalogue.h"
#include "core/model/fieldcore.h"
#include "core/model/fieldregisters.h"
#include "core/model/modeldescription.h"
#include "core/model/modelsource.h"
#include "core/session/uischeduler.h"
#include "window/dialogs/confirmation.h"
#include "window/editview/uiregisterhelper.h"
#include "window/widgets/velkoraparametersgroupbox.h"
#include "window/widgets/velkoraunitlabel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPointer>
#include <QSpinBox>

#include <algorithm>
#include <limits>
#include <optional>

std::shared_ptr<UiGroupHelper> UiGroupHelper::_instance;

namespace {

// The field the user changed, or null.
IUnitDataField* changedField(const QString& name)
{
    IUnitDataField* field =
        UiRegisterHelper::_instance ? UiRegisterHelper::_instance->getRegisteredField(QString(name)) : nullptr;
    const auto* input = dynamic_cast<IGroupInputComponent*>(field);
    return input && input->hasUserChange() ? field : nullptr;
}

int32_t signExtended(uint32_t bits, int size)
{
    if (size >= 4)
        return static_cast<int32_t>(bits);
    const uint32_t sign = uint32_t(1) << (8 * size - 1);
    return static_cast<int32_t>((bits ^ sign) - sign);
}

} // namespace

UiGroupHelper::UiGroupHelper(Ui::EditView* form) : _form(form)
{
    auto wire = [](Group& group, VelkoraParametersGroupBox* box, VelkoraGroupToolButton* edit,
                   VelkoraGroupToolButton* cancel) {
        group.box = box;
        group.edit = edit;
        group.cancel = cancel;
    };
    wire(_nonVolatile, form->nonVolatileParamsGroupBox, form->nvParamsEditSaveToolButton,
         form->nvParamsCancelToolButton);
    wire(_volatile, form->volatileParamsGroupBox, form->vParamsEditSaveToolButton,
         form->vParamsCancelToolButton);

    initConnections();
}

void UiGroupHelper::setModelSource(const ModelSource* model)
{
    _model = model;
}

std::shared_ptr<IDevice> UiGroupHelper::device() const
{
    return _model ? _model->device() : nullptr;
}

QList<VelkoraParametersGroupBox*> UiGroupHelper::groupBoxes() const
{
    return {_form->realtimeInformationGroupBox,  _form->versionInfoGroupBox,
            _form->nonVolatileParamsGroupBox,    _form->volatileParamsGroupBox,
            _form->velkoraHardwareErrorGroupBox, _form->velkoraPacketStatusGroupBox};
}

void UiGroupHelper::connected()
{
    onConnected();
    for (VelkoraParametersGroupBox* box : groupBoxes())
        box->connected(_model);
}

void UiGroupHelper::disconnected()
{
    onDisconnected();
    for (VelkoraParametersGroupBox* box : groupBoxes())
        box->disconnected();
}

void UiGroupHelper::initConnections()
{
    initGroupBoxConnections(_form->nonVolatileParamsGroupBox,
                            &UiGroupHelper::nonVolatileParamsGroupRequestHandler);
    initGroupBoxConnections(_form->volatileParamsGroupBox, &UiGroupHelper::volatileParamsGroupRequestHandler);
    initSpecialConnections();
    refreshEditButtons();
}

void UiGroupHelper::initGroupBoxConnections(VelkoraParametersGroupBox* box, void (UiGroupHelper::*handler)())
{
    Group* group = groupOf(box);
    if (!group || !box->isEditableGroupBox())
        return;
    connect(group->cancel, &QToolButton::pressed, this, &UiGroupHelper::on_limitsCancelToolButton_pressed);
    connect(group->edit, &QToolButton::toggled, this, &UiGroupHelper::on_editSaveToolButton_toggled);
    connect(group->edit, &QToolButton::pressed, this, &UiGroupHelper::on_editSaveToolButton_pressed);
    connect(group->edit, &QToolButton::clicked, this, &UiGroupHelper::on_editSaveToolButton_clicked);
    if (handler)
        group->edit->requestHandler = [this, handler] { (this->*handler)(); };
    connect(box, &VelkoraParametersGroupBox::editsCancelled, this, &UiGroupHelper::refreshEditButtons);
    group->edit->applyBlocked = [box] {
        for (QObject* child : box->children()) {
            const auto* input = dynamic_cast<IGroupInputComponent*>(child);
            if (input && input->holdsValueOutOfRange())
                return true;
        }
        return false;
    };
    for (QObject* child : box->children()) {
        if (!dynamic_cast<IGroupInputComponent*>(child))
            continue;
        connect(child, SIGNAL(setIsDirty(bool)), group->edit, SLOT(incrementReferenceCount(bool)));
        if (child->metaObject()->indexOfSignal("valueRangeChanged(bool)") >= 0)
            connect(child, SIGNAL(valueRangeChanged(bool)), group->edit, SLOT(refreshApply()));
    }
}

void UiGroupHelper::initSpecialConnections()
{
    connect(_form->enableMotorCheckBox, &QCheckBox::toggled, this,
            &UiGroupHelper::on_enableMotorCheckBox_toggled);
}

UiGroupHelper::Group* UiGroupHelper::groupOf(QObject* object)
{
    for (Group* group : {&_nonVolatile, &_volatile}) {
        if (object == group->box || object == group->edit || object == group->cancel)
            return group;
    }
    return nullptr;
}

void UiGroupHelper::onConnected()
{
    _connected = true;
    _tableSeen = false;
    _answering = true;
    _queued.clear();
    for (Group* group : {&_nonVolatile, &_volatile}) {
        group->awaitingWrite = false;
        group->pending = {};
    }
    refreshEditButtons();
}

void UiGroupHelper::onDisconnected()
{
    _connected = false;
    _tableSeen = false;
    _queued.clear();
    for (Group* group : {&_nonVolatile, &_volatile}) {
        if (group->box->isEditing)
            group->box->cancelGroupEdits();
        group->awaitingWrite = false;
        group->pending = {};
    }
    refreshEditButtons();
}

bool UiGroupHelper::servoIsEditable() const
{
    // Writes follow the model's own layout (its catalogue), so any identified model may be edited.
    return _connected && _tableSeen && _answering && device();
}

// The one place that decides whether a group may enter editing.
void UiGroupHelper::refreshEditButtons()
{
    const bool editable = servoIsEditable();
    const bool motorOn = _form->enableMotorCheckBox->isChecked();
    const bool nvEditing = _nonVolatile.box->isEditing;
    const bool vEditing = _volatile.box->isEditing;
    auto settle = [](Group& group, bool allowed) {
        if (group.box->isEditing)
            return; // Apply follows the dirty fields, Cancel stays
        group.edit->setEnabled(allowed && !group.awaitingWrite);
        group.cancel->setEnabled(false);
    };
    settle(_nonVolatile, editable && !vEditing && !motorOn);
    settle(_volatile, editable && !nvEditing);
}

void UiGroupHelper::enableOtherGroupBox(VelkoraParametersGroupBox*, bool)
{
    refreshEditButtons();
}

void UiGroupHelper::on_enableMotorCheckBox_toggled(bool)
{
    refreshEditButtons();
}

void UiGroupHelper::on_editSaveToolButton_toggled(bool checked)
{
    Group* group = groupOf(sender());
    if (!group)
        return;
    if (checked && !servoIsEditable()) {
        const QSignalBlocker blocker(group->edit);
        group->edit->setChecked(false);
        return;
    }
    if (!checked && group->keepEditing) {
        const QSignalBlocker blocker(group->edit);
        group->edit->setChecked(true);
        return;
    }
    group->box->isEditing = checked;
    for (QObject* child : group->box->children()) {
        if (child == group->cancel)
            group->cancel->setEnabled(checked);
        else if (auto* input = dynamic_cast<IGroupInputComponent*>(child))
            input->setEnabled(checked);
    }
    if (checked) {
        group->edit->setIcon(QIcon(QStringLiteral(":/images/apply.png")));
        group->edit->setText(tr("Apply"));
        group->edit->clearReferenceCount();
        group->edit->setEnabled(false);
    } else {
        group->edit->setIcon(QIcon(QStringLiteral(":/images/edit.png")));
        group->edit->setText(tr("Edit"));
        group->edit->clearReferenceCount();
    }
    enableOtherGroupBox(group->box, !checked);
}

void UiGroupHelper::on_editSaveToolButton_pressed()
{
    Group* group = groupOf(sender());
    if (!group)
        return;
    group->pending = {};
    group->doubts.clear();
    group->keepEditing = false;
    if (!group->edit->isChecked())
        return;
    // A value outside its range is never written; the edit goes on so that it can be corrected.
    if (group->edit->applyBlocked && group->edit->applyBlocked()) {
        group->keepEditing = true;
        return;
    }
    if (group->edit->requestHandler && _answering) {
        group->edit->requestHandler();
        group->doubts = brokenBounds(group->pending);
        // Asked about when the click completes; the edit goes on until the answer.
        group->keepEditing = !group->doubts.isEmpty();
    }
}

// Only a completed click writes: a press dragged off the button sends nothing.
void UiGroupHelper::on_editSaveToolButton_clicked()
{
    Group* group = groupOf(sender());
    if (!group)
        return;
    group->keepEditing = false;
    if (!group->doubts.isEmpty())
        askBeforeWriting(*group);
    else
        queueWrite(*group);
}

void UiGroupHelper::queueWrite(Group& group)
{
    if (group.pending.isEmpty() || !_connected)
        return;
    group.awaitingWrite = true;
    _queued.append(group.pending);
    emit addQueueRequest(group.pending);
    group.pending = {};
    refreshEditButtons();
}

void UiGroupHelper::askBeforeWriting(Group& group)
{
    const GroupWrite write = group.pending;
    const QString question =
        tr("%1\n\nWrite these parameters anyway?").arg(group.doubts.join(QLatin1Char('\n')));
    group.pending = {};
    group.doubts.clear();
    Group* asked = &group;
    const QPointer<UiGroupHelper> self(this);
    askToConfirm(group.box->window(), tr("Apply parameters"), question, tr("Write"), [self, asked, write] {
        // The edit may have ended meanwhile (Cancel, Disconnect, a silent servo).
        if (!self || !asked->box->isEditing || !self->_connected || !self->_answering)
            return;
        asked->edit->setChecked(false); // leaves the edit as a completed click does
        asked->pending = write;
        self->queueWrite(*asked);
    });
}

QStringList UiGroupHelper::brokenBounds(const GroupWrite& write) const
{
    const auto device = this->device();
    if (write.isEmpty() || !device || !UiRegisterHelper::_instance)
        return {};
    QByteArray table = UiRegisterHelper::_instance->lastTable();
    if (table.isEmpty())
        return {};
    // The servo's values as they will be: the write's bytes over the newest table read.
    table.replace(write.address(), write.length(), write.block(table));
    const FieldCatalogue catalogue(*device);
    auto valueOf = [&](const QString& name) -> std::optional<double> {
        const FieldRecord* record = catalogue.byObjectName(name);
        if (!record || !record->hasRange || record->address + record->size > table.size())
            return std::nullopt;
        return record->toPhysical(record->rawIn(table));
    };
    auto written = [&write](const QString& name) { return write.field(name) != nullptr; };
    QStringList doubts;
    for (const BrokenBound& broken : boundsBrokenBy(valueOf, written)) {
        QString field = QString::fromLatin1(broken.bound->field);
        QString other = QString::fromLatin1(broken.bound->other);
        double value = broken.value;
        double otherValue = broken.otherValue;
        bool above = broken.bound->atMost;
        // Said of the value the user changed.
        if (!written(field)) {
            std::swap(field, other);
            std::swap(value, otherValue);
            above = !above;
        }
        const QString otherCaption = broken.bound->otherIsReading
                                         ? tr("the present %1").arg(fieldCaption(other).toLower())
                                         : fieldCaption(other);
        doubts << (above ? tr("%1 (%2) is above %3 (%4).") : tr("%1 (%2) is below %3 (%4)."))
                      .arg(fieldCaption(field), physicalText(field, value), otherCaption,
                           physicalText(other, otherValue));
    }
    return doubts;
}

QString UiGroupHelper::physicalText(const QString& name, double value) const
{
    const auto units = FieldCore::currentUnits();
    const PhysicalQuantitiesEnum quantity = FieldCore::lookUpQuantity(name);
    if (static_cast<int>(quantity) > static_cast<int>(PhysicalQuantitiesEnum::AccelerationProfile))
        return QStringLiteral("%L1").arg(value);
    const QString number = QStringLiteral("%L1").arg(units->convertToTargetUnit(value, quantity), 0, 'f',
                                                     int(units->getTargetUnitDecimalPlaces(quantity)));
    const QString unit = units->getUnitString(quantity);
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}

void UiGroupHelper::on_limitsCancelToolButton_pressed()
{
    if (Group* group = groupOf(sender()))
        group->box->cancelGroupEdits();
}

QList<WriteField> UiGroupHelper::changedFields(std::initializer_list<FieldGroup> groups) const
{
    QList<WriteField> fields;
    const auto device = this->device();
    if (!device)
        return fields;
    const FieldCatalogue catalogue(*device);
    for (const FieldRecord& record : catalogue.fields()) {
        if (!record.writable || std::find(groups.begin(), groups.end(), record.group) == groups.end())
            continue;
        IUnitDataField* field = changedField(record.objectName);
        if (!field)
            continue;
        int raw = field->getServoValue();
        // A magnitude beside a direction bit (mask 0x7FFF, 0x3FF) must not reach that bit.
        const uint32_t fullMask = registerMask(record.size);
        const uint32_t bits = record.mask & fullMask;
        if (!record.isDirection() && bits != fullMask && (bits & (bits + 1)) == 0)
            raw = std::clamp(raw, 0, static_cast<int>(bits));
        fields.append(record.writeOf(raw));
    }
    return fields;
}

GroupWrite UiGroupHelper::nonVolatileWrite() const
{
    GroupWrite write(changedFields({FieldGroup::NonVolatile}));
    if (const WriteField* id = write.field(QStringLiteral("idSpinBox")))
        write.newId = static_cast<int>(id->value & 0xFF);
    if (const WriteField* baud = write.field(QStringLiteral("baudRateComboBox"))) {
        write.newBaudCode = static_cast<int>(baud->value & 0xFF);
        if (const auto device = this->device())
            write.newBaudRate = device->description().rateOfBaudCode(write.newBaudCode);
    }
    return write;
}

GroupWrite UiGroupHelper::volatileWrite() const
{
    return GroupWrite(changedFields({FieldGroup::Volatile, FieldGroup::Command}));
}

void UiGroupHelper::nonVolatileParamsGroupRequestHandler()
{
    _nonVolatile.pending = nonVolatileWrite();
}

void UiGroupHelper::volatileParamsGroupRequestHandler()
{
    _volatile.pending = volatileWrite();
}

void UiGroupHelper::onTableDecoded()
{
    _tableSeen = true;
    refreshEditButtons();
}

void UiGroupHelper::setServoAnswering(bool answering)
{
    _answering = answering;
    refreshEditButtons();
}

void UiGroupHelper::onWriteFinished(const GroupWrite& write, const WriteOutcome& outcome)
{
    // Only the groups' own writes are the user's to hear of here: the control table and
    // configuration files report theirs, and their entries need not be fields of this form.
    if (!_queued.removeOne(write))
        return;
    // The group the written fields belong to, in the model's layout; with no model to say, the
    // write is no group's to wait for any longer.
    const auto device = this->device();
    const FieldRecord* record = nullptr;
    std::unique_ptr<FieldCatalogue> catalogue;
    if (device) {
        catalogue = std::make_unique<FieldCatalogue>(*device);
        record = catalogue->byObjectName(write.fields().first().name);
    }
    if (!record || record->group == FieldGroup::NonVolatile)
        _nonVolatile.awaitingWrite = false;
    if (!record || record->group != FieldGroup::NonVolatile)
        _volatile.awaitingWrite = false;
    QString text = outcomeText(write, outcome);
    if (!outcome.lockProblem.isEmpty())
        text += tr("; %1").arg(outcome.lockProblem);
    emit writeOutcome(text, outcome.succeeded());
    refreshEditButtons();
}

QString UiGroupHelper::outcomeText(const GroupWrite& write, const WriteOutcome& outcome) const
{
    using Answer = WriteOutcome::Answer;
    if (outcome.answer == Answer::NotSent)
        return tr("Parameters not written: %1").arg(outcome.problem);
    if (!outcome.readBack)
        return tr("Parameters may not have been written: the servo did not answer afterwards");
    const WriteCheck& check = outcome.check;
    if (check.allHeld()) {
        if (write.movesServo())
            return servoMovedText(write.newId, write.newBaudRate, outcome.answer);
        switch (outcome.answer) {
        case Answer::Lost:
            return tr("Parameters written (the acknowledgement was lost)");
        case Answer::Refused:
            return tr("Parameters written, although the servo reported: %1").arg(outcome.problem);
        default:
            return tr("Parameters written");
        }
    }
    if (check.fieldsHeld == 0 && outcome.answer == Answer::Refused)
        return tr("Parameters not written: %1").arg(outcome.problem);
    if (check.fieldsHeld == 0 && outcome.answer == Answer::Lost)
        return tr("Parameters not written: %1").arg(outcome.problem);
    const WriteField& field = write.fields().at(check.firstDiffering);
    const QString difference = tr("%1 is %2 on the servo, not %3")
                                   .arg(fieldCaption(field.name), valueText(field, check.held),
                                        valueText(field, field.value & field.mask));
    if (outcome.answer == Answer::Refused)
        return tr("Parameters written in part: %1; %2").arg(outcome.problem, difference);
    return tr("Parameters not written as sent: %1").arg(difference);
}

// The label in front of the field in its group's grid.
QString UiGroupHelper::fieldCaption(const QString& name) const
{
    auto* widget = _form->nonVolatileParamsGroupBox->window()->findChild<QWidget*>(name);
    auto* grid = widget && widget->parentWidget() ? qobject_cast<QGridLayout*>(widget->parentWidget()->layout())
                                                  : nullptr;
    const int index = grid ? grid->indexOf(widget) : -1;
    if (index >= 0) {
        int row = 0, column = 0, rows = 0, columns = 0;
        grid->getItemPosition(index, &row, &column, &rows, &columns);
        for (int c = 0; c < column; ++c) {
            QLayoutItem* item = grid->itemAtPosition(row, c);
            // A unit label's caption without the unit: the values that go with it carry theirs.
            if (auto* unitLabel = item ? qobject_cast<VelkoraUnitLabel*>(item->widget()) : nullptr)
                return unitLabel->caption();
            if (auto* label = item ? qobject_cast<QLabel*>(item->widget()) : nullptr) {
                QString caption = label->text().trimmed();
                if (caption.endsWith(QLatin1Char(':')))
                    caption.chop(1);
                return caption;
            }
        }
    }
    return name;
}

QString UiGroupHelper::valueText(const WriteField& field, uint32_t bits) const
{
    auto* widget = _form->nonVolatileParamsGroupBox->window()->findChild<QWidget*>(field.name);
    if (FieldCore::lookUpQuantity(field.name) == PhysicalQuantitiesEnum::Direction)
        bits = bits != 0 ? 1 : 0; // the item of the list
    if (auto* list = qobject_cast<QComboBox*>(widget)) {
        const int index =
            field.name == QLatin1String("baudRateComboBox") ? list->findData(int(bits)) : int(bits);
        return index >= 0 && index < list->count() - 1 ? list->itemText(index) : tr("Unknown (%1)").arg(bits);
    }
    if (qobject_cast<QCheckBox*>(widget))
        return bits != 0 ? tr("on") : tr("off");
    FieldCore core;
    core.physicalQuantity = FieldCore::lookUpQuantity(field.name);
    core.units = FieldCore::currentUnits();
    const auto device = this->device();
    if (!device || !core.loadMetadata(field.name, *device))
        return QString::number(bits);
    const int raw = core.metadata->rawMin < 0 ? signExtended(bits, field.size) : int(bits);
    // The integer boxes scale from zero, as they show their values.
    const bool whole = qobject_cast<QSpinBox*>(widget) != nullptr;
    const double shown = core.toShown(raw, !whole);
    const int decimals = whole ? 0 : int(core.units->getTargetUnitDecimalPlaces(core.physicalQuantity));
    const QString unit = core.units->getUnitString(core.physicalQuantity);
    const QString number = QStringLiteral("%L1").arg(shown, 0, 'f', decimals);
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}
