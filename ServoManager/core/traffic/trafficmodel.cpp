#include "core/traffic/trafficmodel.h"

#include <QCoreApplication>
#include <QDir>
#include <QSaveFile>

#include <memory>

namespace {

QByteArray csvField(const QString& text)
{
    QByteArray field = text.toUtf8();
    if (field.contains(',') || field.contains('"') || field.contains('\n')) {
        field.replace("\"", "\"\"");
        field = '"' + field + '"';
    }
    return field;
}

QByteArray line(const QStringList& fields, TrafficModel::Format format)
{
    QByteArray out;
    for (int i = 0; i < fields.size(); ++i) {
        if (i > 0)
            out += format == TrafficModel::Format::Csv ? ',' : '\t';
        out += format == TrafficModel::Format::Csv ? csvField(fields.at(i)) : fields.at(i).toUtf8();
    }
    return out + '\n';
}

} // namespace

TrafficModel::TrafficModel(QObject* parent) : QAbstractTableModel(parent)
{
    _batch.setSingleShot(true);
    connect(&_batch, &QTimer::timeout, this, &TrafficModel::flush);
    connect(&_recorder, &TrafficRecorder::recorded, this, &TrafficModel::scheduleBatch);
}

TrafficModel::~TrafficModel()
{
    // The thread writes from its own copy of the log, but must not outlive its QThread.
    if (_saving) {
        _saving->wait();
        delete _saving;
    }
}

void TrafficModel::setCapacity(int packets)
{
    beginResetModel();
    _log.setCapacity(packets);
    _rows.clear();
    _shownBegin = _shownEnd = _log.endSeq();
    endResetModel();
    emit countsChanged();
}

int TrafficModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return filtered() ? int(_rows.size()) : int(_shownEnd - _shownBegin);
}

int TrafficModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(TrafficColumn::Count);
}

quint64 TrafficModel::seqOf(int row) const
{
    return filtered() ? _rows[size_t(row)] : _shownBegin + quint64(row);
}

bool TrafficModel::packetAt(int row, TrafficPacket* packet) const
{
    if (row < 0 || row >= rowCount())
        return false;
    const quint64 seq = seqOf(row);
    if (!_log.contains(seq))
        return false;
    *packet = _log.at(seq);
    return true;
}

QString TrafficModel::text(int row, TrafficColumn column) const
{
    TrafficPacket packet;
    return packetAt(row, &packet) ? packet.text(column) : QString();
}

QVariant TrafficModel::data(const QModelIndex& index, int role) const
{
    // Only what the view draws is decoded, and only for the rows it draws.
    const auto column = static_cast<TrafficColumn>(index.column());
    switch (role) {
    case Qt::DisplayRole:
        if (column == TrafficColumn::Bytes) {
            // Laying out a long answer's hex on every redraw is most of the table's drawing; the
            // cell shows its start, the tooltip and a saved file all of it.
            TrafficPacket packet;
            if (!packetAt(index.row(), &packet))
                return QString();
            if (packet.size <= shownBytes)
                return packet.text(column);
            packet.size = shownBytes;
            return packet.text(column) + QStringLiteral(" \u2026");
        }
        return text(index.row(), column);
    case Qt::ToolTipRole:
        return column == TrafficColumn::Bytes || column == TrafficColumn::Error ? text(index.row(), column)
                                                                                : QVariant();
    case Qt::TextAlignmentRole:
        switch (column) {
        case TrafficColumn::Time:
        case TrafficColumn::Id:
        case TrafficColumn::Address:
        case TrafficColumn::Length:
            return int(Qt::AlignRight | Qt::AlignVCenter);
        default:
            return {};
        }
    default:
        return {};
    }
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    return trafficColumnTitle(static_cast<TrafficColumn>(section));
}

bool TrafficModel::matches(const TrafficPacket& packet) const
{
    if (_filter.failuresOnly && !packet.isFailure())
        return false;
    if (_filter.id >= 0 && packet.id() != _filter.id && packet.requestId != _filter.id)
        return false;
    if (_filter.instruction >= 0) {
        const int instruction = packet.instruction();
        if (_filter.instruction == TrafficPacket::statusInstruction)
            return instruction == TrafficPacket::statusInstruction;
        return instruction == _filter.instruction ||
               (packet.received && packet.requestInstruction == _filter.instruction);
    }
    return true;
}

void TrafficModel::setFilter(const Filter& filter)
{
    if (filter == _filter)
        return;
    beginResetModel();
    _filter = filter;
    rebuild();
    endResetModel();
    if (!_held)
        flush();
    emit countsChanged();
}

// The rows of what had been looked at, under the filter now set.
void TrafficModel::rebuild()
{
    _rows.clear();
    _shownBegin = std::max(_log.firstSeq(), std::min(_shownBegin, _shownEnd));
    _shownEnd = std::max(_shownEnd, _log.firstSeq());
    if (!filtered()) {
        _shownBegin = _log.firstSeq();
        return;
    }
    for (quint64 seq = _log.firstSeq(); seq < _shownEnd; ++seq) {
        if (matches(_log.at(seq)))
            _rows.push_back(seq);
    }
}

void TrafficModel::setHeld(bool held)
{
    if (held == _held)
        return;
    _held = held;
    if (!held)
        flush();
    emit countsChanged();
}

void TrafficModel::clear()
{
    beginResetModel();
    _log.clear();
    _rows.clear();
    _shownBegin = _shownEnd = _log.endSeq();
    endResetModel();
    emit countsChanged();
}

void TrafficModel::scheduleBatch()
{
    // Held, a batch has work only when rows shown lost their packets.
    if (_held && (rowCount() == 0 || _log.contains(seqOf(0))))
        return;
    if (!_batch.isActive())
        _batch.start(refreshMs);
}

void TrafficModel::flush()
{
    _batch.stop();
    bool changed = false;
    const quint64 first = _log.firstSeq();
    // Rows whose packets the log dropped go first, held or not: they have nothing to show.
    int gone = 0;
    if (filtered()) {
        while (size_t(gone) < _rows.size() && _rows[size_t(gone)] < first)
            ++gone;
    } else {
        gone = int(std::min(_shownEnd, std::max(first, _shownBegin)) - _shownBegin);
    }
    if (gone > 0) {
        beginRemoveRows({}, 0, gone - 1);
        if (filtered())
            _rows.erase(_rows.begin(), _rows.begin() + gone);
        else
            _shownBegin += quint64(gone);
        endRemoveRows();
        changed = true;
    }
    if (_shownEnd < first) {
        // Every row went: start again at the oldest packet kept.
        _shownEnd = first;
        if (!filtered())
            _shownBegin = first;
    }

    if (!_held) {
        const quint64 end = _log.endSeq();
        const int rows = rowCount();
        if (filtered()) {
            std::vector<quint64> added;
            for (quint64 seq = _shownEnd; seq < end; ++seq) {
                if (matches(_log.at(seq)))
                    added.push_back(seq);
            }
            if (!added.empty()) {
                beginInsertRows({}, rows, rows + int(added.size()) - 1);
                _rows.insert(_rows.end(), added.begin(), added.end());
                _shownEnd = end;
                endInsertRows();
                changed = true;
            }
        } else if (end > _shownEnd) {
            beginInsertRows({}, rows, rows + int(end - _shownEnd) - 1);
            _shownEnd = end;
            endInsertRows();
            changed = true;
        }
        _shownEnd = end;
    }
    if (changed)
        ++_batches;
    emit countsChanged();
}

bool TrafficModel::save(const QString& path, Format format)
{
    if (_saving)
        return false;
    if (!_held)
        flush();
    // A copy shares the log's byte blocks, so this is quick; the thread formats from it while
    // recording goes on.
    struct Job
    {
        TrafficLog log;
        std::vector<quint64> seqs;
        QString error;
    };
    auto job = std::make_shared<Job>(Job{_log, {}, {}});
    job->seqs.reserve(size_t(rowCount()));
    for (int row = 0; row < rowCount(); ++row) {
        if (_log.contains(seqOf(row)))
            job->seqs.push_back(seqOf(row));
    }
    _saving = QThread::create(
        [job, format, path] { job->error = writeTrafficFile(job->log, job->seqs, format, path); });
    connect(_saving, &QThread::finished, this, [this, job, path] {
        _saving->deleteLater();
        _saving = nullptr;
        emit saved(path, job->error);
    });
    _saving->start();
    return true;
}

QString writeTrafficFile(const TrafficLog& log, const std::vector<quint64>& seqs, TrafficModel::Format format,
                         const QString& path)
{
    QSaveFile file(path);
    const auto failed = [&path](const QString& why) {
        return QCoreApplication::translate("Traffic", "The traffic could not be saved to %1: %2")
            .arg(QDir::toNativeSeparators(path), why);
    };
    if (!file.open(QIODevice::WriteOnly))
        return failed(file.errorString());
    QStringList fields;
    for (int column = 0; column < int(TrafficColumn::Count); ++column)
        fields << trafficColumnTitle(static_cast<TrafficColumn>(column));
    QByteArray chunk = line(fields, format);
    for (quint64 seq : seqs) {
        const TrafficPacket packet = log.at(seq);
        fields.clear();
        for (int column = 0; column < int(TrafficColumn::Count); ++column)
            fields << packet.text(static_cast<TrafficColumn>(column));
        chunk += line(fields, format);
        if (chunk.size() >= 1 << 16) {
            if (file.write(chunk) != chunk.size())
                return failed(file.errorString());
            chunk.clear();
        }
    }
    if (file.write(chunk) != chunk.size() || !file.commit())
        return failed(file.errorString());
    return {};
}
