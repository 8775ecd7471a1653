#pragma once

#include "window/widgets/fieldinterfaces.h"
#include "window/widgets/fieldstyle.h"

#include <QLineEdit>

// A read-only servo value (model number, firmware, real-time readings) as text in the
// unit of its quantity.
class VelkoraLineEdit : public QLineEdit,
                        public IGroupInputComponent,
                        public IConnectInfo,
                        public IUnitDataField
{
    Q_OBJECT

public:
    explicit VelkoraLineEdit(QWidget* parent = nullptr);

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

    // The text for a raw value with the field's range and units (FieldCore::toShown rounded
    // to the unit's decimals).
    QString formatValue(int raw) const;

signals:
    void setIsDirty(bool dirty) override;

public slots:
    void on_valueChanged(const QString& text);
    void on_deviceLoaded();

private:
    const ModelSource* source = nullptr;
    FieldCore core;
    QString lastValue;
    // formatValue(core.lastRaw) while valid; the model, the units or the connection clear it.
    QString shownText;
    bool shownTextValid = false;
};
