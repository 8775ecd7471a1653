#pragma once

#include "core/model/groupwrite.h"

#include <QByteArray>
#include <QList>
#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

class ControlTableModel;
class IDevice;
class ModelSource;
class QSortFilterProxyModel;
class ServoSession;
class UiScheduler;
struct WriteOutcome;

namespace Ui {
class ControlTableView;
}

// The "Control table" tab: every entry of the connected model's description with its live value.
// Read-write entries may be edited; Apply writes the changed ones the way the edit view writes
// (verified by reading them back) and says what became of them.
class ControlTableView : public QWidget
{
    Q_OBJECT

public:
    using SchedulerSource = std::function<std::shared_ptr<UiScheduler>()>;

    explicit ControlTableView(QWidget* parent = nullptr);
    ~ControlTableView() override;

    // Where the connected servo's model comes from: its description gives the rows.
    void setModelSource(const ModelSource* model);
    // The scheduler of the current connection (none while not connected); writes go to it.
    void setSchedulerSource(SchedulerSource scheduler);

    // Follows the session's Connect and Disconnect; writes go to the scheduler `scheduler` gives.
    void follow(ServoSession* session, SchedulerSource scheduler);
    // From Connect until Disconnect the rows follow the models loaded.
    void connected();
    void disconnected();
    // The values of a read-all answer (a read from address 0).
    void showAnswer(const QByteArray& response);

    ControlTableModel* tableModel() const { return _table; }
    QSortFilterProxyModel* filterModel() const { return _filter; }

public slots:
    // Writes the edited entries.
    void apply();
    void revert();

private:
    void onModelLoaded();
    void onWriteFinished(const GroupWrite& write, const WriteOutcome& outcome);
    // What became of one of this view's writes, in words; empty when it was verified.
    QString outcomeProblem(const GroupWrite& write, const WriteOutcome& outcome, const QByteArray& table) const;
    void updateUnits();
    void refreshButtons();
    void showStatus(const QString& text);

    Ui::ControlTableView* ui;
    ControlTableModel* _table;
    QSortFilterProxyModel* _filter;
    QPointer<const ModelSource> _model;
    QMetaObject::Connection _modelConnection;
    std::shared_ptr<const IDevice> _shownDevice; // held, so that another model never takes its address
    SchedulerSource _scheduler;
    QPointer<UiScheduler> _writingTo;
    QMetaObject::Connection _writeConnection;
    QList<GroupWrite> _outstanding; // this view's writes not judged yet
    QStringList _verified; // captions of the entries shown held
    QStringList _problems;
    quint64 _unitsReadAt = 0;
    bool _unitsRead = false;
};
