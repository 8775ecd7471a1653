#pragma once

#include <QDockWidget>
#include <QTableView>
#include <QTimer>

#include <memory>

class QMainWindow;
class SerialHelper;
class TrafficModel;

namespace Ui {
class TrafficDock;
}

// The traffic table, counting what its drawing costs.
class TrafficTableView : public QTableView
{
    Q_OBJECT

public:
    using QTableView::QTableView;
    int framesDrawn() const { return _frames; }
    qint64 drawingNs() const { return _drawingNs; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int _frames = 0;
    qint64 _drawingNs = 0;
};

// Every packet the program sends and receives on the port, decoded, newest at the bottom; the
// table follows the newest unless scrolled up. Recording starts the first time the dock is shown;
// before that the request layer records nothing.
class TrafficDock : public QDockWidget
{
    Q_OBJECT

public:
    // Adds itself to the window (hidden) and to its View menu.
    TrafficDock(std::shared_ptr<SerialHelper> serial, QMainWindow* window);
    ~TrafficDock() override;

    TrafficModel* model() const { return _model; }
    TrafficTableView* table() const;
    bool isRecording() const { return _recording; }
    // Writes what the table shows, as CSV when the name ends in .csv, else as text; a failure is
    // shown in a message box.
    void saveTo(const QString& path);

private:
    void initTable();
    void initFilters();
    void initButtons();
    void initFollowing();
    void startRecording();
    void updateHeld();
    void updateCounts();
    void applyFilter();
    void chooseFile();

    std::unique_ptr<Ui::TrafficDock> _ui;
    std::weak_ptr<SerialHelper> _serial;
    TrafficModel* _model;
    QTimer _counts;
    bool _recording = false;
    bool _shown = false; // in sight: not hidden, nor behind another tab
    bool _following = true;
};
