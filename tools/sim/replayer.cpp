#include "replayer.h"

#include "model/protocol/frames.h"

#include <QMap>

namespace sim {

namespace {

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

// The frame as the report keeps it: a data block by its header alone.
QByteArray kept(const QByteArray &frame)
{
    const auto *bytes = reinterpret_cast<const quint8 *>(frame.constData());
    return frame::isDataBlock(bytes, frame.size()) ? frame.left(frame::kDataOffset) : frame;
}

} // namespace

Replayer::Replayer(std::shared_ptr<const ReplyRecording> replies)
    : recording(std::move(replies)), lastReceive(Clock::now()), lastDue(lastReceive)
{
    exchanges = recording->exchanges();
    // The reply most data blocks got stands in for those whose exchange was dropped.
    QMap<QByteArray, int> seen;
    int best = 0;
    for (int k = 0; k < exchanges.size(); ++k) {
        const ReplyRecording::Exchange &e = exchanges.at(k);
        byIndex.insert(e.index, k);
        if (!e.data)
            continue;
        QByteArray whole;
        for (const ReplyRecording::Piece &piece : e.reply)
            whole += piece.bytes;
        if (++seen[whole] > best) {
            best = seen.value(whole);
            usualDataReply = e.reply;
        }
    }
    rec.replayed = true;
}

void Replayer::receive(const char *data, int size, Clock::time_point now,
                       std::vector<Output> &out)
{
    parser.append(data, size);
    lastReceive = now;
    drain(now, false, out);
}

void Replayer::idle(Clock::time_point now, std::vector<Output> &out)
{
    drain(now, true, out);
}

Responder::Clock::time_point Replayer::idleDeadline() const
{
    return parser.pending() > 0 ? lastReceive + std::chrono::milliseconds(100)
                                : Clock::time_point::max();
}

const Record &Replayer::record() const
{
    // The counts first, then what differed.
    QStringList summary{QStringLiteral("%1 frames received, %2 as recorded, %3 differing, %4 "
                                       "data blocks answered for dropped exchanges, %5 beyond "
                                       "the %6 recorded requests")
                            .arg(received)
                            .arg(asRecorded)
                            .arg(differing)
                            .arg(standIns)
                            .arg(beyond)
                            .arg(recording->requests())};
    if (notes > kMaxNotes)
        summary << QStringLiteral("(%1 more differences not shown)").arg(notes - kMaxNotes);
    rec.replayNotes = summary + differences;
    rec.garbageBytes = parser.garbage();
    return rec;
}

void Replayer::drain(Clock::time_point now, bool stale, std::vector<Output> &out)
{
    FrameKind kind;
    QByteArray bytes;
    // Data mode throughout: a data block and a download's start block differ in byte 3.
    while (parser.next(true, stale, kind, bytes))
        handle(bytes, now, out);
}

bool Replayer::matches(int index, const QByteArray &frame) const
{
    const auto at = byIndex.constFind(index);
    return at != byIndex.constEnd() && exchanges.at(*at).request == kept(frame);
}

void Replayer::handle(const QByteArray &frame, Clock::time_point now, std::vector<Output> &out)
{
    const int number = received++;
    int index = number + shift;
    if (index >= recording->requests()) {
        if (beyond++ == 0)
            note(QStringLiteral("frame %1 (%2) and those after it: beyond the recording, not "
                                "answered")
                     .arg(number)
                     .arg(hex(kept(frame))));
        return;
    }
    const auto at = byIndex.constFind(index);
    if (at == byIndex.constEnd()) {
        const auto *bytes = reinterpret_cast<const quint8 *>(frame.constData());
        if (frame::isDataBlock(bytes, frame.size())) {
            ++standIns;
            play(usualDataReply, now, out);
            return;
        }
        ++differing;
        note(QStringLiteral("frame %1 (%2): the report dropped request %3, not answered")
                 .arg(number)
                 .arg(hex(frame))
                 .arg(index));
        return;
    }
    if (!matches(index, frame)) {
        int skip = 1;
        while (skip <= kLookAhead && !matches(index + skip, frame))
            ++skip;
        if (skip <= kLookAhead) {
            note(QStringLiteral("frame %1: %2 recorded request(s) not sent, from request %3")
                     .arg(number)
                     .arg(skip)
                     .arg(index));
            shift += skip;
            index += skip;
        } else {
            ++differing;
            note(QStringLiteral("frame %1 differs: sent %2, recorded %3 (answered as recorded)")
                     .arg(number)
                     .arg(hex(kept(frame)))
                     .arg(hex(exchanges.at(*at).request)));
            play(exchanges.at(*at).reply, now, out);
            return;
        }
    }
    ++asRecorded;
    play(exchanges.at(byIndex.value(index)).reply, now, out);
}

void Replayer::play(const QVector<ReplyRecording::Piece> &reply, Clock::time_point now,
                    std::vector<Output> &out)
{
    for (const ReplyRecording::Piece &piece : reply) {
        lastDue = std::max(lastDue, now + std::chrono::milliseconds(piece.delayMs));
        out.push_back({lastDue, piece.bytes});
    }
}

void Replayer::note(const QString &text)
{
    if (++notes <= kMaxNotes)
        differences << text;
}

} // namespace sim
