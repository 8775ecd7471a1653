#pragma once

#include "core/model/livevalues.h"
#include "core/session/multiservosampler.h"

#include <QMessageBox>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class CsvRecorder;
class QAction;
class QLabel;
class QStatusBar;
class QWidget;
class ServoSession;
class Settings;

// The connection a recording would take its values from.
struct RecordingSource
{
    bool connected = false; // nothing is recorded otherwise
    int servoId = 0;
    int modelNumber = 0;
    int baudRate = 0;
    std::shared_ptr<const LiveLayout> layout;
    SampledSpan fastSampled; // empty while not fast sampling
    QList<SampledServoLayout> servos; // several servos sampled together, the connected one first
};

// Record to CSV: the checkable action, the file it asks for, the recorder and its label in the
// status bar. The folder last recorded to is offered next time.
class RecordingControl : public QObject
{
    Q_OBJECT

public:
    using Source = std::function<RecordingSource()>;
    using ShowMessage = std::function<void(QMessageBox::Icon, const QString& title, const QString& text)>;

    RecordingControl(QWidget* window, QAction* record, QStatusBar* statusBar,
                     std::shared_ptr<Settings> settings, Source source, ShowMessage showMessage);
    // Writes the rows still held.
    ~RecordingControl() override;

    // What a recording would take from `session`: nothing unless its servo is identified and polled.
    static RecordingSource sourceOf(const ServoSession& session);

    CsvRecorder* recorder() const { return _recorder; }

    // What the action does: stops a running recording, otherwise asks for a file (named after
    // `servoId`) without blocking polling.
    void toggle(int servoId);
    // Records to `path` while connected; a file that cannot be written is reported.
    void start(const QString& path);
    // Every row read so far reaches the file; nothing happens when not recording.
    void stop();

private:
    QWidget* _window;
    QAction* _record;
    std::shared_ptr<Settings> _settings;
    Source _source;
    ShowMessage _showMessage;
    CsvRecorder* _recorder;
    QLabel* _label;
};
