#pragma once

#include "core/model/fieldcatalogue.h"
#include "core/protocol/readanswer.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <cstddef>
#include <map>
#include <memory>


class IDevice;
class ServoViews;
class IUnitDataField;
class QObject;

// One entry of the decoding map: the item's width and the handler that shows its value.
struct RegisterItemHelper
{
    uint8_t byteCount;
    // Narrows the assembled value to the item's own type before showing it.
    std::function<void(int)> handler;
};

// Turns the control table of a read-all answer into the values of the edit view's fields,
// hands every item's bytes to the register view and the error byte to the status indicators.
// Its first instance installs the window's views for the scheduler (they use `_instance`).
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

    // Decodes a Protocol 2 status packet of a read that started at address 0: error byte at
    // position 8, data from position 9. All entries are visited whatever the length; those
    // past the end of the answer get the bytes that are there (0 when none).
    void decodeResponse(const QByteArray& response);

    // Of a read-all answer: the little-endian item of `byteCount` bytes at `address`; bytes
    // past the end of a short answer count as 0. And the answer's error byte (0 if none).
    static uint32_t valueAt(const QByteArray& response, int address, int byteCount)
    {
        return readanswer::valueAt(response, address, byteCount);
    }
    static uint8_t errorByte(const QByteArray& response) { return readanswer::errorByte(response); }

    // The control table of the latest read-all answer (data bytes only).
    const QByteArray& lastTable() const { return _lastTable; }

    // A copy of the decoding map; the items are shared.
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

    // The handlers of the registers that are no field (the fields come from the catalogue).
    void showHardwareErrorStatus(unsigned char value);
    void noOp(unsigned char);
    void noOp16(unsigned short);
    void noOp32(unsigned int);

private:
    // The current model's catalogue, made once per model.
    const FieldCatalogue& catalogueOf(const IDevice* device);
    void buildRegisterMetadata();
    template <typename U>
    void insertRegisterMetadataItem(uint8_t address, uint8_t byteCount, void (UiRegisterHelper::*handler)(U));

    RegisterMetadata _registerMetadata;
    QByteArray _lastTable;
    std::shared_ptr<IDevice> _defaultModel;
    std::unique_ptr<FieldCatalogue> _catalogue;
    const IDevice* _catalogueDevice = nullptr;
    std::map<QString, IUnitDataField*> _fields;
};
