#pragma once

#include "core/model/idevice.h"

#include <QWidget>

#include <memory>
#include <vector>

class QTableWidget;

namespace Ui {
class RegisterView;
}

// The "Register fields" tab: the control table as raw bytes, one table per register bank,
// with the address, the value and the description of every register the model lists.
class RegisterView : public QWidget
{
    Q_OBJECT

public:
    // The one view of the program, set by the constructor.
    static RegisterView* _instance;

    explicit RegisterView(QWidget* parent = nullptr);
    ~RegisterView() override;

    QTableWidget* getRegisterBank(RegisterBank bank) const;

    void connected();
    void disconnected();
    // Sizes the tables for the model the DeviceHelper has just loaded. Connected by pointer,
    // not by name: it is no auto-connected slot.
    void on_deviceLoaded();

    // Takes the "Servo data" choice (hexadecimal or decimal) of the settings dialog; the
    // decoder calls it once per answer so that a changed choice shows on the next poll.
    void updateNumberBase();

    void setRegisterField(unsigned short address, unsigned char value);
    // A little-endian item of size bytes: byte 0 at address, byte 1 at the next address for
    // sizes from 2, bytes 2 and 3 after that for size 4.
    void setRegisterField(unsigned short address, unsigned char size, unsigned int value);
    void setRegisterField(unsigned short address, unsigned char size, unsigned short value);

private:
    void initRegisterTables();

    Ui::RegisterView* ui;
    bool _decimal = false;
    // The register records of the model last shown, by address (held, so that a new model
    // can never take the old one's address).
    std::shared_ptr<const IDevice> _recordsOf;
    std::vector<std::unique_ptr<RegisterDeviceMetadata>> _records;
};
