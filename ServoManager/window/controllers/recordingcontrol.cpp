#include "window/controllers/recordingcontrol.h"

#include "core/files/csvrecorder.h"
#include "core/session/servosession.h"
#include "core/settings/settingshelper.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QStatusBar>

namespace {
const QString keyRecordingFolder = QStringLiteral("recordingFolder");
} // namespace

RecordingControl::RecordingControl(QWidget* window, QAction* record, QStatusBar* statusBar,
                                   std::shared_ptr<Settings> settings, Source source, ShowMessage showMessage)
    : QObject(window), _window(window), _record(record), _settings(std::move(settings)),
      _source(std::move(source)), _showMessage(std::move(showMessage)), _recorder(new CsvRecorder(this)),
      _label(new QLabel(statusBar))
{
    _label->setObjectName(QStringLiteral("recordingLabel"));
    statusBar->addPermanentWidget(_label);
    connect(_recorder, &CsvRecorder::progress, this, [this](int rows) {
        _label->setText(rows == 1 ? tr("Recording: 1 row  ") : tr("Recording: %1 rows  ").arg(rows));
    });
    connect(_recorder, &CsvRecorder::failed, this, [this](const QString& message) {
        _record->setChecked(false);
        _label->setText(tr("Recording failed"));
        _showMessage(QMessageBox::Critical, tr("Error"), message);
    });
}

RecordingSource RecordingControl::sourceOf(const ServoSession& session)
{
    const std::shared_ptr<UiScheduler> scheduler = session.scheduler();
    if (session.state() != ServoSession::State::Connected || !scheduler)
        return RecordingSource();
    // This connection's newest table: it opens with the model number.
    const QByteArray& table = scheduler->lastTable();
    const int model = table.size() >= 2 ? quint8(table.at(0)) | quint8(table.at(1)) << 8 : 0;
    return RecordingSource{true,
                           scheduler->servoId(),
                           model,
                           session.baudRate(),
                           scheduler->liveLayout(),
                           scheduler->sampledSpan(),
                           scheduler->sampledServos()};
}

RecordingControl::~RecordingControl()
{
    // The window is going away: a last failure must not open a box on it.
    disconnect(_recorder, nullptr, this, nullptr);
    _recorder->stop();
}

void RecordingControl::toggle(int servoId)
{
    // The action shows whether a recording runs, not the last click.
    _record->setChecked(_recorder->isRecording());
    if (_recorder->isRecording()) {
        stop();
        return;
    }
    const QString folder = _settings->getValue(keyRecordingFolder, QDir::homePath()).toString();
    const QString name = QStringLiteral("servo-%1-%2.csv")
                             .arg(servoId)
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    // Not exec(): polling goes on while the user picks a file.
    auto* dialog = new QFileDialog(_window, tr("Record to CSV file"), QDir(folder).filePath(name),
                                   tr("CSV files (*.csv);;All files (*)"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(QStringLiteral("csv"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, &RecordingControl::start);
    dialog->open();
}

void RecordingControl::start(const QString& path)
{
    const RecordingSource source = _source();
    if (!source.connected)
        return;
    RecordingInfo info;
    info.servoId = source.servoId;
    info.modelNumber = source.modelNumber;
    info.baudRate = source.baudRate;
    info.fastSampled = source.fastSampled;
    info.servos = source.servos;
    info.started = QDateTime::currentDateTime();
    const QString error = _recorder->start(path, info, source.layout);
    if (!error.isEmpty()) {
        _showMessage(QMessageBox::Critical, tr("Error"), error);
        return;
    }
    _settings->setValue(keyRecordingFolder, QFileInfo(path).absolutePath());
    _record->setChecked(true);
}

void RecordingControl::stop()
{
    if (!_recorder->isRecording())
        return;
    _recorder->stop();
    _record->setChecked(false);
    _label->setText(tr("Recorded %1 rows to %2  ")
                        .arg(_recorder->rowsWritten())
                        .arg(QFileInfo(_recorder->fileName()).fileName()));
}
