#include "fields/velkoraparametersgroupbox.h"

VelkoraParametersGroupBox::VelkoraParametersGroupBox(QWidget* parent) : QGroupBox(parent) {}

void VelkoraParametersGroupBox::connected()
{
    showData(true);
}

void VelkoraParametersGroupBox::disconnected()
{
    showData(false);
}

void VelkoraParametersGroupBox::showData(bool on)
{
    for (QObject* child : children()) {
        auto* connectInfo = dynamic_cast<IConnectInfo*>(child);
        if (!connectInfo || !dynamic_cast<IVelkoraField*>(child))
            continue;
        if (on)
            connectInfo->connected();
        else
            connectInfo->disconnected();
    }
    update();
}
