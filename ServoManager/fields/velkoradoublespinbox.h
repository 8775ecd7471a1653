#pragma once

#include "fields/fieldstyle.h"
#include "fields/fieldinterfaces.h"

#include <QDoubleSpinBox>

class VelkoraParametersGroupBox;

// A servo value with decimals, in the unit the user chose for its quantity.
class VelkoraDoubleSpinBox : public QDoubleSpinBox,
                             public IGroupInputComponent,
                             public IConnectInfo,
                             public IUnitDataField
{
    Q_OBJECT

public:
    explicit VelkoraDoubleSpinBox(QWidget* parent = nullptr);

    void connected() override;
    void disconnected() override;
    void setObjectName(const QString& name) override;
    QString objectName() const override;
    void forceDisable(bool disable) override;
    void processDependencies() override;
    void setEnabled(bool enable) override;
    void setServoValue(int value) override;
    int getServoValue() override;
    void cancelUpdate() override;
    PhysicalQuantitiesEnum getPhysicalQuantity() override;

    bool isDirty() const { return core.isDirty; }
    bool hasUserChange() const override { return core.isDirty; }
    bool isForceDisabled() const { return core.isForceDisabled; }
    bool isOutOfRange() const { return outOfRange; }

signals:
    void setIsDirty(bool dirty) override;

public slots:
    void on_valueChanged(double value);
    void on_deviceLoaded();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void markOutOfRange(bool on, double shown = 0);

    VelkoraParametersGroupBox* parentGroupBox;
    FieldCore core;
    double lastValue = 0;
    bool outOfRange = false;
};
