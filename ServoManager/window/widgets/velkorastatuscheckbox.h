#pragma once

#include "window/widgets/fieldinterfaces.h"

#include <QCheckBox>
#include <QFont>
#include <QString>

// A display-only indicator for one status bit: red while set and connected, grey otherwise.
class VelkoraStatusCheckBox : public QCheckBox, public IConnectInfo, public IVelkoraField
{
    Q_OBJECT

public:
    explicit VelkoraStatusCheckBox(QWidget* parent = nullptr);

    // Hide the QAbstractButton members: the indicator restyles itself on every change.
    void setChecked(bool on);
    void setText(const QString& text);

    void connected(const ModelSource* model) override;
    void disconnected() override;
    QString objectName() const override;
    void forceDisable(bool disable) override;

private:
    int textWidth();

    bool isConnected = false;
    // Measuring text shapes it; the decoder sets every indicator on every poll.
    QString measuredText;
    QFont measuredFont;
    int measuredWidth = 0;
};
