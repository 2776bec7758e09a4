#include "behaviour.h"

namespace sim {

namespace {

const char *const kNames[kCommandCount] = {"init", "query",    "release", "apps",  "info", "auth",
                                           "load", "activate", "reboot",  "hterm", "data"};

} // namespace

QString commandName(Command command)
{
    return QString::fromLatin1(kNames[int(command)]);
}

bool commandFromName(const QString &name, Command &command)
{
    for (int i = 0; i < kCommandCount; ++i) {
        if (name == QLatin1String(kNames[i])) {
            command = Command(i);
            return true;
        }
    }
    return false;
}

Behaviour::Behaviour() : record(kRecordSize, '\0')
{
    setCatalogue(0x00, 0x2A, 0x01);
    applications = {{QByteArrayLiteral("MIRANDOL"), QByteArrayLiteral("0301")},
                    {QByteArrayLiteral("PAIEMENT"), QByteArrayLiteral("120400")}};
}

void Behaviour::setCatalogue(quint8 a, quint8 b, quint8 c)
{
    record = record.leftJustified(kRecordSize, '\0', true);
    record[kCatalogueOffset] = char(a);
    record[kCatalogueOffset + 1] = char(b);
    record[kCatalogueOffset + 2] = char(c);
}

int Record::count(Command command) const
{
    int n = 0;
    for (const Frame &frame : frames)
        n += frame.command == command ? 1 : 0;
    return n;
}

QList<Download> Record::completeDownloads() const
{
    QList<Download> done;
    for (const Download &download : downloads) {
        if (download.complete)
            done.append(download);
    }
    return done;
}

Record Record::detached() const
{
    Record copy;
    copy.frames = ownCopy(frames);
    copy.advertisements = ownCopy(advertisements);
    copy.blockNumbers = ownCopy(blockNumbers);
    copy.downloads = ownCopy(downloads);
    for (Download &download : copy.downloads) // the last one's content grows as blocks come
        download.content = QByteArray(download.content.constData(), download.content.size());
    copy.anomalies = ownCopy(anomalies);
    copy.garbageBytes = garbageBytes;
    copy.droppedReplies = droppedReplies;
    copy.replayed = replayed;
    copy.replayNotes = ownCopy(replayNotes);
    return copy;
}

} // namespace sim
