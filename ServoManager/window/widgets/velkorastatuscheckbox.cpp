#include "window/widgets/velkorastatuscheckbox.h"

#include "window/widgets/velkoraparametersgroupbox.h"

#include <QFontMetrics>

VelkoraStatusCheckBox::VelkoraStatusCheckBox(QWidget* parent) : QCheckBox(parent)
{
    // The user cannot toggle an indicator.
    QCheckBox::setEnabled(false);
}

void VelkoraStatusCheckBox::setChecked(bool on)
{
    QCheckBox::setChecked(on);
    auto* groupBox = qobject_cast<VelkoraParametersGroupBox*>(parentWidget());
    if (!groupBox)
        return;

    // The spacing puts the indicator at the group box's right edge, whatever the text.
    const int spacing = (groupBox->geometry().right() - groupBox->geometry().left()) - textWidth() - 39;
    const QString sheet = QStringLiteral("QCheckBox{spacing:%1px;}"
                                         "QAbstractButton{color:#4d4c4c;padding-right:2px;}"
                                         "QCheckBox::indicator{width:12px;height:12px;"
                                         "border:1px solid #b8a692;border-radius:3px;background:%2;}")
                              .arg(spacing)
                              .arg(on && isConnected ? QStringLiteral("#ff461d") : QStringLiteral("#eceae9"));
    // Setting a style sheet re-polishes the widget; the decoder calls this on every poll.
    if (sheet != styleSheet())
        setStyleSheet(sheet);
}

int VelkoraStatusCheckBox::textWidth()
{
    if (text() != measuredText || font() != measuredFont) {
        measuredText = text();
        measuredFont = font();
        measuredWidth = fontMetrics().horizontalAdvance(measuredText);
    }
    return measuredWidth;
}

void VelkoraStatusCheckBox::setText(const QString& text)
{
    QCheckBox::setText(text);
    setChecked(false);
}

void VelkoraStatusCheckBox::connected(const ModelSource*)
{
    isConnected = true;
}

void VelkoraStatusCheckBox::disconnected()
{
    isConnected = false;
    setChecked(false);
}

QString VelkoraStatusCheckBox::objectName() const
{
    return QCheckBox::objectName();
}

void VelkoraStatusCheckBox::forceDisable(bool) {}
