#include "frametrace.h"

#include "model/protocol/frames.h"

#include <QDateTime>

#include <algorithm>

namespace {

void keep(std::deque<FrameTrace::Entry> &ring, FrameTrace::Entry entry, int depth)
{
    ring.push_back(std::move(entry));
    while (int(ring.size()) > depth)
        ring.pop_front();
}

// What a frame sent is, when it is one the program knows by its first bytes.
QString sentName(const FrameTrace::Entry &e)
{
    const auto *b = reinterpret_cast<const quint8 *>(e.bytes.constData());
    if (e.data && e.bytes.size() >= frame::kDataOffset)
        return QStringLiteral("bloc de données n° %1, %2 octets (contenu omis)")
            .arg((b[1] << 8) | b[2])
            .arg(b[3]);
    if (e.bytes.isEmpty())
        return QString();
    if (b[0] == frame::kShortMarker && e.bytes.size() >= frame::kShortHeaderSize + 3)
        return b[1] == frame::kTypeControl
                   ? (b[5] == frame::kInitPayload[2] ? QStringLiteral("initialisation")
                                                     : QStringLiteral("libération"))
                   : (b[4] == frame::kQueryPayload[1] ? QStringLiteral("application de réception ?")
                                                      : QStringLiteral("libération"));
    switch (b[0]) {
    case frame::kCmdGetApplications:
        return QStringLiteral("liste des applications");
    case frame::kCmdSendInfo:
        return QStringLiteral("annonce d'un fichier");
    case frame::kCmdGetAuthorization:
        return QStringLiteral("autorisation");
    case frame::kCmdLoad:
        return QStringLiteral("début de téléchargement");
    case frame::kCmdActivate:
        return QStringLiteral("activation");
    case frame::kCmdReboot:
        return QStringLiteral("redémarrage");
    case frame::kCmdGetHTerminal:
        return QStringLiteral("configuration matérielle");
    default:
        return QString();
    }
}

} // namespace

void FrameTrace::add(Entry entry)
{
    if (entry.bytes.size() > kMaxBytes)
        entry.bytes.truncate(kMaxBytes);
    entry.order = added++;
    switch (entry.kind) {
    case Entry::Kind::Sent:
        keep(sent, std::move(entry), kDepth);
        break;
    case Entry::Kind::Received:
        keep(received, std::move(entry), kDepth);
        break;
    case Entry::Kind::Opened:
    case Entry::Kind::Closed:
        keep(events, std::move(entry), kEventDepth);
        break;
    }
}

void FrameTrace::clear()
{
    sent.clear();
    received.clear();
    events.clear();
    added = 0;
}

QList<FrameTrace::Entry> FrameTrace::inOrder() const
{
    QList<Entry> all;
    for (const auto *ring : {&sent, &received, &events})
        all.append(QList<Entry>(ring->begin(), ring->end()));
    std::stable_sort(all.begin(), all.end(),
                     [](const Entry &a, const Entry &b) { return a.order < b.order; });
    return all;
}

QStringList FrameTrace::lines() const
{
    QStringList lines;
    qint64 previous = -1;
    const QList<Entry> all = inOrder();
    for (const Entry &e : all) {
        const qint64 gap = previous < 0 ? 0 : e.ms - previous;
        previous = e.ms;
        QString line = QDateTime::fromMSecsSinceEpoch(e.epochMs).toString(QStringLiteral("hh:mm:ss.zzz")) +
                       QStringLiteral("  +%1 ms  ").arg(gap, 5);
        switch (e.kind) {
        case Entry::Kind::Opened:
            lines << line + QStringLiteral("port ouvert : ") + e.label;
            continue;
        case Entry::Kind::Closed:
            lines << line + QStringLiteral("port fermé");
            continue;
        case Entry::Kind::Sent:
            line += QStringLiteral("PC -> terminal  ");
            break;
        case Entry::Kind::Received:
            line += QStringLiteral("terminal -> PC  ");
            break;
        }
        line += QStringLiteral("%1 o  ").arg(e.length, 3);
        line += QString::fromLatin1(e.bytes.toHex(' '));
        if (e.bytes.size() < e.length && !e.data)
            line += QStringLiteral(" ... (%1 octets de plus)").arg(e.length - e.bytes.size());
        const QString name = e.kind == Entry::Kind::Sent ? sentName(e) : QString();
        if (!name.isEmpty())
            line += QStringLiteral("  (") + name + QLatin1Char(')');
        lines << line;
    }
    return lines;
}
