#pragma once

#include "window/widgets/fieldinterfaces.h"
#include "window/widgets/fieldstyle.h"

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

    void connected(const ModelSource* model) override;
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
    bool holdsValueOutOfRange() const override;
    bool isForceDisabled() const { return core.isForceDisabled; }
    // The servo holds a value outside the field's range (shown as the range end).
    bool isOutOfRange() const { return servoOutOfRange; }
    // The field's range in the unit shown; minimum() and maximum() take anything typed.
    double validMinimum() const { return validMin; }
    double validMaximum() const { return validMax; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void setIsDirty(bool dirty) override;
    // The value went outside the field's range (true) or back inside it.
    void valueRangeChanged(bool outside);

public slots:
    void on_valueChanged(double value);
    void on_deviceLoaded();

protected:
    void paintEvent(QPaintEvent* event) override;
    // The arrows, keys and wheel stay inside the field's range.
    void stepBy(int steps) override;
    StepEnabled stepEnabled() const override;

private:
    void refreshRangeMark();
    double rounded(double value) const;

    VelkoraParametersGroupBox* parentGroupBox;
    FieldCore core;
    double lastValue = 0;
    double validMin = 0;
    double validMax = 0;
    double servoShown = 0; // the servo's value when it is outside the range
    bool servoOutOfRange = false;
    bool typedOutOfRange = false;
    bool marked = false;
    // The box shows what core.lastRaw gave and nothing (model, units, mode, user) changed it since:
    // the same raw value again needs no work.
    bool showsLastRaw = false;
};
