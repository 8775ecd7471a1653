#pragma once

#include "fields/fieldinterfaces.h"

#include <QGroupBox>

// A group of fields on the edit view that follows the connection state: it passes connect
// and disconnect on to its fields and indicators.
class VelkoraParametersGroupBox : public QGroupBox, public IConnectInfo
{
    Q_OBJECT

public:
    explicit VelkoraParametersGroupBox(QWidget* parent = nullptr);

    // Set while the user edits this group; the register decoding then leaves its fields alone.
    bool isEditing = false;

public slots:
    void connected() override;
    void disconnected() override;

private:
    void showData(bool on);
};
