#include "core/files/csvrecorder.h"

#include <algorithm>
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
    _servoColumns.clear();
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
    if (info.servos.size() >= 2) {
        _pending += servoColumns(info);
    } else {
        if (fast)
            _pending += tr("; fast sampling: a row for every read of the values below").toUtf8();
        _pending += "\n" + csvCell(tr("time (s)"));
        for (int channel : _columns)
            _pending += ',' + csvCell(layout->caption(channel));
        if (_hardwareErrorColumn)
            _pending += ',' + csvCell(tr("Hardware error status"));
    }
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

// The rest of the first line and the header of a recording of several servos.
QByteArray CsvRecorder::servoColumns(const RecordingInfo& info)
{
    QStringList ids;
    for (const SampledServoLayout& servo : info.servos)
        ids.append(QString::number(servo.id));
    QByteArray text = tr("; servos %1: a row for every read of them all").arg(ids.join(QStringLiteral(", "))).toUtf8();
    text += "\n" + csvCell(tr("time (s)"));
    for (const SampledServoLayout& servo : info.servos) {
        ServoColumns columns{servo.id, {}, servo.span.hardwareError};
        for (int channel = 0; channel < liveChannelCount; ++channel) {
            if (!servo.layout || !servo.span.channels[size_t(channel)])
                continue;
            columns.channels.push_back(channel);
            text += ',' + csvCell(servoCaption(*servo.layout, channel, servo.id));
        }
        if (columns.hardwareError)
            text += ',' + csvCell(tr("Hardware error status (id %1)").arg(servo.id));
        _servoColumns.push_back(std::move(columns));
    }
    return text;
}

// A row per sample in which at least one servo answered; a servo that did not leaves its cells empty.
void CsvRecorder::addServoSamples(const ServoSamples& samples)
{
    if (!_file.isOpen() || _servoColumns.empty())
        return;
    const qint64 arrivalNs = arrivalOf(samples);
    if (arrivalNs < 0)
        return;
    _pending += QByteArray::number((arrivalNs - _startNs) / 1e9, 'f', 6);
    for (const ServoColumns& columns : _servoColumns) {
        const auto it = std::find_if(samples.begin(), samples.end(),
                                     [&columns](const ServoSample& sample) { return sample.id == columns.id; });
        const bool answered = it != samples.end() && it->answered;
        for (int channel : columns.channels) {
            _pending += ',';
            const double value = answered ? it->sample.values[size_t(channel)] : std::nan("");
            if (!std::isnan(value))
                _pending += QByteArray::number(value, 'g', 10);
        }
        if (columns.hardwareError) {
            _pending += ',';
            if (answered && it->sample.hardwareErrorKnown)
                _pending += QByteArray::number(it->sample.hardwareError);
        }
    }
    _pending += '\n';
    ++_pendingRows;
}

void CsvRecorder::addSample(const LiveSample& sample)
{
    // Several servos are recorded sample by sample of them all, not poll by poll.
    if (!_file.isOpen() || !_servoColumns.empty())
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
