// Where a report goes, and how it is written.
#include "diagnosticreport.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

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
    // Never over another report, nor over whatever else bears the name: a link in its place
    // is not followed either (QSaveFile renames its own file over the name).
    constexpr int kMostRanks = 100;
    const QDir dir(folder);
    for (int rank = 1;; ++rank) {
        if (rank > kMostRanks) {
            error = QStringLiteral("trop de rapports portent déjà ce nom");
            return false;
        }
        path = dir.filePath(fileName(at, tag, rank));
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            break;
    }
    QSaveFile file(path);
    const QByteArray bytes = text.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

} // namespace diagnosticreport
