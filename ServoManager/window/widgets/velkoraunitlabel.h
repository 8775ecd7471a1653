#pragma once

#include "window/widgets/fieldinterfaces.h"

#include <QLabel>

// A caption followed by the unit the user chose for its quantity: "Position (degrees):".
class VelkoraUnitLabel : public QLabel, public IUnitField, public IConnectInfo
{
    Q_OBJECT

public:
    explicit VelkoraUnitLabel(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());

    // Hide the QLabel/QObject members, as the form calls them on this type.
    void setObjectName(const QString& name);
    // The first caption given is kept; later calls only refresh the unit.
    void setText(const QString& text);
    // The caption without its unit and colon: "Position".
    QString caption() const { return baseText; }

    // Also refreshes the unit, so the caption always names the unit its field converts to.
    void connected(const ModelSource* model) override;
    void disconnected() override;
    QString objectName() const override;
    void forceDisable(bool disable) override;
    PhysicalQuantitiesEnum getPhysicalQuantity() override;

private:
    QString baseText;
    bool isConnected = false;
    PhysicalQuantitiesEnum physicalQuantity = PhysicalQuantitiesEnum::CaptionOnly;
};
