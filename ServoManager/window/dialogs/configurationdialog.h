#pragma once

#include "core/files/servoconfiguration.h"

#include <QDialog>
#include <QMap>

#include <functional>
#include <optional>
#include <memory>

class GroupWrite;
class QAction;
class QTimer;
class Settings;
class UiScheduler;
struct WriteOutcome;

namespace Ui {
class ConfigurationDialog;
}

// The servo the window is connected to, as the configuration files need it.
class UnitsHelper;

struct ConnectedServo
{
    std::shared_ptr<UiScheduler> scheduler; // null when not connected
    std::shared_ptr<const FieldCatalogue> catalogue;
    std::function<QByteArray()> table; // the newest control table read of this connection; empty before
    int baudRate = 0;

    // Whether a whole control table has been read: nothing is saved or compared before.
    bool hasTable() const;
};

// Save configuration… and Compare with file…: a table of the file's settings against the servo's,
// the differing ones first and ticked, and Apply selected, which writes the ticked ones as the
// edit view writes (one verified write per group) and then shows what the servo holds.
class ConfigurationDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ConfigurationDialog(QWidget* parent);
    ~ConfigurationDialog() override;

    // A raw value as the dialogs show it: in the unit chosen, with its decimals.
    static QString shownValue(const FieldRecord& field, int raw, const UnitsHelper& units);

    struct Actions
    {
        QAction* save;
        QAction* compare;
        QAction* compareFiles;
    };
    // Runs the three actions: `servo` says what the window is connected to when one is
    // triggered; the folder last used is kept in `settings`.
    void attach(const Actions& actions, std::function<ConnectedServo()> servo, std::shared_ptr<Settings> settings);

    // Asks for a file (without blocking polling) and writes the servo's configuration there.
    void saveConfiguration(const ConnectedServo& servo, const QString& folder);
    // Asks for a file and compares it with the servo.
    void compareWithFile(const ConnectedServo& servo, const QString& folder);
    // Reads `path` and shows it against the servo chosen by compareWithFile; false (and a
    // message) when the file is refused.
    bool compare(const QString& path);
    void applySelected();
    // Two files side by side, no servo needed: the table of their differences.
    void compareFiles(const QString& folder);
    bool compareFiles(const QString& first, const QString& second);

    QStringList tickedKeys() const;
    // False while it compares two files.
    bool showsServo() const { return !_leftFile; }

signals:
    // For the status bar, and the folder to offer next time.
    void message(const QString& text);
    void failed(const QString& text);
    void folderUsed(const QString& folder);

private:
    // Runs `then` once the servo's table has been read: at once, or after the next read; when none
    // comes in time, says `notDone` instead. The newest wait replaces one under way.
    void whenTableRead(const ConnectedServo& servo, const QString& notDone, std::function<void()> then);
    void chooseFileToSave(const ConnectedServo& servo, const QString& folder);
    void fillTable();
    void onWriteFinished(const GroupWrite& write, const WriteOutcome& outcome);

    std::unique_ptr<Ui::ConfigurationDialog> _ui;
    ConnectedServo _servo;
    ServoConfiguration _file;
    std::optional<ServoConfiguration> _leftFile; // comparing two files
    QString _leftName;
    QString _fileName;
    QMap<QString, QString> _results; // by key, after Apply selected
    QMetaObject::Connection _tableWait;
    QTimer* _tableTimer = nullptr;
    QString _notDone; // what the wait for a table says when it gives up
    int _writesOutstanding = 0;
    int _verified = 0;
    int _differing = 0;
};
