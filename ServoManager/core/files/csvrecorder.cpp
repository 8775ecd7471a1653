#include "core/files/csvrecorder.h"

#include <cmath>

namespace {
// A header cell with a comma or a quote is quoted, its quotes doubled.
QByteArray csvCell(const QString& text)
{
    QByteArray cell = text.toUtf8();
    if (cell.contains(',') || cell.contains('"') || cell.contains('\n'))
        cell = '"' + cell.replace("\"", "\"\"") + '"';
    return cell;
}
} // namespace

CsvRecorder::CsvRecorder(QObject* parent) : QObject(parent)
{
    _flushTimer.setInterval(flushIntervalMs);
    connect(&_flushTimer, &QTimer::timeout, this, &CsvRecorder::flush);
}

CsvRecorder::~CsvRecorder()
{
    stop();
}

QString CsvRecorder::start(const QString& path, const RecordingInfo& info, std::shared_ptr<const LiveLayout> layout)
{
    stop();
    if (!layout)
        return tr("Nothing to record yet: no values have been read from the servo.");
    _file.setFileName(path);
    if (!_file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return tr("Cannot record to %1: %2").arg(path, _file.errorString());

    _columns.clear();
    const bool fast = !info.fastSampled.isEmpty();
    for (int channel = 0; channel < liveChannelCount; ++channel) {
        const auto index = static_cast<size_t>(channel);
        if (layout->described[index] && (!fast || info.fastSampled.channels[index]))
            _columns.push_back(channel);
    }
    _hardwareErrorColumn = !fast || info.fastSampled.hardwareError;
    // Semicolons, not commas, so a spreadsheet keeps the comment in one cell.
    _pending = tr("# Velkora Servo Manager %1; servo id %2; model number %3; %4 baud; started %5")
                   .arg(QStringLiteral(VSM_VERSION))
                   .arg(info.servoId)
                   .arg(info.modelNumber)
                   .arg(info.baudRate)
                   .arg(info.started.toString(Qt::ISODate))
                   .toUtf8();
    if (fast)
        _pending += tr("; fast sampling: a row for every read of the values below").toUtf8();
    _pending += "\n" + csvCell(tr("time (s)"));
    for (int channel : _columns)
        _pending += ',' + csvCell(layout->caption(channel));
    if (_hardwareErrorColumn)
        _pending += ',' + csvCell(tr("Hardware error status"));
    _pending += '\n';
    _pendingRows = 0;
    _rowsWritten = 0;
    _startNs = LiveValueDecoder::monotonicNs();
    if (_file.write(_pending) != _pending.size() || !_file.flush()) {
        const QString error = tr("Cannot record to %1: %2").arg(path, _file.errorString());
        _file.close();
        return error;
    }
    _pending.clear();
    _flushTimer.start();
    return {};
}

void CsvRecorder::addSample(const LiveSample& sample)
{
    if (!_file.isOpen())
        return;
    // Microseconds: fast samples come well under a millisecond apart.
    _pending += QByteArray::number((sample.arrivalNs - _startNs) / 1e9, 'f', 6);
    for (int channel : _columns) {
        _pending += ',';
        const double value = sample.values[static_cast<size_t>(channel)];
        if (!std::isnan(value))
            _pending += QByteArray::number(value, 'g', 10);
    }
    if (_hardwareErrorColumn) {
        _pending += ',';
        if (sample.hardwareErrorKnown)
            _pending += QByteArray::number(sample.hardwareError);
    }
    _pending += '\n';
    ++_pendingRows;
}

bool CsvRecorder::flush()
{
    if (!_file.isOpen())
        return false;
    if (!_pending.isEmpty()) {
        if (_file.write(_pending) != _pending.size() || !_file.flush()) {
            const QString message =
                tr("Recording stopped: could not write to %1 (%2). The rows before the last second are in the file.")
                    .arg(_file.fileName(), _file.errorString());
            _flushTimer.stop();
            _file.close();
            _pending.clear();
            emit failed(message);
            return false;
        }
        _rowsWritten += _pendingRows;
        _pending.clear();
        _pendingRows = 0;
    }
    emit progress(_rowsWritten);
    return true;
}

void CsvRecorder::stop()
{
    if (!_file.isOpen())
        return;
    flush();
    _flushTimer.stop();
    _file.close();
}
