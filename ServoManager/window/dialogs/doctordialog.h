#pragma once

#include "core/jobs/busdoctor.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>

class QTimer;
class QTreeWidgetItem;

namespace Ui {
class DoctorDialog;
}

// Runs the bus doctor on the port, rate, protocol and servo id of the settings and shows its
// verdicts as they are reached, each with its fix beneath it. The doctor works event by event on
// this thread: the window stays usable, and Stop (or closing the dialog) ends the run at its next
// step. A servo found where the settings do not point can be taken as the settings.
class DoctorDialog : public QDialog
{
    Q_OBJECT

public:
    explicit DoctorDialog(QWidget* parent = nullptr);
    ~DoctorDialog() override;

    // Changes every plan before its run (tests narrow the rates and ids to keep runs short).
    void setPlanAdjustment(std::function<void(DoctorPlan&)> adjust) { _adjust = std::move(adjust); }
    // The plan a run started now takes: the stored settings, every rate.
    static DoctorPlan planFromSettings();

    // Starts a run unless one is under way.
    void run();
    void stop();
    bool isRunning() const { return _doctor && _doctor->isRunning(); }
    // The run under way or the last one; none before the first.
    const BusDoctor* doctor() const { return _doctor.get(); }

    void copyReport();
    void chooseFileToSave();
    // The report as text to `path`; false (and said in the dialog) when it cannot be written.
    bool saveReport(const QString& path);
    void takeSettings();

    void done(int result) override;

signals:
    // A run ended (stopped or not).
    void runFinished();
    // "Take these settings": the servo found elsewhere, for the settings and the tool bar.
    void updatePortName(const QString& portName);
    void updateBaudRate(int baudRate);
    void updateProtocol(int protocol);
    void updateId(int id);
    // The user asks to connect with the settings just taken.
    void connectRequested();

private:
    void addFinding(const DoctorFinding& finding);
    void showProgress(int done, int total, const QString& step);
    void ended();
    void showRunning(bool running);
    void showMessage(const QString& text, bool failure);

    Ui::DoctorDialog* ui;
    std::function<void(DoctorPlan&)> _adjust;
    std::unique_ptr<BusDoctor> _doctor;
    QTimer* _relayout; // the findings' rows wrapped again to the text column's width
};
