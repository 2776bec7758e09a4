#include "replyrecording.h"

#include "model/protocol/frames.h"

#include <algorithm>

const QString ReplyRecording::kBeginMarker = QStringLiteral("[réponses du terminal, format 1]");
const QString ReplyRecording::kEndMarker = QStringLiteral("[fin des réponses]");

namespace {

bool hexBytes(const QString &text, int maxSize, QByteArray &bytes)
{
    if (text.size() % 2 != 0 || text.size() > 2 * maxSize)
        return false;
    const QByteArray latin = text.toLatin1();
    bytes = QByteArray::fromHex(latin);
    return bytes.toHex() == latin.toLower();
}

bool number(const QString &text, qint32 &value)
{
    bool ok = false;
    value = text.toInt(&ok);
    return ok && value >= 0 && !text.startsWith(QLatin1Char('+'));
}

} // namespace

ReplyRecording::ReplyRecording(int maxExchanges) : capacity(std::max(1, maxExchanges)) {}

void ReplyRecording::clear()
{
    others.clear();
    blocks.clear();
    last = nullptr;
    sentCount = droppedDataCount = droppedOtherCount = 0;
}

void ReplyRecording::append(Exchange exchange)
{
    auto &ring = exchange.data ? blocks : others;
    ring.push_back(std::move(exchange));
    last = &ring.back();
    if (int(others.size() + blocks.size()) <= capacity)
        return;
    auto &oldest = blocks.empty() ? others : blocks;
    ++(blocks.empty() ? droppedOtherCount : droppedDataCount);
    if (&oldest.front() == last)
        last = nullptr; // a capacity of one: the new exchange itself goes
    oldest.pop_front();
}

void ReplyRecording::sent(const quint8 *frameBytes, int length)
{
    Exchange exchange;
    exchange.index = sentCount++;
    exchange.data = frame::isDataBlock(frameBytes, length);
    const int kept = exchange.data ? frame::kDataOffset : std::min(length, kMaxRequest);
    exchange.request = QByteArray(reinterpret_cast<const char *>(frameBytes), kept);
    append(std::move(exchange));
}

void ReplyRecording::received(qint32 delayMs, const char *bytes, int length)
{
    if (!last || length <= 0)
        return;
    int room = kMaxReply;
    for (const Piece &piece : last->reply)
        room -= piece.bytes.size();
    if (room <= 0)
        return;
    last->reply.append({delayMs, QByteArray(bytes, std::min(length, room))});
}

QList<ReplyRecording::Exchange> ReplyRecording::exchanges() const
{
    QList<Exchange> all;
    all.reserve(int(others.size() + blocks.size()));
    auto a = others.begin();
    auto b = blocks.begin();
    while (a != others.end() || b != blocks.end()) {
        if (b == blocks.end() || (a != others.end() && a->index < b->index))
            all.append(*a++);
        else
            all.append(*b++);
    }
    return all;
}

// "> 12 frame 0200..." for a request, "< 12 +35 0401..." for each piece of its reply.
QStringList ReplyRecording::lines() const
{
    QStringList out{kBeginMarker};
    const QList<Exchange> all = exchanges();
    for (const Exchange &e : all) {
        out << QStringLiteral("> %1 %2 %3")
                   .arg(e.index)
                   .arg(e.data ? QStringLiteral("data") : QStringLiteral("frame"))
                   .arg(QString::fromLatin1(e.request.toHex()));
        for (const Piece &piece : e.reply)
            out << QStringLiteral("< %1 +%2 %3")
                       .arg(e.index)
                       .arg(piece.delayMs)
                       .arg(QString::fromLatin1(piece.bytes.toHex()));
    }
    out << kEndMarker;
    return out;
}

bool ReplyRecording::parse(const QByteArray &report, ReplyRecording &recording, QString &error)
{
    recording.clear();
    const QStringList all = QString::fromUtf8(report).split(QLatin1Char('\n'));
    const int begin = all.indexOf(kBeginMarker);
    if (begin < 0) {
        error = QStringLiteral("the report holds no recorded replies");
        return false;
    }
    for (int n = begin + 1; n < all.size(); ++n) {
        const QString line = all.at(n).trimmed();
        if (line == kEndMarker)
            return true;
        const QStringList word = line.split(QLatin1Char(' '));
        const auto bad = [&](const char *why) {
            error = QStringLiteral("line %1 of the report: %2").arg(n + 1).arg(QLatin1String(why));
            return false;
        };
        qint32 index = 0;
        if (word.size() != 4 || !number(word[1], index))
            return bad("not an exchange");
        if (word[0] == QLatin1String(">")) {
            Exchange e;
            e.index = index;
            e.data = word[2] == QLatin1String("data");
            if (!e.data && word[2] != QLatin1String("frame"))
                return bad("neither a frame nor a data block");
            if (!hexBytes(word[3], kMaxRequest, e.request) || e.request.isEmpty() ||
                (e.data && e.request.size() != frame::kDataOffset))
                return bad("not the bytes of a request");
            if (index < recording.sentCount)
                return bad("requests out of order");
            if (int(recording.others.size() + recording.blocks.size()) >= recording.capacity)
                return bad("more exchanges than a report keeps");
            recording.sentCount = index + 1;
            recording.append(std::move(e));
        } else if (word[0] == QLatin1String("<")) {
            qint32 delay = 0;
            QByteArray bytes;
            if (!recording.last || recording.last->index != index)
                return bad("a reply to no request");
            if (!word[2].startsWith(QLatin1Char('+')) || !number(word[2].mid(1), delay))
                return bad("not a delay");
            if (!hexBytes(word[3], kMaxReply, bytes) || bytes.isEmpty())
                return bad("not the bytes of a reply");
            recording.received(delay, bytes.constData(), bytes.size());
        } else {
            return bad("not an exchange");
        }
    }
    error = QStringLiteral("the recorded replies have no end: the report is cut short");
    return false;
}
