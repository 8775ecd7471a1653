#include "window/editview/uiregisterhelper.h"

#include "core/model/fieldcatalogue.h"
#include "core/model/fielddependencies.h"
#include "core/model/idevice.h"
#include "core/model/velkorav1.h"
#include "core/protocol/readanswer.h"
#include "core/session/devicehelper.h"
#include "core/session/servoviews.h"
#include "core/session/uischeduler.h"
#include "window/editview/modecontrollers.h"
#include "window/editview/registerview.h"
#include "window/editview/statushelper.h"
#include "window/editview/uigrouphelper.h"
#include "window/widgets/fieldinterfaces.h"
#include "window/widgets/velkoraparametersgroupbox.h"

#include <QWidget>

#include <algorithm>
#include <exception>
#include <iterator>

namespace {
// The window's side of the scheduler: the edit view's groups send their writes to it and follow
// its answers; the answers are decoded into the fields and the register view.
class WindowViews final : public ServoViews
{
public:
    void attach(UiScheduler& scheduler) override
    {
        if (!UiRegisterHelper::_instance)
            UiRegisterHelper::_instance = std::make_shared<UiRegisterHelper>();
        if (UiGroupHelper* groups = UiGroupHelper::_instance.get()) {
            QObject::connect(groups, &UiGroupHelper::addQueueRequest, &scheduler, &UiScheduler::addWrite);
            QObject::connect(&scheduler, &UiScheduler::writeFinished, groups, &UiGroupHelper::onWriteFinished);
            QObject::connect(&scheduler, &UiScheduler::tableDecoded, groups, &UiGroupHelper::onTableDecoded);
            QObject::connect(&scheduler, &UiScheduler::servoAnswering, groups, &UiGroupHelper::setServoAnswering);
        }
    }
    void showAnswer(const QByteArray& response) override
    {
        if (UiRegisterHelper::_instance)
            UiRegisterHelper::_instance->decodeResponse(response);
    }
    void showRefusal(uint8_t errorByte) override
    {
        if (StatusHelper::_instance)
            StatusHelper::_instance->displayStatusPacket(errorByte);
    }
};
} // namespace

std::shared_ptr<UiRegisterHelper> UiRegisterHelper::_instance;

ServoViews* UiRegisterHelper::views()
{
    static WindowViews views;
    return &views;
}

UiRegisterHelper::UiRegisterHelper()
{
    fielddependencies::install(makeModeController);
    buildRegisterMetadata();
}

template <typename U>
void UiRegisterHelper::insertRegisterMetadataItem(uint8_t address, uint8_t byteCount,
                                                  void (UiRegisterHelper::*handler)(U))
{
    // The conversion to U truncates to the item's width and sign-extends the signed types.
    auto item = std::make_shared<RegisterItemHelper>(RegisterItemHelper{
        byteCount, [this, handler](int value) { (this->*handler)(static_cast<U>(value)); }});
    _registerMetadata.emplace(address, std::move(item));
}

// The V1 control table, item by item from address 0 to 119 without gaps.
void UiRegisterHelper::buildRegisterMetadata()
{
    insertRegisterMetadataItem(0, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(2, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(3, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(4, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(5, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(6, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(7, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(9, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(11, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(12, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(13, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(14, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(16, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(18, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(20, 4, &UiRegisterHelper::noOp32);
    insertRegisterMetadataItem(24, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(26, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(27, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(29, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(31, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(33, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(35, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(37, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(39, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(41, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(42, 2, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(44, 2, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(46, 2, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(48, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(49, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(50, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(52, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(54, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(56, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(58, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(60, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(62, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(64, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(66, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(68, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(70, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(72, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(74, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(76, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(78, 4, &UiRegisterHelper::noOp32);
    insertRegisterMetadataItem(82, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(84, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(86, 4, &UiRegisterHelper::noOp32);
    insertRegisterMetadataItem(90, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(92, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(94, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(95, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(97, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(98, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(99, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(100, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(101, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(103, 4, &UiRegisterHelper::noOp32);
    insertRegisterMetadataItem(107, 1, &UiRegisterHelper::showHardwareErrorStatus);
    insertRegisterMetadataItem(108, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(109, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(110, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(111, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(112, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(113, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(114, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(116, 2, &UiRegisterHelper::noOp16);
    insertRegisterMetadataItem(118, 1, &UiRegisterHelper::noOp);
    insertRegisterMetadataItem(119, 1, &UiRegisterHelper::noOp);
}

void UiRegisterHelper::decodeResponse(const QByteArray& response)
{
    _lastTable = readanswer::table(response);

    const auto device = DeviceHelper::_instance ? DeviceHelper::_instance->getDevice() : nullptr;
    const FieldCatalogue& catalogue = catalogueOf(device.get());
    // As the answer holds it: a short answer's last bytes are values too, not a checksum.
    const QByteArray data = readanswer::dataOnward(response);
    if (device && !device->hasVelkoraControlTable()) {
        // Another layout: only the values it describes.
        for (const FieldRecord& field : catalogue.fields())
            showRegisteredField(QString(field.objectName), field.rawIn(data));
    } else {
        RegisterView* view = RegisterView::_instance;
        if (view)
            view->updateNumberBase();
        // Register by register for the register view; each field when its register comes up,
        // so a mode is shown (and its controller has run) before the fields that follow it.
        auto next = catalogue.fields().begin();
        for (const auto& [address, item] : _registerMetadata) {
            for (; next != catalogue.fields().end() && next->address <= address; ++next)
                showRegisteredField(QString(next->objectName), next->rawIn(data));
            const uint32_t value = valueAt(response, address, item->byteCount);
            item->handler(static_cast<int>(value));
            if (view)
                view->setRegisterField(address, item->byteCount, value);
        }
    }

    if (StatusHelper::_instance)
        StatusHelper::_instance->displayStatusPacket(errorByte(response));
}

const FieldCatalogue& UiRegisterHelper::catalogueOf(const IDevice* device)
{
    // Without a model (nothing identified yet) the table is read as the V1's.
    if (!device) {
        if (!_defaultModel)
            _defaultModel = std::make_shared<VelkoraV1>();
        device = _defaultModel.get();
    }
    if (device != _catalogueDevice) {
        _catalogue = std::make_unique<FieldCatalogue>(*device);
        _catalogueDevice = device;
    }
    return *_catalogue;
}

void UiRegisterHelper::registerUnitDataField(IUnitDataField* field)
{
    _fields.emplace(field->objectName(), field);
}

void UiRegisterHelper::unregisterFieldsBelow(const QObject* root)
{
    for (auto it = _fields.begin(); it != _fields.end();) {
        const auto* object = dynamic_cast<const QObject*>(it->second);
        bool below = false;
        for (const QObject* o = object; o && !below; o = o->parent())
            below = o == root;
        it = below ? _fields.erase(it) : std::next(it);
    }
}

IUnitDataField* UiRegisterHelper::getRegisteredField(QString&& name) const
{
    const auto it = _fields.find(name);
    return it == _fields.end() ? nullptr : it->second;
}

void UiRegisterHelper::showRegisteredField(QString&& name, int value)
{
    const auto it = _fields.find(name);
    if (it == _fields.end())
        return;
    IUnitDataField* field = it->second;
    // Runs inside the scheduler's answer handling: a failing field must not end the program.
    try {
        field->processDependencies();
        if (isGroupUpdating(field))
            return;
        field->setServoValue(value);
    } catch (const std::exception&) {
        // The field keeps its previous value; the next poll tries again.
    }
}

bool UiRegisterHelper::isGroupUpdating(IUnitDataField* field) const
{
    const auto* widget = dynamic_cast<QWidget*>(field);
    const auto* groupBox =
        widget ? qobject_cast<VelkoraParametersGroupBox*>(widget->parentWidget()) : nullptr;
    return groupBox && groupBox->isEditing;
}

void UiRegisterHelper::noOp(unsigned char) {}

void UiRegisterHelper::noOp16(unsigned short) {}

void UiRegisterHelper::noOp32(unsigned int) {}

// Bit 5 is the overload bit of servos of this protocol family; it has an indicator of its own.
// The other bits are fields of the catalogue.
void UiRegisterHelper::showHardwareErrorStatus(unsigned char value)
{
    if (StatusHelper::_instance)
        StatusHelper::_instance->displayOverload((value & 0x20) != 0);
}
