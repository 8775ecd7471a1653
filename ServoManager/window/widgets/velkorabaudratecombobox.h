#pragma once

#include "window/widgets/fieldinterfaces.h"
#include "window/widgets/fieldstyle.h"

#include <QComboBox>
#include <QMap>

#include <memory>

class QListView;

// The servo's baud rate, chosen from the rates its model's baud register selects (each item
// holds its code: one rate has different codes on different models); the last item is "-".
class VelkoraBaudRateComboBox : public QComboBox,
                                public IGroupInputComponent,
                                public IConnectInfo,
                                public IUnitDataField
{
    Q_OBJECT

public:
    explicit VelkoraBaudRateComboBox(QWidget* parent = nullptr);

    void connected(const ModelSource* model) override;
    void disconnected() override;
    void setObjectName(const QString& name) override;
    QString objectName() const override;
    void forceDisable(bool disable) override;
    void processDependencies() override;
    void setEnabled(bool enable) override;
    // Takes and gives the register's baud code, not the item index: a code the list does
    // not know goes back to the servo unchanged.
    void setServoValue(int value) override;
    int getServoValue() override;
    void cancelUpdate() override;
    PhysicalQuantitiesEnum getPhysicalQuantity() override;

    bool isDirty() const { return core.isDirty; }
    bool hasUserChange() const override { return core.isDirty; }
    bool isValueUnknown() const { return unknownValue; }

signals:
    void setIsDirty(bool dirty) override;

public slots:
    void on_currentIndexChanged(int index);
    void on_deviceLoaded();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The model's rates as the items, when they are not already.
    void offerRatesOf(const ModelSource* model);

    std::shared_ptr<QListView> listView;
    QMap<int, int> offeredCodes; // code -> rate of the items
    const ModelSource* source = nullptr;
    FieldCore core;
    int lastValue = 0;
    bool unknownValue = false;
    // The item the servo's value was found at (-1: look again); its list changes with the model.
    int foundIndex = -1;
};
