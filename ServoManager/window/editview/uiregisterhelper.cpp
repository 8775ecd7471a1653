#include "window/editview/uiregisterhelper.h"

#include "core/model/fieldcatalogue.h"
#include "core/model/idevice.h"
#include "core/model/modeldescription.h"
#include "core/model/modelregistry.h"
#include "core/model/modelsource.h"
#include "core/protocol/readanswer.h"
#include "core/session/servoviews.h"
#include "core/session/uischeduler.h"
#include "window/editview/controltableview.h"
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
    catalogueOf(nullptr);
}

void UiRegisterHelper::setModelSource(const ModelSource* model)
{
    _model = model;
}

void UiRegisterHelper::setRegisterView(RegisterView* view)
{
    _registerView = view;
}

void UiRegisterHelper::setControlTableView(ControlTableView* view)
{
    _controlTableView = view;
}

// The model's control table item by item; only the hardware error status shows beyond the fields.
void UiRegisterHelper::buildRegisterMetadata(const IDevice& device)
{
    _registerMetadata.clear();
    const int hardwareError = device.getHardwareErrorAddress();
    for (const RegisterItem& item : device.getRegisterItems()) {
        std::function<void(int)> handler = [](int) {};
        if (item.address == hardwareError)
            handler = [this](int value) { showHardwareErrorStatus(static_cast<unsigned char>(value)); };
        _registerMetadata.emplace(
            item.address, std::make_shared<RegisterItemHelper>(RegisterItemHelper{item.byteCount, handler}));
    }
}

void UiRegisterHelper::decodeResponse(const QByteArray& response)
{
    _lastTable = readanswer::table(response);

    const FieldCatalogue& catalogue = catalogueOf(_model ? _model->device() : nullptr);
    // As the answer holds it: a short answer's last bytes are values too, not a checksum.
    const QByteArray data = readanswer::dataOnward(response);
    // Item by item; each field when its register comes up, so a mode is shown (and its controller
    // has run) before the fields that follow it. Fields past the last item come after them.
    const std::vector<ShownField>& shown = shownFields(catalogue);
    const std::vector<FieldRecord>& fields = catalogue.fields();
    size_t next = 0;
    for (const auto& [address, item] : _registerMetadata) {
        for (; next < fields.size() && fields[next].address <= address; ++next)
            showField(shown[next], fields[next].rawIn(data));
        item->handler(static_cast<int>(valueAt(response, address, item->byteCount)));
    }
    for (; next < fields.size(); ++next)
        showField(shown[next], fields[next].rawIn(data));

    if (_registerView)
        _registerView->showAnswer(response);
    if (_controlTableView)
        _controlTableView->showAnswer(response);
    if (StatusHelper::_instance)
        StatusHelper::_instance->displayStatusPacket(
            errorByte(response, _model ? _model->device().get() : nullptr));
}

uint8_t UiRegisterHelper::errorByte(const QByteArray& response, const IDevice* device)
{
    const bool feetech = device && device->description().protocols.contains(int(BusProtocol::Feetech));
    return readanswer::errorByte(response, feetech ? BusProtocol::Feetech : BusProtocol::One);
}

const FieldCatalogue& UiRegisterHelper::catalogueOf(std::shared_ptr<const IDevice> device)
{
    // Without a model (nothing identified yet) the table is read as the V1's.
    if (!device) {
        if (!_defaultModel)
            _defaultModel = deviceOf(ModelRegistry::shared().byName(QStringLiteral("v1")));
        device = _defaultModel;
    }
    if (!device) {
        static const FieldCatalogue none{};
        _registerMetadata.clear();
        return none;
    }
    if (device != _catalogueDevice) {
        _catalogue = std::make_unique<FieldCatalogue>(*device);
        _shownCatalogue = nullptr;
        buildRegisterMetadata(*device);
        _catalogueDevice = std::move(device);
    }
    return *_catalogue;
}

const std::vector<UiRegisterHelper::ShownField>& UiRegisterHelper::shownFields(const FieldCatalogue& catalogue)
{
    if (_shownCatalogue == &catalogue && _shownFields.size() == catalogue.fields().size())
        return _shownFields;
    _shownFields.clear();
    for (const FieldRecord& record : catalogue.fields()) {
        const auto it = _fields.find(record.objectName);
        ShownField shown;
        if (it != _fields.end()) {
            shown.field = it->second;
            const auto* widget = dynamic_cast<QWidget*>(shown.field);
            shown.group = widget ? qobject_cast<VelkoraParametersGroupBox*>(widget->parentWidget()) : nullptr;
        }
        _shownFields.push_back(shown);
    }
    _shownCatalogue = &catalogue;
    return _shownFields;
}

void UiRegisterHelper::registerUnitDataField(IUnitDataField* field)
{
    _fields.emplace(field->objectName(), field);
    _shownCatalogue = nullptr;
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
    _shownCatalogue = nullptr;
    _shownFields.clear();
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
    const auto* widget = dynamic_cast<QWidget*>(it->second);
    showField({it->second, widget ? qobject_cast<VelkoraParametersGroupBox*>(widget->parentWidget()) : nullptr},
              value);
}

void UiRegisterHelper::showField(const ShownField& shown, int value)
{
    if (!shown.field)
        return;
    // Runs inside the scheduler's answer handling: a failing field must not end the program.
    try {
        shown.field->processDependencies();
        if (shown.group && shown.group->isEditing)
            return;
        shown.field->setServoValue(value);
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

// Bit 5 is the overload bit of servos of this protocol family; it has an indicator of its own.
// The other bits are fields of the catalogue.
void UiRegisterHelper::showHardwareErrorStatus(unsigned char value)
{
    if (StatusHelper::_instance)
        StatusHelper::_instance->displayOverload((value & 0x20) != 0);
}
