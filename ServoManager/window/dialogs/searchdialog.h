#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>

#include <memory>

class QButtonGroup;
class QTreeWidgetItem;
class SerialHelper;
class ServoSearch;
class Settings;
struct FoundServo;

namespace Ui {
class SearchDialog;
}

// Finds the servos on a port: every id of a range at every ticked baud rate, or one broadcast
// ping per rate (quick scan). The scan (a ServoSearch) runs in the Scan handler on the GUI thread
// and lets events in between probes and during long ones; each probe runs on its worker thread.
// There is only ever one scan: while it runs its inputs are locked, and hiding the dialog ends it.
class SearchDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SearchDialog(QWidget* parent = nullptr);
    ~SearchDialog() override;

    // See ServoSearch::probeWaitMs().
    static int probeWaitMs(int baudRate, int adapterAllowanceUs);
    // The model column's text for a status packet that starts with the model number.

    bool isScanning() const { return _scanning; }
    // Probes the last scan sent.
    int probesMade() const;

    Q_INVOKABLE QTreeWidgetItem* addTreeRoot(QString baudRate);
    Q_INVOKABLE void addTreeChild(QTreeWidgetItem* parent, QString id, QString model);

    void setVisible(bool visible) override;

    void on_lowerIdValueChanged(int value);
    void on_upperIdValueChanged(int value);
    void on_serialPortTextChanged(const QString& text);
    void on_selectStateChanged(int state);
    void on_baudRateCheckBoxToggled(int id, bool checked);
    void on_itemClicked();

signals:
    // A probe of the running scan went to the worker: a read of one id, or a broadcast ping.
    void doScanServo(int id, int baudRate);
    void doQuickScan(int baudRate, int highestId);
    void updateBaudRate(int baudRate);
    void updateId(int id);
    // 1 or 2: the protocol of the servo chosen.
    void updateProtocol(int protocol);
    // A servo for the bus table: Select adds the chosen one, Add all every one found; `protocol`
    // is the one it answered in.
    void addToBus(int id, int baudRate, int modelNumber, int firmware, int protocol);
    // The port the chosen servo was found on.
    void updatePortName(const QString& portName);
    // A scan found nothing and the user asks why.
    void diagnoseRequested();

public slots:
    void select();
    void addAll();
    void cancel();
    void scan();
    void abortScan();
    void show();

private:
    void fillPortsInfo();
    void updateScanEnabled();
    void lockInputs(bool locked);
    void updateProtocolHint();
    void addRateBoxes();
    void addServo(const FoundServo& servo, const QString& portName);
    void fitColumns();
    void showProgress(int made, int total, qint64 leftMs);
    bool scanStillShown() const;
    void offerDiagnosis(const QString& portName);

    Ui::SearchDialog* ui;
    std::shared_ptr<SerialHelper> _serialHelper;
    std::shared_ptr<Settings> _settings;
    int _previousLower = 1;
    int _previousUpper = 10;
    QButtonGroup* _buttonGroup = nullptr;
    bool _selectActive = true;
    // The running or last scan; kept after it ends for probesMade().
    std::unique_ptr<ServoSearch> _search;

    bool _scanning = false;
    int _showings = 0;
    int _scanShowing = 0; // the showing the running scan belongs to
};
