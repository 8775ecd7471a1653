#pragma once

#include "core/model/groupwrite.h"
#include "core/model/livevalues.h"
#include "core/session/movefollower.h"
#include "core/session/multiservosampler.h"
#include "core/session/rosterlink.h"
#include "core/session/servolocator.h"
#include "core/session/sidereads.h"
#include "core/session/spansampler.h"
#include "core/session/writeverifier.h"
#include "core/traffic/busstatistics.h"
#include "core/transport/serialhelper.h"
#include "core/units/physicalquantities.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>

#include <array>
#include <cstdint>
#include <memory>

class DeviceHelper;
class IDevice;
class ServoViews;

// Owns the bus while connected: on every tick either the oldest queued write or one read of
// the whole control table, but never while the previous transaction still waits for its
// answer. A tick that finds the bus busy is served as soon as that transaction ends, so a
// line slower than the interval is used to its limit; the interval stays the shortest time
// between two requests.
//
// A write is reported only once a read sent after its answer shows what the servo holds (two reads
// when the first shows it not held). After a write that was refused or whose answer was lost, no
// further write goes out until that read came.
// A write that gives the servo a new id or rate is followed; when its answer was lost or refused the
// servo is looked for at the old and the new address.
//
// Fast sampling fills the time between the polls with reads of only the span that holds some
// values, back to back, each a sample of its own. Queued writes then go out as soon as the line
// is free, before the next span read; the bus roster's side reads wait until it is turned off.
//
// The scheduler decides what goes on the line when; its parts keep the rest: WriteVerifier the
// writes from queued to judged, SpanSampler the span reads, MoveFollower a servo that moved, and
// SideReads the reads of the other servos.
class UiScheduler : public QObject
{
    Q_OBJECT

public:
    // `device` holds the model of the polled servo; `views` (none: nothing shown) show its answers
    // and connect their writes to this scheduler.
    UiScheduler(int id, std::shared_ptr<SerialHelper> serial, std::shared_ptr<DeviceHelper> device,
                ServoViews* views = nullptr);
    ~UiScheduler() override;

    void readAllData();
    void readAllDataCallback(QByteArray response);
    void writeData();
    void writeDataCallback(QByteArray);
    void pingCallback(QByteArray);
    void controlEnableCallback(QByteArray);
    void ping();

    const BusStatistics& statistics() const { return _statistics; }
    // One line for the status bar; the poll rate is measured since the previous call.
    QString takeStatisticsSummary()
    {
        const double pollRate = _statistics.takePollRate();
        return _statistics.summary(pollRate, _statistics.takeSampleRate());
    }
    bool isRunning() const { return _timerId != 0; }

    // Queued writes are addressed when they are sent, to the servo polled then.
    void setServoId(int id) { _id = id; }
    int servoId() const { return _id; }
    // What the values of liveSample mean on this connection; empty before the first answer.
    std::shared_ptr<const LiveLayout> liveLayout() const
    {
        return _liveDecoder ? _liveDecoder->layout() : nullptr;
    }
    bool hasWritesPending() const { return _writes.hasPending(); }
    // Drops every write that has not been shown written (the connection ends) and says what
    // became of them; empty when there were none.
    QString abandonWrites();
    // False once polls have failed for a second (and three in a row), until one is answered.
    bool isServoAnswering() const { return _answering; }
    // The control table of the newest read-all answer (data bytes only).
    const QByteArray& lastTable() const { return _lastTable; }
    // The other servos of the bus: read in turn in the time the polls leave free (at the
    // connected rate only), never before a queued write. It may be destroyed before the scheduler.
    void setBusRoster(RosterLink* roster);
    // The unit choice the live values are decoded in, from the next answer on; the stored choice
    // until one is given.
    void setUnits(const PhysicalQuantities& units);

    // Samples these values between the polls as fast as the line allows; none wanted: off.
    void setFastSampling(const std::array<bool, liveChannelCount>& wanted);
    bool isFastSampling() const { return _sampler.isSampling() || _multi.isSampling(); }
    // What the span reads carry; empty while not fast sampling (or before the first poll).
    SampledSpan sampledSpan() const { return _multi.isSampling() ? SampledSpan() : _sampler.span(); }
    // Samples these values of the connected servo and of `others` together, by one multi-servo read per
    // sample between the polls as fast as the line allows; no others (or no value): off.
    void setSampledServos(const QList<SampledServo>& others, const std::array<bool, liveChannelCount>& wanted);
    // The servos sampled together, the connected one first; empty while off.
    QList<SampledServoLayout> sampledServos() const { return _multi.layouts(); }
    std::optional<MultiReadKind> multiReadKind() const { return _multi.kind(); }
    int baudRate() const { return _serial->baudRate(); }
    BusProtocol protocol() const { return _serial->protocol(); }

    // Polls that fail for this long, and at least this many in a row, mean the servo is silent.
    static constexpr int silentAfterMs = 1000;
    static constexpr int silentAfterPolls = 3;

signals:
    // A write's outcome, once a read has shown what the servo holds (or when none can).
    void writeFinished(const GroupWrite& write, const WriteOutcome& outcome);
    // A read-all answer was shown.
    void tableDecoded();
    // Once per valid read-all answer, and per span read while fast sampling: its plotted and
    // recorded values.
    void liveSample(const LiveSample& sample);
    // While fast sampling, a read failed: the values have a gap here.
    void sampleMissed();
    // Each sample of the servos sampled together: a part per servo, in their order.
    void servoSamples(const ServoSamples& samples);
    // Other servos joined or left the sampling (once the connected servo's model is known, say).
    void sampledServosChanged();
    // The servo went silent (since: its last answer) or answers again.
    void servoAnswering(bool answering, const QDateTime& since);
    // A write moved the servo to a new id or rate and the program followed it (the port is open at
    // `baudRate`); `answer` says how the write was answered.
    void servoMoved(int id, int baudRate, WriteOutcome::Answer answer);
    // After a write whose answer was lost or refused the servo answers at none of `tried`.
    void servoNotFound(const QList<BusAddress>& tried);
    // The port could not be reopened at a new rate.
    void portFailed(const QString& error);

public slots:
    // A raw write of `data` from `address` on, each byte checked on its own.
    void addQueueRequest(uint8_t address, const QByteArray& data);
    void addWrite(const GroupWrite& write);
    void startScheduler(int pollingInterval);
    void stopScheduler();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void onTransactionFailed(FailureKind kind, const RequestInfo& request, uint8_t errorByte);
    void onWriteAcknowledged(const RequestInfo& request, uint8_t errorByte);
    void sendNext();
    void onTransactionEnded();
    void endWrite(const WriteOutcome& outcome);
    void pollFailed();
    void pollAnswered();
    void follow(const GroupWrite& write, const WriteOutcome& outcome);
    void followMoves();
    void sendSideRead();
    void renewDecoder(std::shared_ptr<const IDevice> device);
    void retime(bool wasFastSampling);
    void sendSpanRead();
    void spanAnswered(const QByteArray& response, int address);
    void spanFailed(FailureKind kind);
    void applySampledServos();
    void sendMultiRead();
    void multiReadEnded(const ServoSamples& samples);

    int _id;
    std::shared_ptr<SerialHelper> _serial;
    std::shared_ptr<DeviceHelper> _device;
    ServoViews* _views;
    PhysicalQuantities _units;
    int _timerId = 0;
    int _interval = 0;
    bool _tickDeferred = false;
    WriteVerifier _writes;
    QByteArray _lastTable;
    BusStatistics _statistics;
    std::unique_ptr<LiveValueDecoder> _liveDecoder;
    MoveFollower _follower; // while busy, nothing else goes out
    bool _answering = true;
    int _failedPolls = 0;
    QElapsedTimer _sinceAnswer;
    SideReads _sideReads;
    QElapsedTimer _sinceTick; // since the poll or write of this interval went out
    SpanSampler _sampler;
    MultiServoSampler _multi;
    QList<SampledServo> _sampledOthers;
    std::array<bool, liveChannelCount> _sampledWanted{};
};
