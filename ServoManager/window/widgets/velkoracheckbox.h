#pragma once

#include "window/widgets/fieldinterfaces.h"
#include "window/widgets/fieldstyle.h"

#include <QCheckBox>

class VelkoraParametersGroupBox;

// A servo flag: motor enable, pending instruction, moving, and the hardware error bits.
class VelkoraCheckBox : public QCheckBox,
                        public IGroupInputComponent,
                        public IConnectInfo,
                        public IUnitDataField
{
    Q_OBJECT

public:
    explicit VelkoraCheckBox(QWidget* parent = nullptr);

    // Hides QAbstractButton::setText: the indicator is placed at the group box's right edge.
    void setText(const QString& text);

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
    bool isForceDisabled() const { return core.isForceDisabled; }

signals:
    void setIsDirty(bool dirty) override;

public slots:
    void on_toggled(bool checked);
    void on_deviceLoaded();

private:
    void restyle();

    // What the style sheet was last built from.
    struct StyleInputs
    {
        int boxWidth = -1;
        bool red = false;
        bool forceDisabled = false;
        QString text;
        bool operator==(const StyleInputs& o) const
        {
            return boxWidth == o.boxWidth && red == o.red && forceDisabled == o.forceDisabled && text == o.text;
        }
    };
    StyleInputs _styledFor;

    VelkoraParametersGroupBox* parentGroupBox;
    FieldCore core;
    bool lastValue = false;
};
