#pragma once

#include "core/model/livevalues.h"
#include "core/protocol/multianswerframer.h"

#include <QList>
#include <QMetaType>
#include <QString>
#include <QVector>

#include <array>
#include <functional>
#include <memory>
#include <optional>

struct BusResult;
class IDevice;
class SerialHelper;
class UnitsHelper;

// One servo's part of a sample taken of several servos at once; a servo that did not answer
// leaves a gap there.
struct ServoSample
{
    int id = 0;
    bool answered = false;
    LiveSample sample; // its values when answered
    FailureKind failure = FailureKind::Timeout; // when not
};
using ServoSamples = QVector<ServoSample>;
Q_DECLARE_METATYPE(ServoSamples)

// When the newest answer of a sample of several servos arrived; -1 when none answered.
qint64 arrivalOf(const ServoSamples& samples);

// A servo to sample: its id and its model.
struct SampledServo
{
    int id = 0;
    std::shared_ptr<const IDevice> device;
};

// What the samples of one servo carry: what its values mean and the span its reads cover.
struct SampledServoLayout
{
    int id = 0;
    std::shared_ptr<const LiveLayout> layout;
    SampledSpan span;
};

// A value's caption naming its servo: "Actual position (id 3) (rad)". No comma, so a CSV
// header cell needs no quotes.
QString servoCaption(const LiveLayout& layout, int channel, int id);

// Ids typed as "1-6", "1,3,5" or "1-3,7": ascending, each once; none with `problem` set when
// the text is not such a list. Empty text: no ids.
std::optional<QList<int>> servoIdsOf(const QString& text, QString* problem);

// Samples the wanted values of several servos together: one multi-servo read per sample of the
// span that holds them (the fastest kind every servo's description lists), or one read after
// another where they share none. Each servo's answer is decoded with its own model's decoder.
// Says what to read and when to hold off; the scheduler decides when a sample goes out.
class MultiServoSampler
{
public:
    explicit MultiServoSampler(std::shared_ptr<SerialHelper> serial);

    // The servos in the order of their curves and columns; fewer than two with a wanted value
    // they have: off.
    void setServos(const QList<SampledServo>& servos, const std::array<bool, liveChannelCount>& wanted,
                   const std::shared_ptr<UnitsHelper>& units);
    bool isSampling() const { return _servos.size() >= 2; }
    QList<SampledServoLayout> layouts() const;
    // The multi-servo read in use; none: one by one.
    std::optional<MultiReadKind> kind() const { return _kind; }
    bool isInFlight() const { return _inFlight; }

    // `ended` has every servo's part once the line is free again.
    using Ended = std::function<void(const ServoSamples&)>;
    // Sends the next sample's read(s); false when none went out (off, held or busy).
    bool sendNext(Ended ended);
    // The connected servo answered a poll: samples may go again after failures.
    void pollAnswered() { _held = false, _failedInRow = 0; }
    // The connection ends with whatever is on the line.
    void stop();

private:
    struct Servo
    {
        int id = 0;
        std::unique_ptr<LiveValueDecoder> decoder;
        SampledSpan span;
        int tableLength = 0;
    };
    struct Read
    {
        int address = 0;
        int length = 0;
    };
    Read readOf(const Servo& servo) const;
    void sendOneByOne(int index, ServoSamples samples, Ended ended);
    void oneAnswered(int index, ServoSamples samples, int address, const BusResult& result, const Ended& ended);
    // Whether an answer to a read sent in `generation` is still for these servos; when not and the
    // sampler still exists, `ended` hears that the line is free.
    static bool isCurrent(const std::weak_ptr<qint64>& token, qint64 generation, const Ended& ended);
    ServoSample decoded(const Servo& servo, const MultiReadAnswer& answer, int address, qint64 arrivalNs) const;
    void finish(const ServoSamples& samples, bool notSent, bool timedOut, const Ended& ended);

    std::shared_ptr<SerialHelper> _serial;
    std::vector<Servo> _servos;
    std::optional<MultiReadKind> _kind;
    bool _inFlight = false;
    // A read whose answers may still come is followed by one a byte longer (or shorter), so a late
    // answer cannot pass for the next one's: only the size tells them apart.
    bool _resized = false;
    int _failedInRow = 0; // samples no servo answered
    bool _held = false;
    // Bumped by every change of servos and every stop: answers to reads of older servos are not
    // decoded, only the line's being free is passed on. Gone with the sampler.
    std::shared_ptr<qint64> _generation = std::make_shared<qint64>(0);
};
