#include "window/widgets/velkoralabel.h"

VelkoraLabel::VelkoraLabel(QWidget* parent, Qt::WindowFlags flags) : QLabel(parent, flags) {}

VelkoraLabel::VelkoraLabel(const QString& text, QWidget* parent, Qt::WindowFlags flags)
    : QLabel(text, parent, flags)
{
}

void VelkoraLabel::connected(const ModelSource*)
{
    isConnected = true;
}

void VelkoraLabel::disconnected()
{
    isConnected = false;
    QLabel::setEnabled(true);
}

QString VelkoraLabel::objectName() const
{
    return QLabel::objectName();
}

void VelkoraLabel::forceDisable(bool disable)
{
    if (isConnected)
        QLabel::setEnabled(!disable);
}
