#include "journal.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSysInfo>
#include <QUuid>

bool Journal::open(const QString &path, QString &error)
{
    return file.open(path, QStringLiteral("le journal"), error);
}

QJsonObject Journal::record(QJsonObject fields, const QString &stationId)
{
    fields.insert(QStringLiteral("id"), QUuid::createUuid().toString(QUuid::WithoutBraces));
    fields.insert(QStringLiteral("host"), QSysInfo::machineHostName());
    fields.insert(QStringLiteral("station"), stationId);
    return fields;
}

bool Journal::append(const QJsonObject &record, QString &error)
{
    return file.append(QJsonDocument(record).toJson(QJsonDocument::Compact), error);
}

bool Journal::read(const QString &path, QList<QJsonObject> &records, QString &error)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("le journal %1 ne peut pas être lu : %2")
                    .arg(QDir::toNativeSeparators(path),
                         QFileInfo::exists(path) ? file.errorString()
                                                 : QStringLiteral("il n'existe pas"));
        return false;
    }
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.endsWith('\n'))
            break; // torn by a power cut
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject() && document.object().value(QStringLiteral("id")).isString())
            records << document.object();
    }
    return true;
}
