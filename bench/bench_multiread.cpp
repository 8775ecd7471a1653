// Many servos in one exchange, against the simulator (its own process, line time at 1,000,000 baud):
// for 6 and 12 servos of two models, two spans (present position; position, velocity and current
// or load) and return delays of 0 and 500 us, it prints rounds per second of
//   multi:    the request layer's multi-servo read (the kind the descriptions allow), back to back;
//   bare:     a bare client sending the same request straight on the device and counting the bytes;
//   single:   the request layer reading the servos one by one;
// beside the line limit (request and every answer at 10 bits a byte plus the return delays: every
// servo's, or the first one's where all answer in one combined packet), and
// the request layer's CPU time per round, and the turn-around from an answer's last bytes to the next
// request written. Then the window sampling six servos with the plot and a recording on (samples
// per second, GUI time per sample), and the rates users report from other tools.
//   bench_multiread [seconds-per-setting]

#include "core/model/modelregistry.h"
#include "core/model/multiread.h"
#include "core/protocol/linetime.h"
#include "core/traffic/trafficlog.h"
#include "core/traffic/trafficrecorder.h"
#include "core/transport/serialhelper.h"

#include "benchsupport.h"

#include "core/jobs/busroster.h"
#include "window/controllers/buscontrol.h"
#include "window/docks/plotdock.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace bench;

namespace {

struct Setting
{
    const char* model;
    int servos;
    bool wideSpan;
    int returnDelayUs;
};

struct Span
{
    int address = 0;
    int length = 0;
};

// Position alone, or from the lowest to the end of the highest of position, velocity and current
// (load where the model reports no current), by the entries' roles in the description.
Span spanOf(const ModelDescription& model, bool wide)
{
    const QStringList roles = wide ? QStringList{"presentPosition", "presentVelocity", "presentCurrent"}
                                   : QStringList{"presentPosition"};
    int first = 0xFFFF, end = 0;
    bool current = false;
    for (const ModelEntry& entry : model.entries)
        current = current || entry.role == QLatin1String("presentCurrent");
    for (const ModelEntry& entry : model.entries) {
        const bool wanted = roles.contains(entry.role) ||
                            (wide && !current && entry.role == QLatin1String("presentLoad"));
        if (!wanted)
            continue;
        first = std::min(first, entry.address);
        end = std::max(end, entry.address + entry.size);
    }
    return {first, end - first};
}

struct Rounds
{
    double perSecond = 0;
    int failed = 0;
    double cpuUsPerRound = 0;
};

// Rounds back to back for `ms`: each starts from the last one's completion.
Rounds runRounds(const std::function<bool(std::function<void(bool)>)>& round, int ms)
{
    Rounds result;
    int rounds = 0;
    bool running = true;
    QElapsedTimer clock;
    std::function<void()> next = [&] {
        if (!running)
            return;
        round([&](bool allAnswered) {
            ++rounds;
            result.failed += allAnswered ? 0 : 1;
            if (clock.elapsed() >= ms)
                running = false;
            else
                next();
        });
    };
    const double cpuBefore = cpuSeconds();
    clock.start();
    next();
    waitFor(ms + 5000, [&] { return !running; });
    result.perSecond = rounds * 1000.0 / std::max<qint64>(1, clock.elapsed());
    result.cpuUsPerRound = rounds ? (cpuSeconds() - cpuBefore) * 1e6 / rounds : 0;
    return result;
}

bool measure(const Setting& setting, int seconds, const QDir& home)
{
    const auto model = ModelRegistry::shared().byName(QLatin1String(setting.model));
    const BusProtocol protocol = static_cast<BusProtocol>(model->protocols.front());
    QStringList ids;
    for (int id = 1; id <= setting.servos; ++id)
        ids.append(QString::number(id));
    const QString link = home.filePath(QStringLiteral("multi-sim"));
    QProcess simulator;
    if (!startSimulator(simulator, link, 1000000, 100,
                        {"--model", setting.model, "--id", ids.join(','), "--protocol",
                         protocol == BusProtocol::Feetech ? "feetech" : "2"}))
        return false;

    auto serial = std::make_shared<SerialHelper>();
    serial->setProtocol(protocol);
    if (!serial->openSerialPort(link, 1000000).isEmpty())
        return false;
    // Every servo's return delay at once (2 us a unit in both models).
    const ModelEntry* delayEntry = nullptr;
    for (const ModelEntry& entry : model->entries)
        delayEntry = entry.role == QLatin1String("returnDelay") ? &entry : delayEntry;
    std::vector<Kestrabus::SyncWriteItem> delays;
    for (int id = 1; id <= setting.servos; ++id)
        delays.push_back({uint8_t(id), QByteArray(1, char(setting.returnDelayUs / 2))});
    serial->syncWrite(uint16_t(delayEntry->address), delays);

    const Span span = spanOf(*model, setting.wideSpan);
    QList<MultiReadItem> items;
    QList<MultiReadMember> members;
    QList<MultiReadTarget> targets;
    QList<int> returnDelays;
    for (int id = 1; id <= setting.servos; ++id) {
        items.append({uint8_t(id), uint16_t(span.address), uint16_t(span.length), setting.returnDelayUs});
        members.append({model, protocol, std::nullopt});
        targets.append({uint8_t(id), span.length});
        returnDelays.append(setting.returnDelayUs);
    }
    const std::optional<MultiReadKind> kind = chooseMultiRead(members, true);
    if (!kind)
        return false;

    const int requestBytes = linetime::multiReadRequestBytes(protocol, *kind, setting.servos);
    const int answerBytes = MultiAnswerFramer::answerBytes(protocol, *kind, targets);
    // In one combined packet each servo follows the one before at once: one return delay a round.
    const bool combined = isCombined(*kind) && !hasProtocol1Form(protocol);
    const double delaysUs = double(setting.returnDelayUs) * (combined ? 1 : setting.servos);
    const double lineLimit = 1e6 / (10.0 * (requestBytes + answerBytes) + delaysUs);

    QByteArray request;
    const Rounds multi = runRounds(
        [&](std::function<void(bool)> done) {
            return serial->multiRead(*kind, items, [done](const QList<MultiReadAnswer>& answers) {
                const bool all = std::all_of(answers.begin(), answers.end(), [](const MultiReadAnswer& a) {
                    return a.state == MultiReadAnswer::State::Answered;
                });
                done(all);
            });
        },
        seconds * 1000);

    int index = 0;
    bool everyAnswered = true;
    std::function<void(bool)> roundDone;
    std::function<void()> step = [&] {
        if (index >= setting.servos) {
            roundDone(everyAnswered);
            return;
        }
        const uint8_t id = uint8_t(++index);
        serial->submit(BusRequest::read(id, uint8_t(span.address), uint8_t(span.length)),
                       [&](const BusResult& result) {
                           everyAnswered = everyAnswered && result.answered;
                           step();
                       });
    };
    const auto oneByOne = [&](std::function<void(bool)> done) {
        index = 0;
        everyAnswered = true;
        roundDone = std::move(done);
        step();
        return true;
    };
    const Rounds single = runRounds(oneByOne, seconds * 1000);

    // The turn-around: from the last bytes of one answer arriving to the next request written, over
    // one-by-one reads (a second of them, recorded).
    TrafficLog log;
    TrafficRecorder recorder(&log);
    serial->setTrafficRecorder(&recorder);
    runRounds(oneByOne, 1000);
    std::vector<qint64> turnArounds;
    qint64 lastArrivalUs = -1;
    for (quint64 seq = log.endSeq() - log.size(); seq < log.endSeq(); ++seq) {
        const TrafficPacket packet = log.at(seq);
        if (packet.received) {
            lastArrivalUs = packet.timeUs;
        } else if (lastArrivalUs >= 0) {
            turnArounds.push_back((packet.timeUs - lastArrivalUs) * 1000); // ns, as percentile() takes
            lastArrivalUs = -1;
        }
    }
    log.clear();

    // The very request the layer sends, taken from its traffic, for the bare client.
    bool captured = false;
    serial->multiRead(*kind, items, [&](const QList<MultiReadAnswer>&) { captured = true; });
    waitFor(5000, [&] { return captured; });
    for (quint64 seq = log.endSeq() - log.size(); seq < log.endSeq() && request.isEmpty(); ++seq) {
        const TrafficPacket packet = log.at(seq);
        if (!packet.received)
            request = QByteArray(packet.bytes, packet.size);
    }
    serial->setTrafficRecorder(nullptr);
    serial->closeSerialPort();
    int bareFailed = 0;
    runEvents(50); // the captured request's answers pass
    BareClient bare(link, 1000000);
    const double bareRate = request.isEmpty() ? 0 : bare.rate(request, answerBytes, seconds * 1000, &bareFailed);

    const double lower = std::min(lineLimit, bareRate);
    std::printf("%-8s %2d servos %-24s %3d us  %-14s multi %7.1f/s (%5.1f %% of line %7.1f, %5.1f %% of bare "
                "%7.1f)  single %6.1f/s (x%4.1f)  cpu %5.1f us/round  failed %d/%d/%d\n",
                setting.model, setting.servos, setting.wideSpan ? "position+velocity+current" : "position",
                setting.returnDelayUs, qPrintable(multiReadInstruction(*kind)), multi.perSecond,
                100.0 * multi.perSecond / lineLimit, lineLimit, 100.0 * multi.perSecond / std::max(1.0, bareRate),
                bareRate, single.perSecond, multi.perSecond / std::max(0.1, single.perSecond),
                multi.cpuUsPerRound, multi.failed, single.failed, bareFailed);
    std::printf("   share of the lower limit: %.1f %%   turn-around after an answer: median %.0f us, 90th "
                "percentile %.0f us\n",
                100.0 * multi.perSecond / std::max(1.0, lower), percentile(turnArounds, 0.5),
                percentile(turnArounds, 0.9));
    std::fflush(stdout);
    simulator.terminate();
    simulator.waitForFinished(5000);
    return true;
}

// The window sampling six XL430 together (their factory return delay) with the plot shown and a
// recording running: samples per second and the GUI time per sample (plot store and CSV row).
bool measureWindow(int seconds, const QDir& home)
{
    const QString link = home.filePath(QStringLiteral("window-sim"));
    QProcess simulator;
    if (!startSimulator(simulator, link, 1000000, 10, {"--model", "xl430", "--id", "1,2,3,4,5,6"}))
        return false;
    std::vector<qint64> times;
    int samples = 0;
    int rows = 0;
    int failures = 0;
    double elapsed = 0;
    {
        MainWindow window;
        window.show();
        if (!connectAndWait(window))
            return false;
        UiScheduler* scheduler = window.scheduler().get();
        for (int id = 1; id <= 6; ++id)
            window.bus()->roster()->add(id, 1000000);
        BusRoster* roster = window.bus()->roster();
        if (!waitFor(10000, [&] {
                for (int id = 1; id <= 6; ++id) {
                    if (roster->modelNumberAt(roster->rowOf(id)) < 0)
                        return false;
                }
                return true;
            }))
            return false;
        PlotDock* dock = window.plotDock();
        dock->show();
        dock->servosLineEdit()->setText(QStringLiteral("1-6"));
        emit dock->servosLineEdit()->editingFinished();
        if (!waitFor(10000, [&] { return dock->sampledServos().size() == 6; }))
            return false;
        QObject::connect(scheduler, &UiScheduler::servoSamples, [&] { ++samples; });
        const QString csv = home.filePath(QStringLiteral("six.csv"));
        window.startRecording(csv);
        runEvents(500);
        const BusStatistics& statistics = scheduler->statistics();
        const int failuresBefore = statistics.failures();
        samples = 0;
        QElapsedTimer clock;
        clock.start();
        runEvents(seconds * 1000);
        elapsed = clock.elapsed() / 1000.0;
        times = statistics.fastSampleTimes();
        failures = statistics.failures() - failuresBefore;
        window.getDisconnectAction()->trigger();
        QFile file(csv);
        if (file.open(QIODevice::ReadOnly))
            rows = int(file.readAll().count('\n'));
    }
    std::printf("\nwindow, 6 XL430 plotted and recorded: %.1f samples/s, GUI time per sample median %.1f us "
                "(90th percentile %.1f us), %d CSV lines, %d failed reads\n",
                samples / std::max(0.001, elapsed), percentile(times, 0.5), percentile(times, 0.9), rows,
                failures);
    simulator.terminate();
    simulator.waitForFinished(5000);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    const QList<Setting> settings{
        {"xl430", 6, false, 0},    {"xl430", 12, false, 0},   {"xl430", 6, true, 0},
        {"xl430", 12, true, 0},    {"xl430", 6, false, 500},  {"xl430", 12, true, 500},
        {"sts3215", 6, false, 0},  {"sts3215", 12, false, 0}, {"sts3215", 6, true, 0},
        {"sts3215", 12, true, 0},  {"sts3215", 6, false, 500}, {"sts3215", 12, true, 500},
    };
    bool all = true;
    for (const Setting& setting : settings)
        all = measure(setting, seconds, QDir(home.path())) && all;
    all = measureWindow(seconds, QDir(home.path())) && all;
    std::printf("\nRates users report from other tools, reading servos one at a time or in their own loops:\n"
                "   12 servos one at a time                     14/s\n"
                "   18 servos with bulk reads                   100-120/s\n"
                "   12 servos in a sync-read loop               125/s\n"
                "   6 STS3215 positions                         230-410/s\n");
    return all ? 0 : 1;
}
