#include "core/traffic/trafficrecorder.h"

#include <algorithm>

TrafficRecorder::TrafficRecorder(TrafficLog* log, QObject* parent) : QObject(parent), _log(log)
{
    _clock.start();
    _outsideWait.setSingleShot(true);
    connect(&_outsideWait, &QTimer::timeout, this, &TrafficRecorder::flushOutside);
    // Kept between transactions rather than allocated for each.
    _answer.reserve(512);
    _outside.reserve(512);
}

void TrafficRecorder::start()
{
    _clock.restart();
}

qint64 TrafficRecorder::nowUs() const
{
    return _clock.nsecsElapsed() / 1000;
}

void TrafficRecorder::requestSent(BusProtocol protocol, const QByteArray& packet)
{
    if (_open)
        transactionEnded(TrafficOutcome::Cancelled);
    // Whatever came before the request is older than it.
    flushOutside();
    _open = true;
    _protocol = protocol;
    _request = packet;
    _requestUs = nowUs();
    _answer.resize(0);
    _answerMarks.clear();
}

void TrafficRecorder::received(BusProtocol protocol, const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    const qint64 now = nowUs();
    if (_open) {
        _answerMarks.emplace_back(_answer.size(), now);
        _answer.append(bytes);
        return;
    }
    if (protocol != _outsideProtocol)
        flushOutside();
    _outsideProtocol = protocol;
    _outsideMarks.emplace_back(_outside.size(), now);
    _outside.append(bytes);
    TrafficLog::Meta meta;
    meta.received = true;
    meta.protocol = protocol;
    const quint64 before = _log->endSeq();
    keep(_outside, _outsideMarks, false, meta);
    if (_log->endSeq() != before)
        emit recorded();
    if (_outside.isEmpty())
        _outsideWait.stop();
    else
        _outsideWait.start(outsideWaitMs);
}

void TrafficRecorder::transactionEnded(TrafficOutcome outcome)
{
    if (!_open)
        return;
    _open = false;
    // The request decoded as its row will be, for the answers' filters.
    TrafficPacket request;
    request.protocol = _protocol;
    request.bytes = _request.constData();
    request.size = _request.size();
    TrafficLog::Meta meta;
    meta.protocol = _protocol;
    meta.outcome = outcome;
    meta.requestId = request.id();
    meta.requestInstruction = request.instruction();
    if (!_request.isEmpty()) {
        meta.timeUs = _requestUs;
        for (int at = 0; at < _request.size(); at += TrafficLog::maxPacketBytes)
            _log->append(meta, _request.constData() + at,
                         std::min(TrafficLog::maxPacketBytes, _request.size() - at));
    }
    meta.received = true;
    keep(_answer, _answerMarks, true, meta);
    _request.clear();
    emit recorded();
}

void TrafficRecorder::keep(QByteArray& bytes, Marks& marks, bool final, const TrafficLog::Meta& meta)
{
    _pieces.clear();
    const int cut = cutTrafficPieces(meta.protocol, bytes, final, _pieces);
    TrafficLog::Meta piece = meta;
    size_t mark = 0;
    for (const TrafficPiece& p : _pieces) {
        // A piece is as old as the arrival that brought its first byte.
        while (mark + 1 < marks.size() && marks[mark + 1].first <= p.offset)
            ++mark;
        piece.timeUs = marks.empty() ? nowUs() : marks[mark].second;
        piece.echo = meta.received && !_request.isEmpty() && p.size == _request.size() &&
                     std::equal(_request.constBegin(), _request.constEnd(), bytes.constBegin() + p.offset);
        _log->append(piece, bytes.constData() + p.offset, p.size);
    }
    if (cut == 0)
        return;
    bytes.remove(0, cut);
    // What is left keeps the arrival times of its bytes, at their new offsets.
    Marks left;
    for (size_t i = 0; i < marks.size() && !bytes.isEmpty(); ++i) {
        const bool coversCut = marks[i].first <= cut && (i + 1 == marks.size() || marks[i + 1].first > cut);
        if (marks[i].first > cut || coversCut)
            left.emplace_back(std::max(0, marks[i].first - cut), marks[i].second);
    }
    marks.swap(left);
}

void TrafficRecorder::flushOutside()
{
    _outsideWait.stop();
    if (_outside.isEmpty())
        return;
    TrafficLog::Meta meta;
    meta.received = true;
    meta.protocol = _outsideProtocol;
    keep(_outside, _outsideMarks, true, meta);
    _outside.resize(0);
    _outsideMarks.clear();
    emit recorded();
}
