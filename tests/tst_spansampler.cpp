// Fast sampling's reads without a port: which span is read, and how the reads change and hold
// when answers go missing.
#include "core/protocol/statuspacketframer.h"
#include "core/session/devicehelper.h"
#include "core/session/spansampler.h"
#include "core/units/unitshelper.h"

#include <QtTest>

namespace {
constexpr int ax12 = 12;
constexpr int v1 = 1025;

std::unique_ptr<LiveValueDecoder> decoderOf(int modelNumber)
{
    return std::make_unique<LiveValueDecoder>(DeviceHelper::createDevice(modelNumber),
                                              std::make_shared<UnitsHelper>(std::make_shared<PhysicalQuantities>()));
}

// "86+4", or "held" when no read may go.
QString nextRead(SpanSampler& sampler)
{
    const auto read = sampler.next();
    return read ? QStringLiteral("%1+%2").arg(read->address).arg(read->length) : QStringLiteral("held");
}
} // namespace

class TestSpanSampler : public QObject
{
    Q_OBJECT

private slots:
    // The span is the shortest stretch of the model's table holding the wanted values it has.
    void theSpanHoldsTheWantedValues_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<QList<int>>("wanted");
        QTest::addColumn<QString>("read"); // "address+length"; "held": not sampling
        QTest::addColumn<bool>("hardwareError");

        const int position = int(LiveChannel::ActualPosition);
        const int temperature = int(LiveChannel::ActualTemperature);
        QTest::newRow("V1 position") << v1 << QList<int>{position} << "86+4" << false;
        QTest::newRow("V1 position and temperature") << v1 << QList<int>{position, temperature} << "86+12" << false;
        QTest::newRow("V1 target and temperature")
            << v1 << QList<int>{int(LiveChannel::TargetPosition), temperature} << "78+20" << false;
        // Its alarms come with every answer's error byte.
        QTest::newRow("AX-12 position") << ax12 << QList<int>{position} << "36+2" << true;
        QTest::newRow("a value the model lacks") << ax12 << QList<int>{int(LiveChannel::ActualCurrent)} << "held"
                                                 << false;
        QTest::newRow("none wanted") << v1 << QList<int>{} << "held" << false;
    }

    void theSpanHoldsTheWantedValues()
    {
        QFETCH(int, model);
        QFETCH(QList<int>, wanted);
        QFETCH(QString, read);
        QFETCH(bool, hardwareError);
        std::array<bool, liveChannelCount> channels{};
        for (int channel : wanted)
            channels[size_t(channel)] = true;

        SpanSampler sampler;
        sampler.setWanted(channels, nullptr);
        QVERIFY(!sampler.isSampling()); // nothing to read before the first poll tells the model
        const auto decoder = decoderOf(model);
        sampler.setDecoder(decoder.get());
        QCOMPARE(sampler.isSampling(), read != "held");
        QCOMPARE(nextRead(sampler), read);
        for (int channel : wanted)
            QCOMPARE(sampler.span().channels[size_t(channel)], read != "held");
        QCOMPARE(sampler.span().hardwareError, hardwareError);
        sampler.setDecoder(nullptr);
        QVERIFY(!sampler.isSampling());
    }

    // Reads that fail: after one whose answer may still come, the next is a byte longer (a byte
    // earlier at the table's end) so that answer cannot pass for its own; two failures in a row
    // hold the reads until a poll is answered.
    void failuresChangeAndHoldTheReads_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("read");

        QTest::newRow("answered") << 40 << "answer" << "40+6";
        QTest::newRow("no answer") << 40 << "timeout" << "40+7";
        QTest::newRow("cut short") << 40 << "incomplete" << "40+7";
        QTest::newRow("corrupt: whole, not late") << 40 << "corrupt" << "40+6";
        QTest::newRow("stays longer after an answer") << 40 << "timeout answer" << "40+7";
        QTest::newRow("back after another late one") << 40 << "timeout answer timeout" << "40+6";
        QTest::newRow("at the table's end") << 44 << "timeout" << "43+7";
        QTest::newRow("two in a row") << 40 << "timeout corrupt" << "held";
        QTest::newRow("a poll releases them") << 40 << "timeout corrupt poll" << "40+7";
        QTest::newRow("failures apart") << 40 << "corrupt answer corrupt" << "40+6";
        QTest::newRow("not sent") << 40 << "notsent" << "held";
    }

    void failuresChangeAndHoldTheReads()
    {
        QFETCH(int, address);
        QFETCH(QString, events);
        QFETCH(QString, read);
        SampledSpan span;
        span.address = address;
        span.length = 6;
        SpanSampler sampler;
        sampler.setSpan(span, 50);
        const QHash<QString, FailureKind> failures{{"timeout", FailureKind::Timeout},
                                                   {"incomplete", FailureKind::Incomplete},
                                                   {"corrupt", FailureKind::Corrupt},
                                                   {"notsent", FailureKind::NotSent}};
        for (const QString& event : events.split(' ')) {
            if (event == "poll") {
                sampler.pollAnswered();
                continue;
            }
            QVERIFY(sampler.next().has_value());
            QVERIFY(sampler.isInFlight());
            if (event == "answer")
                sampler.answered();
            else
                sampler.failed(failures.value(event));
            QVERIFY(!sampler.isInFlight());
        }
        QCOMPARE(nextRead(sampler), read);
    }
};

QTEST_GUILESS_MAIN(TestSpanSampler)
#include "tst_spansampler.moc"
