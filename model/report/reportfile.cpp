// Where a report goes, and how it is written.
#include "diagnosticreport.h"

#include "system/savedfile.h"

#include <QDir>

namespace diagnosticreport {

QString fileName(const QDateTime &at, const QString &tag, int rank)
{
    QString name = at.toString(QStringLiteral("yyyyMMdd_hhmmss"));
    if (rank > 1)
        name += QStringLiteral("-%1").arg(rank);
    // The tag is a port's name; whatever could leave the folder or trouble a shell goes.
    QString safe = tag;
    for (QChar &c : safe) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-') &&
            c != QLatin1Char('.'))
            c = QLatin1Char('_');
    }
    if (!safe.isEmpty())
        name += QLatin1Char('_') + safe;
    return name + QStringLiteral("_rapport.txt");
}

bool write(const QString &folder, const QDateTime &at, const QString &tag, const QString &text,
           QString &path, QString &error)
{
    // Never over another report, nor over whatever else bears the name, a link included: the
    // file is linked under the first free name only (savedfile::Existing::Keep), so a name
    // taken between a look and the write is never replaced. Every byte is checked to have
    // reached the disk: on a full disk nothing is left, and the cause is said.
    constexpr int kMostRanks = 100;
    const QDir dir(folder);
    const QByteArray bytes = text.toUtf8();
    for (int rank = 1; rank <= kMostRanks; ++rank) {
        path = dir.filePath(fileName(at, tag, rank));
        bool taken = false;
        if (savedfile::write(path, bytes, savedfile::Existing::Keep, error, &taken))
            return true;
        if (!taken)
            return false;
    }
    error = QStringLiteral("trop de rapports portent déjà ce nom");
    return false;
}

} // namespace diagnosticreport
