#pragma once

#include "core/model/groupwrite.h"
#include "core/model/idevice.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <initializer_list>
#include <memory>

namespace Ui {
class EditView;
}
class ModelSource;
class VelkoraGroupToolButton;
class VelkoraParametersGroupBox;
struct WriteOutcome;

// Group editing of the edit view: passes Connect and Disconnect on to the groups, runs Edit /
// Apply / Cancel with the two groups excluding each other, keeps the non-volatile group
// closed while the motor runs, and builds the write of a group's register block.
class UiGroupHelper : public QObject
{
    Q_OBJECT

public:
    // The first edit view's; released when that view goes.
    static std::shared_ptr<UiGroupHelper> _instance;

    explicit UiGroupHelper(Ui::EditView* form);

    Ui::EditView* form() const { return _form; }
    // Where the connected servo's model comes from: what the groups write is laid out as it says.
    void setModelSource(const ModelSource* model);

    // The servo connects or goes: the groups first, so the buttons already know, then every
    // group box with its fields and indicators.
    void connected();
    void disconnected();

    // The write of the fields the user changed in the group (empty when none changed).
    GroupWrite nonVolatileWrite() const;
    GroupWrite volatileWrite() const;
    // What the status bar says of a write's outcome.
    QString outcomeText(const GroupWrite& write, const WriteOutcome& outcome) const;
    // A field's caption and a raw value of it as the field presents it, for messages.
    QString fieldCaption(const QString& name) const;
    QString valueText(const WriteField& field, uint32_t bits) const;

    void nonVolatileParamsGroupRequestHandler();
    void volatileParamsGroupRequestHandler();
    void enableOtherGroupBox(VelkoraParametersGroupBox* box, bool enable);

signals:
    void addQueueRequest(const GroupWrite& write);
    // What became of an Apply, for the status bar.
    void writeOutcome(const QString& text, bool written);

public slots:
    void on_editSaveToolButton_toggled(bool checked);
    void on_editSaveToolButton_pressed();
    void on_editSaveToolButton_clicked();
    void on_limitsCancelToolButton_pressed();
    void on_enableMotorCheckBox_toggled(bool checked);

    // From the scheduler of the current connection.
    void onTableDecoded();
    void onWriteFinished(const GroupWrite& write, const WriteOutcome& outcome);
    // A silent servo's table is stale: nothing may be edited or written from it.
    void setServoAnswering(bool answering);

private:
    struct Group
    {
        VelkoraParametersGroupBox* box = nullptr;
        VelkoraGroupToolButton* edit = nullptr;
        VelkoraGroupToolButton* cancel = nullptr;
        GroupWrite pending; // collected on press, queued when the click completes
        QStringList doubts; // why the pending write is asked about before it goes out
        bool keepEditing = false;   // this click does not end the edit
        bool awaitingWrite = false; // until a read has shown what the servo made of it
    };

    void initConnections();
    void initGroupBoxConnections(VelkoraParametersGroupBox* box, void (UiGroupHelper::*handler)());
    void initSpecialConnections();
    // The group boxes in the order they hear Connect and Disconnect.
    QList<VelkoraParametersGroupBox*> groupBoxes() const;
    void onConnected();
    void onDisconnected();
    std::shared_ptr<IDevice> device() const;
    // The fields of `groups` the user changed, as the model describes them.
    QList<WriteField> changedFields(std::initializer_list<FieldGroup> groups) const;
    Group* groupOf(QObject* object);
    void refreshEditButtons();
    bool servoIsEditable() const;
    void queueWrite(Group& group);
    void askBeforeWriting(Group& group);
    // What the write would break of how the servo's values bound one another.
    QStringList brokenBounds(const GroupWrite& write) const;
    QString physicalText(const QString& name, double value) const;

    Ui::EditView* _form;
    QPointer<const ModelSource> _model;
    Group _nonVolatile;
    Group _volatile;
    QList<GroupWrite> _queued; // the groups' writes whose outcome has not come yet
    bool _connected = false;
    bool _tableSeen = false;
    bool _answering = true;
};
