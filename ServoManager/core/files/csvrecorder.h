#pragma once

#include "core/model/livevalues.h"
#include "core/session/multiservosampler.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

// What the first line of a recording says about where its values came from.
struct RecordingInfo
{
    int servoId = 0;
    int modelNumber = 0;
    int baudRate = 0;
    QDateTime started;
    // While fast sampling: the rows carry what its reads carry, so only those are columns.
    SampledSpan fastSampled;
    // Several servos sampled together (the connected one first): a column per servo and value, a row
    // per sample of them all.
    QList<SampledServoLayout> servos;
};

// Writes the live values of one connection to a CSV file: a comment line, a header with
// units, then a row per sample (a valid poll, or a span read while fast sampling); an empty cell
// is a value the sample's read did not cover. Rows are handed to the system at least once a second, so
// an unplug or a crash loses at most the last second.
class CsvRecorder : public QObject
{
    Q_OBJECT

public:
    explicit CsvRecorder(QObject* parent = nullptr);
    ~CsvRecorder() override;

    // Opens `path` (replacing it) and writes the first two lines. The error text, empty on
    // success; on an error nothing is recorded.
    QString start(const QString& path, const RecordingInfo& info, std::shared_ptr<const LiveLayout> layout);
    // Writes what is left and closes the file; nothing happens when not recording.
    void stop();

    bool isRecording() const { return _file.isOpen(); }
    QString fileName() const { return _file.fileName(); }
    // Rows handed to the system so far (the status bar shows these).
    int rowsWritten() const { return _rowsWritten; }
    // Rows taken so far, also those not yet handed on.
    int rowsRecorded() const { return _rowsWritten + _pendingRows; }

    static constexpr int flushIntervalMs = 1000;

public slots:
    void addSample(const LiveSample& sample);
    void addServoSamples(const ServoSamples& samples);

signals:
    // After every flush, with the number of rows written.
    void progress(int rowsWritten);
    // The file could not be written: the recording has stopped.
    void failed(const QString& message);

private:
    bool flush();
    QByteArray servoColumns(const RecordingInfo& info);

    QFile _file;
    QTimer _flushTimer;
    std::vector<int> _columns;
    // While recording several servos: each one's id, its value columns and whether it has a
    // hardware error column.
    struct ServoColumns
    {
        int id = 0;
        std::vector<int> channels;
        bool hardwareError = false;
    };
    std::vector<ServoColumns> _servoColumns;
    bool _hardwareErrorColumn = true;
    qint64 _startNs = 0;
    QByteArray _pending;
    int _pendingRows = 0;
    int _rowsWritten = 0;
};
