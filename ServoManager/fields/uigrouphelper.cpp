#include "fields/uigrouphelper.h"
#include "ui_editview.h"

#include "bus/devicehelper.h"
#include "device/idevice.h"
#include "device/uiregisterhelper.h"
#include "fields/objecthelper.h"
#include "mainwindow.h"

#include <QAction>
#include <QIcon>

#include <algorithm>
#include <limits>

std::shared_ptr<UiGroupHelper> UiGroupHelper::_instance;

namespace {

struct Slot
{
    int address;
    int bytes;
    const char* field;
};

const Slot nonVolatileSlots[] = {
    {3, 1, "idSpinBox"},
    {4, 1, "baudRateComboBox"},
    {5, 1, "ackResponseTimeSpinBox"},
    {6, 1, "operatingModeComboBox"},
    {7, 2, "clockwiseLimitDoubleSpinBox"},
    {9, 2, "counterClockwiseLimitDoubleSpinBox"},
    {11, 1, "temperatureLimitDoubleSpinBox"},
    {12, 1, "minVoltageLimitDoubleSpinBox"},
    {13, 1, "maxVoltageLimitDoubleSpinBox"},
    {14, 2, "quadratureCurrentLimitDoubleSpinBox"},
    {16, 2, "angularVelocityLimitDoubleSpinBox"},
    {18, 2, "accelerationLimitDoubleSpinBox"},
    {20, 4, "hornPositionOffsetDoubleSpinBox"},
    {24, 2, "movingThresholdDoubleSpinBox"},
    {26, 1, "inputModeComboBox"},
    {27, 2, "defPositionProportionalTermDoubleSpinBox"},
    {29, 2, "defVelocityFeedforwardTermDoubleSpinBox"},
    {31, 2, "defCurrentFeedforwardTermDoubleSpinBox"},
    {33, 2, "defVelocityIntegralTermDoubleSpinBox"},
    {35, 2, "defVelocityProportionalTermDoubleSpinBox"},
    {37, 2, "defAngularVelocityProfileDoubleSpinBox"},
    {39, 2, "defAccelerationProfileDoubleSpinBox"},
};

const Slot volatileSlots[] = {
    {48, 1, "enableMotorCheckBox"},
    {49, 1, "pendingShadowInstructionCheckBox"},
    {54, 2, "positionProportionalTermDoubleSpinBox"},
    {56, 2, "velocityFeedforwardTermDoubleSpinBox"},
    {58, 2, "currentFeedforwardTermDoubleSpinBox"},
    {60, 2, "velocityIntegralTermDoubleSpinBox"},
    {62, 2, "velocityProportionalTermDoubleSpinBox"},
    {68, 2, "angularVelocityProfileDoubleSpinBox"},
    {70, 2, "accelerationProfileDoubleSpinBox"},
    {78, 4, "targetPositionDoubleSpinBox"},
};

// 15-bit magnitude and a direction bit (set: clockwise) share one register.
struct DirectedSlot
{
    int address;
    const char* magnitude;
    const char* direction;
};

const DirectedSlot directedSlots[] = {
    {82, "targetAngularVelocityDoubleSpinBox", "targetAngularVelocityDirectionComboBox"},
    {84, "targetTorqueDoubleSpinBox", "targetTorqueDirectionComboBox"},
};

// The field the user changed, or null.
IUnitDataField* changedField(const char* name)
{
    IUnitDataField* field =
        UiRegisterHelper::_instance ? UiRegisterHelper::_instance->getRegisteredField(name) : nullptr;
    const auto* input = dynamic_cast<IGroupInputComponent*>(field);
    return input && input->hasUserChange() ? field : nullptr;
}

void put(QByteArray& block, int offset, int bytes, uint32_t value)
{
    for (int i = 0; i < bytes && offset + i < block.size(); ++i)
        block[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t get(const QByteArray& block, int offset, int bytes)
{
    uint32_t value = 0;
    for (int i = 0; i < bytes && offset + i < block.size(); ++i)
        value |= uint32_t(uint8_t(block.at(offset + i))) << (8 * i);
    return value;
}

// The servo's block, padded with zeros where the table is short (it never is for a V1).
QByteArray servoBlock(const QByteArray& table, int address, int length)
{
    QByteArray block = table.mid(address, length);
    block.append(QByteArray(length - block.size(), '\0'));
    return block;
}

} // namespace

UiGroupHelper::UiGroupHelper(Ui::EditView* form) : _form(form)
{
    auto wire = [](Group& group, VelkoraParametersGroupBox* box, VelkoraGroupToolButton* edit,
                   VelkoraGroupToolButton* cancel, uint8_t address) {
        group.box = box;
        group.edit = edit;
        group.cancel = cancel;
        group.address = address;
    };
    wire(_nonVolatile, form->nonVolatileParamsGroupBox, form->nvParamsEditSaveToolButton,
         form->nvParamsCancelToolButton, nonVolatileAddress);
    wire(_volatile, form->volatileParamsGroupBox, form->vParamsEditSaveToolButton,
         form->vParamsCancelToolButton, volatileAddress);

    initConnections();
}

void UiGroupHelper::initConnections()
{
    MainWindow* window = ObjectHelper::getMainWindowHandle();
    if (window) {
        // Before the groups: whatever order their handlers run in, the buttons already know.
        connect(window->getConnectAction(), &QAction::triggered, this, &UiGroupHelper::onConnected);
        connect(window->getDisconnectAction(), &QAction::triggered, this, &UiGroupHelper::onDisconnected);
    }
    initGroupBoxConnections(_form->realtimeInformationGroupBox, nullptr);
    initGroupBoxConnections(_form->versionInfoGroupBox, nullptr);
    initGroupBoxConnections(_form->nonVolatileParamsGroupBox,
                            &UiGroupHelper::nonVolatileParamsGroupRequestHandler);
    initGroupBoxConnections(_form->volatileParamsGroupBox, &UiGroupHelper::volatileParamsGroupRequestHandler);
    initGroupBoxConnections(_form->velkoraHardwareErrorGroupBox, nullptr);
    initGroupBoxConnections(_form->velkoraPacketStatusGroupBox, nullptr);
    initSpecialConnections();
    refreshEditButtons();
}

// Made while the main window builds its form, before its own handlers are connected by
// name: the groups hear Connect and Disconnect before the window acts on them.
void UiGroupHelper::initGroupBoxConnections(VelkoraParametersGroupBox* box, void (UiGroupHelper::*handler)())
{
    if (MainWindow* window = ObjectHelper::getMainWindowHandle()) {
        connect(window->getConnectAction(), &QAction::triggered, box, &VelkoraParametersGroupBox::connected);
        connect(window->getDisconnectAction(), &QAction::triggered, box,
                &VelkoraParametersGroupBox::disconnected);
    }
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
    for (QObject* child : box->children()) {
        if (dynamic_cast<IGroupInputComponent*>(child))
            connect(child, SIGNAL(setIsDirty(bool)), group->edit, SLOT(incrementReferenceCount(bool)));
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
    for (Group* group : {&_nonVolatile, &_volatile}) {
        group->awaitingWrite = false;
        group->readAfterWrite = -1;
        group->pending.clear();
    }
    refreshEditButtons();
}

void UiGroupHelper::onDisconnected()
{
    _connected = false;
    _tableSeen = false;
    for (Group* group : {&_nonVolatile, &_volatile}) {
        if (group->box->isEditing)
            group->box->cancelGroupEdits();
        group->awaitingWrite = false;
        group->readAfterWrite = -1;
        group->pending.clear();
    }
    refreshEditButtons();
}

bool UiGroupHelper::servoIsEditable() const
{
    // Another model's table would be overwritten with V1 blocks.
    const auto device = DeviceHelper::_instance ? DeviceHelper::_instance->getDevice() : nullptr;
    return _connected && _tableSeen && device && device->hasVelkoraControlTable();
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
        const bool busy = group.awaitingWrite || group.readAfterWrite >= 0;
        group.edit->setEnabled(allowed && !busy);
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
    group->pending.clear();
    if (group->edit->isChecked() && group->edit->requestHandler)
        group->edit->requestHandler();
}

// Only a completed click writes: a press dragged off the button sends nothing.
void UiGroupHelper::on_editSaveToolButton_clicked()
{
    Group* group = groupOf(sender());
    if (!group || group->pending.isEmpty() || !_connected)
        return;
    group->awaitingWrite = true;
    group->readAfterWrite = -1;
    emit addQueueRequest(group->address, group->pending);
    group->pending.clear();
    refreshEditButtons();
}

void UiGroupHelper::on_limitsCancelToolButton_pressed()
{
    if (Group* group = groupOf(sender()))
        group->box->cancelGroupEdits();
}

QByteArray UiGroupHelper::nonVolatileBlock(const QByteArray& table) const
{
    QByteArray block = servoBlock(table, nonVolatileAddress, nonVolatileLength);
    for (const Slot& slot : nonVolatileSlots) {
        if (IUnitDataField* field = changedField(slot.field))
            put(block, slot.address - nonVolatileAddress, slot.bytes,
                static_cast<uint32_t>(field->getServoValue()));
    }
    return block;
}

QByteArray UiGroupHelper::volatileBlock(const QByteArray& table) const
{
    QByteArray block = servoBlock(table, volatileAddress, volatileLength);
    for (const Slot& slot : volatileSlots) {
        if (IUnitDataField* field = changedField(slot.field))
            put(block, slot.address - volatileAddress, slot.bytes,
                static_cast<uint32_t>(field->getServoValue()));
    }
    for (const DirectedSlot& slot : directedSlots) {
        const int offset = slot.address - volatileAddress;
        uint32_t value = get(block, offset, 2);
        if (IUnitDataField* magnitude = changedField(slot.magnitude)) {
            // A magnitude too large for 15 bits must not flip the direction.
            const int raw = std::clamp(magnitude->getServoValue(), 0, 0x7FFF);
            value = (value & 0x8000) | static_cast<uint32_t>(raw);
        }
        if (IUnitDataField* direction = changedField(slot.direction))
            value = (value & 0x7FFF) | (direction->getServoValue() != 0 ? 0x8000 : 0);
        put(block, offset, 2, value);
    }
    return block;
}

void UiGroupHelper::nonVolatileParamsGroupRequestHandler()
{
    const QByteArray table =
        UiRegisterHelper::_instance ? UiRegisterHelper::_instance->lastTable() : QByteArray();
    _nonVolatile.basis = servoBlock(table, nonVolatileAddress, nonVolatileLength);
    _nonVolatile.pending = nonVolatileBlock(table);
}

void UiGroupHelper::volatileParamsGroupRequestHandler()
{
    const QByteArray table =
        UiRegisterHelper::_instance ? UiRegisterHelper::_instance->lastTable() : QByteArray();
    _volatile.basis = servoBlock(table, volatileAddress, volatileLength);
    _volatile.pending = volatileBlock(table);
}

void UiGroupHelper::onTableDecoded(int writesFinishedBeforeRead)
{
    _tableSeen = true;
    for (Group* group : {&_nonVolatile, &_volatile}) {
        // The fields now show what the servo holds after the write.
        if (!group->awaitingWrite && group->readAfterWrite >= 0 &&
            writesFinishedBeforeRead >= group->readAfterWrite)
            group->readAfterWrite = -1;
    }
    refreshEditButtons();
}

void UiGroupHelper::onWriteFinished(uint8_t address, const QByteArray& data, bool acknowledged,
                                    const QString& problem, int writesFinished)
{
    Group* group = address == nonVolatileAddress ? &_nonVolatile
                   : address == volatileAddress  ? &_volatile
                                                 : nullptr;
    if (!group)
        return;
    group->awaitingWrite = false;
    group->readAfterWrite = writesFinished;
    if (!acknowledged) {
        emit writeOutcome(tr("Parameters not written: %1").arg(problem), false);
        refreshEditButtons();
        return;
    }
    emit writeOutcome(tr("Parameters written"), true);
    if (group == &_nonVolatile && data.size() >= 2 && group->basis.size() >= 2) {
        // The servo answered with its old settings and uses the new ones from now on.
        const int id = uint8_t(data.at(0));
        if (id != uint8_t(group->basis.at(0)))
            emit servoIdChanged(id);
        const int code = uint8_t(data.at(1));
        const int index = SerialHelper::baudRateToIndex(code);
        if (code != uint8_t(group->basis.at(1)) && SerialHelper::indexToBaudRate(index) == code)
            emit baudRateChanged(_form->baudRateComboBox->itemText(index).toInt());
    }
    refreshEditButtons();
}
