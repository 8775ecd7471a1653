#pragma once

#include <QList>
#include <QWidget>

#include <memory>

namespace Ui {
class EditView;
}
class ModelSource;
class UiGroupHelper;

// The "Unit fields" tab: the servo's values in physical units and its status indicators.
class EditView : public QWidget
{
    Q_OBJECT

public:
    explicit EditView(QWidget* parent = nullptr);
    ~EditView() override;

    // Where the connected servo's model comes from: the fields take their ranges from it.
    void setModelSource(const ModelSource* model);

public slots:
    // Connect and Disconnect. The main window's form wires them ahead of the window's own
    // handlers, so the groups and fields know the state before anything is read or written.
    void connected();
    void disconnected();

private:
    void initWidgetParams();
    void registerDataFields(const QList<QObject*>& objects) const;

    Ui::EditView* ui;
    std::shared_ptr<UiGroupHelper> uiGroupHelper;
};
