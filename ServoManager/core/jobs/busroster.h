#pragma once

#include "core/session/rosterlink.h"
#include "core/units/physicalquantities.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QTimer>

#include <map>
#include <memory>
#include <optional>
#include <vector>

class FieldCatalogue;
class UnitsHelper;
struct FieldRecord;

// The servos the program knows on one port, for the bus table: those a search found, those listed
// on the command line or typed in. While connected, the scheduler reads them in turn between its
// own polls (at the connected rate only) and hands the answers back here.
class BusRoster : public QAbstractTableModel, public RosterLink
{
    Q_OBJECT

public:
    enum Column
    {
        IdColumn,
        BaudRateColumn,
        ProtocolColumn,
        ModelColumn,
        FirmwareColumn,
        VoltageColumn,
        TemperatureColumn,
        PositionColumn,
        HardwareErrorColumn,
        LastAnswerColumn,
        ColumnCount
    };

    // The values are shown in the unit choice stored in Settings until others are given.
    explicit BusRoster(QObject* parent = nullptr);
    ~BusRoster() override;

    void setUnits(const PhysicalQuantities& units);

    // Adds a servo (model and firmware -1 while unknown); one already listed at `id` is updated.
    // `protocol` 1 or 2 when known (a search found it so); 0: it is read in whatever the port
    // speaks. Returns its row.
    int add(int id, int baudRate, int modelNumber = -1, int firmware = -1, int protocol = 0);
    void remove(int row);
    void clear();
    int servoCount() const { return int(_servos.size()); }
    int idAt(int row) const;
    int baudRateAt(int row) const;
    int modelNumberAt(int row) const;
    int protocolAt(int row) const; // 0 while not known
    bool isAnswering(int row) const;
    int rowOf(int id) const; // -1 when not listed
    // The servo's newest values (data bytes from the span's start address), empty before any.
    QByteArray valuesAt(int row) const;

    // The connected servo is polled by the scheduler itself; its row takes the poll's table.
    // `protocol`: the connection's; the connected servo's row takes it once a table read is answered.
    void setConnected(int id, int baudRate, int protocol = 0) override;
    // The scheduler followed the connected servo to a new id or rate: its row goes with it.
    void connectedMoved(int id, int baudRate, int protocol = 0) override;
    // `alarms`: a Protocol 1 answer's alarm bits, for a model without a status register; -1: none.
    void tableRead(int id, const QByteArray& table, int alarms = -1) override;
    // The protocol servos not known to speak another are asked in (the port's), for the table.
    void setAssumedProtocol(int protocol);
    void connectedSilent(int id, bool silent) override;

    // For the scheduler: the next servo to read at `baudRate` in `protocol`, in turn; none when
    // there is none. A servo known to speak the other protocol is not asked: it would not answer.
    std::optional<SideRead> nextSideRead(int baudRate, int protocol = 0) override;
    void sideReadAnswered(const SideRead& read, const QByteArray& response) override;
    void sideReadFailed(const SideRead& read, FailureKind kind) override;
    // Servos due within half the refresh time come along with one that is due, so the rows fall
    // into step and stay in one read.
    QList<SideRead> dueGroup(int baudRate, int protocol) override;
    void groupSent(const QList<int>& ids) override;
    void groupPartAnswered(const SideRead& read, const QByteArray& data, uint8_t error) override;
    // How many side reads were answered, for the benchmark.
    int sideReadsAnswered() const { return _sideReadsAnswered; }

    // The span of the values the table shows, for the model; {0, 0} for a model without them.
    static std::pair<int, int> valueSpan(const FieldCatalogue& catalogue);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // A servo silent for this long, and at least this many reads in a row, is not answering.
    static constexpr int silentAfterMs = 1000;
    static constexpr int silentAfterReads = 3;
    // A servo that does not answer is tried this seldom, so it does not use up the line.
    static constexpr int silentRetryMs = 1000;
    // A row is read at most this often, a little more than ten times a second: more would only
    // take line time from the connected servo.
    static constexpr int refreshMs = 80;

signals:
    // A servo stopped answering or answers again.
    void answeringChanged(int id, bool answering);

private:
    struct Servo
    {
        int id = 0;
        int baudRate = 0;
        int protocol = 0; // 0: not known
        int modelNumber = -1;
        int firmware = -1;
        QByteArray table; // from address 0; only the shown span is up to date
        QElapsedTimer sinceAnswer; // invalid: never answered
        QElapsedTimer sinceTry;
        int failedReads = 0;
        bool answering = true;
        int alarms = -1; // a Protocol 1 answer's alarms, for a model without a status register
    };

    const FieldCatalogue* catalogueOf(int modelNumber);
    void takeIdentity(Servo& servo, const QByteArray& table);
    static void takeSpan(Servo& servo, int address, const QByteArray& data);
    bool readableAt(const Servo& servo, int baudRate, int protocol) const;
    int returnDelayUsOf(const Servo& servo, const FieldCatalogue& catalogue) const;
    QString valueText(const Servo& servo, const char* role) const;
    void answered(Servo& servo);
    void failed(Servo& servo);
    void rowChanged(int row);

    std::vector<Servo> _servos;
    int _connectedProtocol = 0;
    int _assumedProtocol = 0;
    std::map<int, std::unique_ptr<FieldCatalogue>> _catalogues;
    std::shared_ptr<const UnitsHelper> _units;
    size_t _next = 0;
    int _connectedId = -1;
    int _sideReadsAnswered = 0;
    QTimer _ageRefresh; // the last-answer column counts on
};
