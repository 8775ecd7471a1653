#pragma once

#include "window/widgets/fieldinterfaces.h"
#include "window/widgets/fieldstyle.h"

#include <QComboBox>

#include <memory>

class QListView;
class VelkoraParametersGroupBox;

// A servo value chosen from a fixed list (operating mode, input mode, direction): the raw
// value is the item index. The last item is the placeholder "-".
class VelkoraComboBox : public QComboBox,
                        public IGroupInputComponent,
                        public IConnectInfo,
                        public IUnitDataField
{
    Q_OBJECT

public:
    explicit VelkoraComboBox(QWidget* parent = nullptr);

    void connected(const ModelSource* model) override;
    void disconnected() override;
    void setObjectName(const QString& name) override;
    QString objectName() const override;
    void forceDisable(bool disable) override;
    // Runs the dependency, while the connected model describes this field.
    void processDependencies() override;
    // What runs before each value the servo sends is shown (a mode list's controller).
    void setDependency(std::shared_ptr<IFieldDependency> dependency) { _dependency = std::move(dependency); }
    void setEnabled(bool enable) override;
    void setServoValue(int value) override;
    int getServoValue() override;
    void cancelUpdate() override;
    PhysicalQuantitiesEnum getPhysicalQuantity() override;

    bool isDirty() const { return core.isDirty; }
    bool hasUserChange() const override { return core.isDirty; }
    bool isForceDisabled() const { return core.isForceDisabled; }
    // The servo holds a value the list does not have.
    bool isValueUnknown() const { return unknownValue; }

signals:
    void setIsDirty(bool dirty) override;

public slots:
    void on_currentIndexChanged(int index);
    void on_deviceLoaded();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void markUnknown(bool unknown);

    VelkoraParametersGroupBox* parentGroupBox;
    std::shared_ptr<QListView> listView;
    FieldCore core;
    std::shared_ptr<IFieldDependency> _dependency;
    int lastValue = 0;
    bool unknownValue = false;
};
