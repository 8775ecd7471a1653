#pragma once

#include "window/widgets/fieldinterfaces.h"

#include <QGroupBox>

// A group of fields on the edit view that follows the connection state: it passes connect
// and disconnect on to its fields and indicators, and ends an edit when the servo goes.
class VelkoraParametersGroupBox : public QGroupBox, public IConnectInfo
{
    Q_OBJECT

public:
    explicit VelkoraParametersGroupBox(QWidget* parent = nullptr);

    // Set while the user edits this group; the register decoding then leaves its fields alone.
    bool isEditing = false;

    // True for the groups with Edit and Cancel buttons.
    bool isEditableGroupBox() const;
    // Every field back to the servo's value, the buttons back to "Edit".
    void cancelGroupEdits();

    void connected(const ModelSource* model) override;
    void disconnected() override;

signals:
    void editsCancelled();

private:
    // Passes the connection on to the fields and indicators of the group.
    void showData(const ModelSource* model, bool on);
};
