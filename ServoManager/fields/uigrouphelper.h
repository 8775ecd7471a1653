#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

namespace Ui {
class EditView;
}
class VelkoraGroupToolButton;
class VelkoraParametersGroupBox;

// Group editing of the edit view: wires the groups to Connect and Disconnect, runs Edit /
// Apply / Cancel with the two groups excluding each other, keeps the non-volatile group
// closed while the motor runs, and builds the write of a group's register block.
class UiGroupHelper : public QObject
{
    Q_OBJECT

public:
    static std::shared_ptr<UiGroupHelper> _instance;

    explicit UiGroupHelper(Ui::EditView* form);

    Ui::EditView* form() const { return _form; }

    // The group's block as the servo holds it in `table` (the control table from address 0),
    // with only the values of the fields the user changed put in.
    QByteArray nonVolatileBlock(const QByteArray& table) const;
    QByteArray volatileBlock(const QByteArray& table) const;

    void nonVolatileParamsGroupRequestHandler();
    void volatileParamsGroupRequestHandler();
    void enableOtherGroupBox(VelkoraParametersGroupBox* box, bool enable);

    static constexpr uint8_t nonVolatileAddress = 3;
    static constexpr int nonVolatileLength = 38;
    static constexpr uint8_t volatileAddress = 48;
    static constexpr int volatileLength = 60;

signals:
    void addQueueRequest(uint8_t address, const QByteArray& data);
    // An acknowledged write moved the servo: the program follows it.
    void servoIdChanged(int id);
    void baudRateChanged(int baudRate);
    // What became of an Apply, for the status bar.
    void writeOutcome(const QString& text, bool written);

public slots:
    void on_editSaveToolButton_toggled(bool checked);
    void on_editSaveToolButton_pressed();
    void on_editSaveToolButton_clicked();
    void on_limitsCancelToolButton_pressed();
    void on_enableMotorCheckBox_toggled(bool checked);

    // From the scheduler of the current connection.
    void onTableDecoded(int writesFinishedBeforeRead);
    void onWriteFinished(uint8_t address, const QByteArray& data, bool acknowledged, const QString& problem,
                         int writesFinished);

private:
    struct Group
    {
        VelkoraParametersGroupBox* box = nullptr;
        VelkoraGroupToolButton* edit = nullptr;
        VelkoraGroupToolButton* cancel = nullptr;
        uint8_t address = 0;
        QByteArray basis;   // the servo's block the pending write was built from
        QByteArray pending; // collected on press, queued when the click completes
        bool awaitingWrite = false;
        int readAfterWrite = -1; // writes finished that a decoded read must have seen
    };

    void initConnections();
    void initGroupBoxConnections(VelkoraParametersGroupBox* box, void (UiGroupHelper::*handler)());
    void initSpecialConnections();
    void onConnected();
    void onDisconnected();
    Group* groupOf(QObject* object);
    void refreshEditButtons();
    bool servoIsEditable() const;

    Ui::EditView* _form;
    Group _nonVolatile;
    Group _volatile;
    bool _connected = false;
    bool _tableSeen = false;
};
