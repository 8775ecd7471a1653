#pragma once

#include "core/model/fieldcatalogue.h"
#include "core/protocol/readanswer.h"

#include <QByteArray>
#include <QPointer>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

class IDevice;
class IUnitDataField;
class ControlTableView;
class ModelSource;
class QObject;
class RegisterView;
class ServoViews;
class VelkoraParametersGroupBox;

// One entry of the decoding map: the item's width and the handler that shows its value.
struct RegisterItemHelper
{
    uint8_t byteCount;
    // Shows the item's value where it shows beyond the fields (the hardware error status).
    std::function<void(int)> handler;
};

// Turns the control table of a read-all answer into the values of the edit view's fields,
// hands the answer to the register view and the error byte to the status indicators. The items
// and fields are the connected model's (the V1's until one is identified).
class UiRegisterHelper
{
public:
    using RegisterMetadata = std::map<uint8_t, std::shared_ptr<RegisterItemHelper>>;

    static std::shared_ptr<UiRegisterHelper> _instance;
    // The edit and register views and the status indicators, as the scheduler sees them.
    static ServoViews* views();

    UiRegisterHelper();
    // The handlers are bound to this object.
    UiRegisterHelper(const UiRegisterHelper&) = delete;
    UiRegisterHelper& operator=(const UiRegisterHelper&) = delete;

    // Where the connected servo's model comes from.
    void setModelSource(const ModelSource* model);
    // The view that shows every answer's registers as bytes; none: the bytes show nowhere.
    void setRegisterView(RegisterView* view);
    // The view that lists every entry of the model with its value; none: they show nowhere.
    void setControlTableView(ControlTableView* view);

    // Decodes a status packet of a read that started at address 0. All items are visited
    // whatever the length; those past the end of the answer get the bytes that are there (0
    // when none), and so do the fields.
    void decodeResponse(const QByteArray& response);

    // Of a read-all answer: the little-endian item of `byteCount` bytes at `address`; bytes
    // past the end of a short answer count as 0. And the answer's error byte (0 if none).
    static uint32_t valueAt(const QByteArray& response, int address, int byteCount)
    {
        return readanswer::valueAt(response, address, byteCount);
    }
    // The answer's error in the Protocol 2 form; a Feetech model's answers carry that maker's bits.
    static uint8_t errorByte(const QByteArray& response, const IDevice* device);

    // The control table of the latest read-all answer (data bytes only).
    const QByteArray& lastTable() const { return _lastTable; }

    // A copy of the decoding map of the model decoded last; the items are shared.
    RegisterMetadata getRegisterMetadata() const { return _registerMetadata; }

    // A name that is already registered keeps its first widget.
    void registerUnitDataField(IUnitDataField* field);
    // Forgets the fields that lie below `root` (an edit view that goes away).
    void unregisterFieldsBelow(const QObject* root);
    std::size_t registeredFieldCount() const { return _fields.size(); }
    IUnitDataField* getRegisteredField(QString&& name) const;
    // Runs the field's dependency, then shows the value unless the user edits its group.
    void showRegisteredField(QString&& name, int value);
    bool isGroupUpdating(IUnitDataField* field) const;

    // The overload bit of the model's hardware error status; it has an indicator of its own.
    void showHardwareErrorStatus(unsigned char value);

private:
    // A catalogue field's widget (null: none registered) and the group box it is edited in.
    struct ShownField
    {
        IUnitDataField* field = nullptr;
        const VelkoraParametersGroupBox* group = nullptr;
    };

    // The catalogue and decoding map of `device` (the V1 without one), made once per model.
    const FieldCatalogue& catalogueOf(std::shared_ptr<const IDevice> device);
    void buildRegisterMetadata(const IDevice& device);
    // The widgets of the catalogue's fields, in its order; found again after a model or a
    // registration changes them.
    const std::vector<ShownField>& shownFields(const FieldCatalogue& catalogue);
    void showField(const ShownField& shown, int value);

    QPointer<const ModelSource> _model;
    QPointer<RegisterView> _registerView;
    QPointer<ControlTableView> _controlTableView;
    RegisterMetadata _registerMetadata;
    QByteArray _lastTable;
    std::shared_ptr<const IDevice> _defaultModel;
    std::unique_ptr<FieldCatalogue> _catalogue;
    // Held, so that another model can never take its address.
    std::shared_ptr<const IDevice> _catalogueDevice;
    std::map<QString, IUnitDataField*> _fields;
    // Looking each field up by name at every poll cost more than showing most of them.
    std::vector<ShownField> _shownFields;
    const FieldCatalogue* _shownCatalogue = nullptr;
};
