#pragma once

#include "window/widgets/fieldinterfaces.h"

#include <QLabel>

// A caption that the mode controllers grey out with the field it names.
class VelkoraLabel : public QLabel, public IVelkoraField, public IConnectInfo
{
    Q_OBJECT

public:
    explicit VelkoraLabel(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    explicit VelkoraLabel(const QString& text, QWidget* parent = nullptr,
                          Qt::WindowFlags flags = Qt::WindowFlags());

    void connected(const ModelSource* model) override;
    void disconnected() override;
    QString objectName() const override;
    // Only while connected: offline captions are never grey.
    void forceDisable(bool disable) override;

private:
    bool isConnected = false;
};
