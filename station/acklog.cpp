#include "acklog.h"

#include <QFile>

QString AckLog::pathFor(const QString &journalPath)
{
    return journalPath + QStringLiteral(".acked");
}

bool AckLog::open(const QString &path, QString &error)
{
    return file.open(path, QStringLiteral("le fichier des envois confirmés"), error);
}

bool AckLog::append(const QString &id)
{
    QString error;
    return file.append(id.toUtf8(), error);
}

QSet<QString> AckLog::read(const QString &path)
{
    QSet<QString> ids;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ids;
    QByteArray text = file.readAll();
    // The last line counts only when whole.
    const int end = text.lastIndexOf('\n');
    text.truncate(end + 1);
    for (const QByteArray &line : text.split('\n')) {
        if (!line.isEmpty())
            ids.insert(QString::fromUtf8(line));
    }
    return ids;
}
