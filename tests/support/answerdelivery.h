#pragma once

#include <servosimulator.h>

#include <QList>
#include <QMetaType>
#include <QString>
#include <QTest>

#include <algorithm>

// How the simulated servos' answers reach the program. Tests that exchange answers with the
// simulator run once per delivery (a data column), so that code which takes one read for a whole
// answer fails in the second one: USB–serial adapters hand a status packet on in several reads.
struct AnswerDelivery
{
    const char* name = "";
    int pieceBytes = 0; // 0: whole answers
    qint64 gapUs = 0;
};
Q_DECLARE_METATYPE(AnswerDelivery)

// Pieces a USB frame (1 ms) apart: 8 bytes, so that an acknowledgement (11 bytes) or an
// identification (13) comes in two, and larger where the test's longest answer would otherwise
// come in more than three (a table read of 129 bytes: 43). More pauses would not fit the deadline
// of a port without a USB adapter's latency (a pseudo-terminal) on a busy machine.
inline QList<AnswerDelivery> answerDeliveries(int longestAnswerBytes = 15)
{
    const int pieceBytes = std::max(8, (longestAnswerBytes + 2) / 3);
    return {{"whole answers", 0, 0}, {"answers in pieces", pieceBytes, 1000}};
}

inline servosim::Options deliveredAs(const AnswerDelivery& delivery, servosim::Options options = {})
{
    options.pieceBytes = delivery.pieceBytes;
    options.pieceGapUs = delivery.gapUs;
    return options;
}

// Tag of a data row crossed with a delivery.
inline QByteArray deliveryTag(const QByteArray& tag, const AnswerDelivery& delivery)
{
    return tag.isEmpty() ? QByteArray(delivery.name) : tag + ", " + delivery.name;
}

// The delivery column alone, for a test without other data.
inline void addDeliveryRows(int longestAnswerBytes = 15)
{
    QTest::addColumn<AnswerDelivery>("delivery");
    for (const AnswerDelivery& delivery : answerDeliveries(longestAnswerBytes))
        QTest::newRow(delivery.name) << delivery;
}
