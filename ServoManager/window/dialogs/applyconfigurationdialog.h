#pragma once

#include "core/jobs/configurationwriter.h"
#include "core/session/servolocator.h"

#include <QDialog>
#include <QList>

#include <functional>
#include <memory>

class SerialHelper;
class UnitsHelper;

namespace Ui {
class ApplyConfigurationDialog;
}

// One configuration file onto several servos: the file's values against each servo's, a column per
// servo, the differing ones ticked; the ticked ones are written to every servo and verified, with a
// result per servo. Ids and baud rates are never taken from the file.
class ApplyConfigurationDialog : public QDialog
{
    Q_OBJECT

public:
    // While it reads or writes, the dialog has the bus to itself: `takeBus` gets it (false and a
    // reason when it cannot be had now), `giveBack` returns it.
    struct BusAccess
    {
        std::function<bool(QString* why)> takeBus;
        std::function<void()> giveBack;
    };
    ApplyConfigurationDialog(std::shared_ptr<SerialHelper> serial, BusAccess access, QWidget* parent);
    ~ApplyConfigurationDialog() override;

    // Shows the dialog for these servos and asks for a file (without blocking).
    void start(const QList<BusAddress>& servos, const QString& folder);
    // Reads `path` and compares it with every servo; false (and a message) when the file is refused.
    bool compare(const QString& path);
    // Writes the ticked values to every servo.
    void writeTicked();
    QStringList tickedKeys() const;
    bool isBusy() const { return _writer && _writer->isRunning(); }

signals:
    void folderUsed(const QString& folder);
    // Each servo's result, once all are done: for the status bar.
    void finished(const QString& summary);

private:
    // One servo's column: what it holds of the file's keys, or why that is not known.
    struct Column
    {
        int id = 0;
        std::map<QString, int> now;
        QString unknown;
    };
    void takeResults(const QList<ServoWriteResult>& results);
    void fillTable();
    QString columnText(const Column& column, const FieldRecord& field, const UnitsHelper& units) const;
    bool differs(const Column& column, const QString& key) const;
    QString stateText() const;
    void runWriter(const QStringList& keys, bool dryRun);

    std::unique_ptr<Ui::ApplyConfigurationDialog> _ui;
    std::shared_ptr<SerialHelper> _serial;
    BusAccess _access;
    QList<BusAddress> _servos;
    QString _fileName;
    std::unique_ptr<ServoConfiguration> _file;
    std::unique_ptr<FieldCatalogue> _catalogue;
    std::unique_ptr<ConfigurationWriter> _writer;
    QList<Column> _columns;
    QStringList _rows; // the keys that differed when the file was compared, in the catalogue's order
};
