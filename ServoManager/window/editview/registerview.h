#pragma once

#include "core/model/idevice.h"

#include <QByteArray>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <vector>

class ModelSource;
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
    // The view of the program, set by the constructor; for tests and benchmarks.
    static RegisterView* _instance;

    explicit RegisterView(QWidget* parent = nullptr);
    ~RegisterView() override;

    // Where the connected servo's model comes from: its register list gives the rows.
    void setModelSource(const ModelSource* model);

    QTableWidget* getRegisterBank(RegisterBank bank) const;

    // From Connect until Disconnect the tables follow the models loaded.
    void connected();
    void disconnected();
    // Sizes the tables for the model just loaded. Connected by pointer, not by name: it is no
    // auto-connected slot.
    void on_deviceLoaded();

    // Every register the model lists, with its byte of a read-all answer (0 past the end of a
    // short one), in the number base stored in Settings at this moment.
    void showAnswer(const QByteArray& response);

    // Takes the "Servo data" choice (hexadecimal or decimal) Settings stored; every answer
    // asks, so that a choice applied meanwhile shows on the next poll.
    void updateNumberBase();

    void setRegisterField(unsigned short address, unsigned char value);
    // A little-endian item of size bytes: byte 0 at address, byte 1 at the next address for
    // sizes from 2, bytes 2 and 3 after that for size 4.
    void setRegisterField(unsigned short address, unsigned char size, unsigned int value);
    void setRegisterField(unsigned short address, unsigned char size, unsigned short value);

private:
    void initRegisterTables();
    // The register records of the connected model, by address.
    void lookUpRecords();
    // One register's row, by the records looked up last.
    void showRegister(unsigned short address, unsigned char value);

    Ui::RegisterView* ui;
    QPointer<const ModelSource> _model;
    QMetaObject::Connection _modelConnection;
    bool _decimal = false;
    bool _numberBaseRead = false;
    quint64 _numberBaseReadAt = 0; // the store's write count when the number base was read
    // The register records of the model last shown, by address (held, so that a new model
    // can never take the old one's address).
    std::shared_ptr<const IDevice> _recordsOf;
    std::vector<std::unique_ptr<RegisterDeviceMetadata>> _records;
    // The byte each register's row shows, by address; -1 where the row may not show it. Every
    // poll passes over a hundred registers of which few change.
    std::vector<int> _shown;
};
