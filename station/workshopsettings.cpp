#include "workshopsettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSet>
#include <QStandardPaths>

namespace workshopsettings {

namespace {

const QStringList kKeys = {QStringLiteral("publish"), QStringLiteral("publish-ca"),
                           QStringLiteral("publish-insecure"), QStringLiteral("station-id")};

// The bytes as UTF-8; false when they are not.
bool decoded(const QByteArray &bytes, QString &text)
{
    text = QString::fromUtf8(bytes);
    return text.toUtf8() == bytes;
}

bool parseFlag(const QString &value, bool &flag)
{
    const QString word = value.toLower();
    if (word == QLatin1String("true") || word == QLatin1String("oui") ||
        word == QLatin1String("yes") || word == QLatin1String("1")) {
        flag = true;
        return true;
    }
    if (word == QLatin1String("false") || word == QLatin1String("non") ||
        word == QLatin1String("no") || word == QLatin1String("0")) {
        flag = false;
        return true;
    }
    return false;
}

} // namespace

QString journalIn(const QString &folder)
{
    return QDir(folder).filePath(QString::fromLatin1(kJournalName));
}

QString file()
{
    const QString name = QString::fromLatin1(kFileName);
    const QString found = QStandardPaths::locate(QStandardPaths::GenericConfigLocation, name);
    if (!found.isEmpty())
        return found;
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(name);
}

bool read(const QString &path, StationSettings &settings, QString &error)
{
    const QString shown = QDir::toNativeSeparators(path);
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    QFile input(path);
    if (!info.isFile() || !input.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("les réglages de l'atelier %1 ne peuvent pas être lus%2.")
                    .arg(shown, info.isFile() ? QStringLiteral(" : ") + input.errorString()
                                              : QStringLiteral(" : ce n'est pas un fichier"));
        return false;
    }
    QByteArray content = input.readAll();
    if (input.error() != QFileDevice::NoError) {
        error = QStringLiteral("les réglages de l'atelier %1 ne peuvent pas être lus : %2.")
                    .arg(shown, input.errorString());
        return false;
    }
    if (content.startsWith("\xEF\xBB\xBF"))
        content.remove(0, 3);

    StationSettings read = settings;
    QSet<QString> seen;
    int publishLine = 0;
    const QList<QByteArray> lines = content.split('\n');
    for (int n = 0; n < lines.size(); ++n) {
        const QByteArray line = lines.at(n).trimmed();
        const auto fail = [&](const QString &why) {
            error = QStringLiteral("réglages de l'atelier %1, ligne %2 : %3.")
                        .arg(shown)
                        .arg(n + 1)
                        .arg(why);
            return false;
        };
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const int equals = line.indexOf('=');
        QString key;
        if (equals < 0 || !decoded(line.left(equals).trimmed(), key))
            return fail(QStringLiteral("une ligne de réglage s'écrit « clé = valeur »"));
        if (!kKeys.contains(key))
            return fail(QStringLiteral("clé inconnue « %1 » (connues : %2)")
                            .arg(key, kKeys.join(QStringLiteral(", "))));
        if (seen.contains(key))
            return fail(QStringLiteral("« %1 » est déjà donnée plus haut").arg(key));
        seen.insert(key);
        const QByteArray bytes = line.mid(equals + 1).trimmed();
        if (bytes.isEmpty())
            return fail(QStringLiteral("« %1 » attend une valeur").arg(key));
        if (key == QLatin1String("publish")) {
            // Checked as vardel-station checks its argument: the bytes, before any decoding.
            publishLine = n + 1;
            QString why;
            if (!parseBrokerAddress(bytes, read.broker, why))
                return fail(why);
            read.publishUrl = QString::fromUtf8(bytes);
            continue;
        }
        QString value;
        if (!decoded(bytes, value))
            return fail(QStringLiteral("la valeur de « %1 » n'est pas écrite en UTF-8").arg(key));
        if (key == QLatin1String("publish-ca")) {
            read.publishCa = QDir::cleanPath(info.absoluteDir().absoluteFilePath(value));
        } else if (key == QLatin1String("publish-insecure")) {
            if (!parseFlag(value, read.publishInsecure))
                return fail(QStringLiteral("publish-insecure vaut true ou false, pas « %1 »")
                                .arg(value));
        } else {
            read.stationId = value;
        }
    }
    const auto failFile = [&](const QString &why) {
        error = QStringLiteral("réglages de l'atelier %1 : %2.").arg(shown, why);
        return false;
    };
    if (read.publishUrl.isEmpty() && seen.contains(QStringLiteral("publish-ca")))
        return failFile(QStringLiteral("publish-ca ne sert qu'avec publish"));
    if (read.publishUrl.isEmpty() && seen.contains(QStringLiteral("publish-insecure")))
        return failFile(QStringLiteral("publish-insecure ne sert qu'avec publish"));
    if (!read.publishCa.isEmpty() && !read.broker.tls)
        return failFile(QStringLiteral("publish-ca ne sert qu'avec une adresse mqtts:// "
                                       "(ligne %1)")
                            .arg(publishLine));
    settings = read;
    return true;
}

} // namespace workshopsettings
