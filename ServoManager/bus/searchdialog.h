#pragma once

#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <memory>

class QButtonGroup;
class QThread;
class QTreeWidgetItem;
class SearchHelper;
class SerialHelper;
class Settings;

namespace Ui {
class SearchDialog;
}

// Finds the servos on a port: every id of a range at every ticked baud rate, or one broadcast
// ping per rate (quick scan). The scan runs in the Scan handler on the GUI thread and lets
// events in between probes and during long ones; each probe runs on the dialog's worker thread.
// There is only ever one scan: while it runs its inputs are locked, and hiding the dialog ends it.
class SearchDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SearchDialog(QWidget* parent = nullptr);
    ~SearchDialog() override;

    // How long one probe of one id may take at this baud rate: the request layer's deadline for
    // the 14-byte read and its 15-byte answer.
    static int probeWaitMs(int baudRate, int adapterAllowanceUs);
    // The model column's text for a status packet that starts with the model number.
    static QString modelText(const QByteArray& answer);

    bool isScanning() const { return _scanning; }
    // Probes the last scan sent.
    int probesMade() const { return _probesMade; }

    Q_INVOKABLE QTreeWidgetItem* addTreeRoot(QString baudRate);
    Q_INVOKABLE void addTreeChild(QTreeWidgetItem* parent, QString id, QString model);

    // One probe of one id; the servo's status packet, or empty when none came.
    QByteArray scanServo(int id, int baudRate);

    void setVisible(bool visible) override;

    void on_lowerIdValueChanged(int value);
    void on_upperIdValueChanged(int value);
    void on_serialPortTextChanged(const QString& text);
    void on_selectStateChanged(int state);
    void on_baudRateCheckBoxToggled(int id, bool checked);
    void on_itemClicked();

signals:
    void doScanServo(int id, int baudRate);
    void doQuickScan(int baudRate, int highestId);
    void updateBaudRate(int baudRate);
    void updateId(int id);
    // The port the chosen servo was found on.
    void updatePortName(const QString& portName);

public slots:
    void select();
    void cancel();
    void scan();
    void abortScan();
    void show();

private:
    struct Plan;

    void fillPortsInfo();
    void updateScanEnabled();
    void lockInputs(bool locked);
    void startWorker(const QString& portName);
    void stopWorker();
    bool awaitProbe(int probe, int expectedMs);
    QList<QByteArray> quickScanRate(int baudRate, int highestId);
    void addServo(int baudRate, int id, const QByteArray& answer, const QString& portName);
    void showProgress(const Plan& plan, int rateIndex, int nextId);
    bool scanStillShown() const;

    Ui::SearchDialog* ui;
    std::shared_ptr<SerialHelper> _serialHelper;
    std::shared_ptr<Settings> _settings;
    int _previousLower = 1;
    int _previousUpper = 10;
    bool _abort = false;
    QButtonGroup* _buttonGroup = nullptr;
    bool _selectActive = true;
    std::shared_ptr<SearchHelper> _searchHelper;
    std::unique_ptr<QThread> _thread;

    bool _scanning = false;
    int _probesMade = 0;
    int _showings = 0;
    int _scanShowing = 0; // the showing the running scan belongs to
    int _adapterAllowanceUs = 0;
    QString _portError;
    QList<int> _found;
    QElapsedTimer _progressShown;
};
