#pragma once

#include "core/traffic/trafficlog.h"
#include "core/traffic/trafficrecorder.h"

#include <QAbstractTableModel>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <deque>

// The traffic table: the packets of a log, oldest first, as they were shown. New packets come in
// batches, at most refreshMs apart, so the view redraws at a steady rate however busy the bus is.
// While held (paused, or nobody looks) packets are still kept and come in on release.
class TrafficModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    struct Filter
    {
        int id = -1;          // a request to it, or a packet carrying it; -1: every id
        int instruction = -1; // requests of it and their answers (0x55: answers only); -1: all
        bool failuresOnly = false;
        bool operator==(const Filter& other) const
        {
            return id == other.id && instruction == other.instruction && failuresOnly == other.failuresOnly;
        }
        bool isEmpty() const { return *this == Filter(); }
    };
    enum class Format
    {
        Text, // tab between columns
        Csv
    };

    static constexpr int refreshMs = 33;
    // The table's Bytes cells show this many.
    static constexpr int shownBytes = 40;

    explicit TrafficModel(QObject* parent = nullptr);
    ~TrafficModel() override;

    TrafficRecorder* recorder() { return &_recorder; }
    const TrafficLog& log() const { return _log; }
    // Starts afresh with room for `packets`.
    void setCapacity(int packets);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // Empty for a row whose packet the log has just dropped (it goes with the next batch).
    QString text(int row, TrafficColumn column) const;
    bool packetAt(int row, TrafficPacket* packet) const;

    void setFilter(const Filter& filter);
    Filter filter() const { return _filter; }
    void setHeld(bool held);
    bool isHeld() const { return _held; }
    // Kept but not looked at for the table yet.
    quint64 waiting() const { return _log.endSeq() - _shownEnd; }
    void clear();
    // The next batch now.
    void flush();
    // Batches that changed the rows.
    int batches() const { return _batches; }

    // Writes the rows shown (after taking in what is waiting, unless held) in a thread of its own;
    // saved() tells how it went. False while an earlier save runs.
    bool save(const QString& path, Format format);
    bool isSaving() const { return _saving != nullptr; }

signals:
    // Rows, drops or what waits changed.
    void countsChanged();
    // `error` is empty when the file was written.
    void saved(const QString& path, const QString& error);

private:
    bool matches(const TrafficPacket& packet) const;
    bool filtered() const { return !_filter.isEmpty(); }
    quint64 seqOf(int row) const;
    void rebuild();
    void scheduleBatch();

    TrafficLog _log;
    TrafficRecorder _recorder{&_log};
    Filter _filter;
    bool _held = false;
    // Unfiltered the rows are the packets [_shownBegin, _shownEnd); filtered, those of _rows.
    quint64 _shownBegin = 0;
    quint64 _shownEnd = 0;
    std::deque<quint64> _rows;
    QTimer _batch;
    int _batches = 0;
    QThread* _saving = nullptr;
};

// Writes the packets `seqs` of `log` to `path`, all or nothing: an existing file stays as it was
// unless the new one is complete. The error text, empty on success.
QString writeTrafficFile(const TrafficLog& log, const std::vector<quint64>& seqs, TrafficModel::Format format,
                         const QString& path);
