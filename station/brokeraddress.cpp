#include "brokeraddress.h"

#include <QStringList>
#include <QVector>

#include <arpa/inet.h>
#include <cstring>

namespace {

// The code points of `bytes` when they are well-formed UTF-8 (no overlong form, no surrogate,
// nothing above U+10FFFF); otherwise false with the offset of the first bad byte.
bool decodeUtf8(const QByteArray &bytes, QVector<uint> &points, int &bad)
{
    points.clear();
    for (int i = 0; i < bytes.size();) {
        const auto byte = [&](int k) { return uchar(bytes.at(k)); };
        const uchar lead = byte(i);
        int extra = 0;
        uint point = 0;
        uint least = 0;
        if (lead < 0x80) {
            point = lead;
        } else if ((lead & 0xe0) == 0xc0) {
            extra = 1, point = lead & 0x1f, least = 0x80;
        } else if ((lead & 0xf0) == 0xe0) {
            extra = 2, point = lead & 0x0f, least = 0x800;
        } else if ((lead & 0xf8) == 0xf0) {
            extra = 3, point = lead & 0x07, least = 0x10000;
        } else {
            bad = i;
            return false;
        }
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= bytes.size() || (byte(i + k) & 0xc0) != 0x80) {
                bad = i;
                return false;
            }
            point = (point << 6) | (byte(i + k) & 0x3f);
        }
        if (point < least || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
            bad = i;
            return false;
        }
        points << point;
        i += extra + 1;
    }
    return true;
}

// What MQTT (and mosquitto) refuse in a topic, besides its wildcards; empty when `point` is
// fine.
QString refusedPoint(uint point)
{
    if (point == 0)
        return QStringLiteral("le caractère nul U+0000");
    if (point < 0x20 || (point >= 0x7f && point <= 0x9f))
        return QStringLiteral("le caractère de contrôle U+%1")
            .arg(QString::number(point, 16).toUpper().rightJustified(4, QLatin1Char('0')));
    if ((point >= 0xfdd0 && point <= 0xfdef) || (point & 0xfffe) == 0xfffe)
        return QStringLiteral("le non-caractère U+%1")
            .arg(QString::number(point, 16).toUpper().rightJustified(4, QLatin1Char('0')));
    return QString();
}

bool safeInLevel(uchar c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_';
}

int hexValue(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1; // lower case is never made: one name, one level
}

} // namespace

QString BrokerAddress::text() const
{
    return (tls ? QStringLiteral("mqtts://") : QStringLiteral("mqtt://")) + endpoint() +
           QLatin1Char('/') + prefix;
}

QString BrokerAddress::endpoint() const
{
    const QString name = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']')
                                                         : host;
    return name + QLatin1Char(':') + QString::number(port);
}

bool BrokerAddress::isLoopback() const
{
    const QString name = host.toLower();
    if (name == QLatin1String("localhost") || name == QLatin1String("localhost."))
        return true;
    const QByteArray text = host.toLatin1();
    in_addr v4 = {};
    if (::inet_pton(AF_INET, text.constData(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6 = {};
    return ::inet_pton(AF_INET6, text.constData(), &v6) == 1 &&
           std::memcmp(&v6, &in6addr_loopback, sizeof v6) == 0;
}

QString shownAddress(const QString &url)
{
    const int scheme = url.indexOf(QLatin1String("://"));
    if (scheme < 0)
        return url;
    const int start = scheme + 3;
    const int slash = url.indexOf(QLatin1Char('/'), start);
    const QString authority = url.mid(start, slash < 0 ? -1 : slash - start);
    const int at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        // user:password@host: the user stays, the password goes.
        const QString user = authority.left(at).section(QLatin1Char(':'), 0, 0);
        return url.left(start) + user + authority.mid(at) + url.mid(start + authority.size());
    }
    // No '@' where an address puts one; one further on after a ':' may still end a password
    // that holds a '/' (mqtt://user:pa/ss@host): shown as "…".
    const int lastAt = url.lastIndexOf(QLatin1Char('@'));
    const int colon = url.indexOf(QLatin1Char(':'), start);
    if (lastAt > start && colon >= 0 && colon < lastAt)
        return url.left(start) + QStringLiteral("…") + url.mid(lastAt);
    return url;
}

bool parseBrokerAddress(const QByteArray &raw, BrokerAddress &address, QString &error)
{
    const QString url = QString::fromUtf8(raw);
    const auto refuse = [&](const QString &why) {
        error = QStringLiteral("adresse de publication incorrecte « %1 » : %2")
                    .arg(shownAddress(url), why);
        return false;
    };
    QVector<uint> points;
    int bad = 0;
    if (!decodeUtf8(raw, points, bad))
        return refuse(QStringLiteral("elle n'est pas en UTF-8 (octet 0x%1 à la position %2)")
                          .arg(QString::number(uchar(raw.at(bad)), 16).toUpper())
                          .arg(bad + 1));
    BrokerAddress parsed;
    QString rest;
    if (url.startsWith(QLatin1String("mqtt://"), Qt::CaseInsensitive)) {
        rest = url.mid(7);
    } else if (url.startsWith(QLatin1String("mqtts://"), Qt::CaseInsensitive)) {
        parsed.tls = true;
        parsed.port = BrokerAddress::kTlsPort;
        rest = url.mid(8);
    } else {
        return refuse(QStringLiteral("elle doit commencer par mqtt:// ou mqtts://"));
    }
    for (const uint point : points) {
        const QString why = refusedPoint(point);
        if (!why.isEmpty())
            return refuse(QStringLiteral("elle contient %1, qu'un sujet MQTT ne peut pas porter")
                              .arg(why));
    }
    for (const QChar c : rest) {
        if (c == QLatin1Char(' '))
            return refuse(QStringLiteral("elle contient un espace"));
    }
    const int slash = rest.indexOf(QLatin1Char('/'));
    const QString authority = slash < 0 ? rest : rest.left(slash);
    if (authority.contains(QLatin1Char('@')))
        return refuse(QStringLiteral("l'utilisateur et le mot de passe se donnent par "
                                     "VARDEL_MQTT_USER et VARDEL_MQTT_PASSWORD, pas dans "
                                     "l'adresse"));
    if (rest.contains(QLatin1Char('?')) || rest.contains(QLatin1Char('#')) ||
        rest.contains(QLatin1Char('+')))
        return refuse(QStringLiteral("les caractères ? # et + n'y ont pas leur place"));
    // The host: [IPv6], or a name or IPv4 address up to the port's colon.
    QString portText;
    if (authority.startsWith(QLatin1Char('['))) {
        const int close = authority.indexOf(QLatin1Char(']'));
        if (close < 0)
            return refuse(QStringLiteral("il manque le « ] » de l'adresse IPv6"));
        parsed.host = authority.mid(1, close - 1);
        const QString after = authority.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':')))
            return refuse(QStringLiteral("après l'adresse IPv6 ne peut venir que « :PORT »"));
        portText = after.mid(1);
        if (after.startsWith(QLatin1Char(':')) && portText.isEmpty())
            return refuse(QStringLiteral("le port est vide"));
    } else {
        const int colon = authority.indexOf(QLatin1Char(':'));
        parsed.host = colon < 0 ? authority : authority.left(colon);
        if (colon >= 0) {
            portText = authority.mid(colon + 1);
            if (portText.isEmpty())
                return refuse(QStringLiteral("le port est vide"));
        }
    }
    if (parsed.host.isEmpty())
        return refuse(QStringLiteral("le nom du serveur manque"));
    if (!portText.isEmpty()) {
        bool number = false;
        const int port = portText.toInt(&number);
        if (!number || port < 1 || port > 65535 || !portText.at(0).isDigit())
            return refuse(QStringLiteral("le port doit être un nombre de 1 à 65535"));
        parsed.port = port;
    }
    QString prefix = slash < 0 ? QString() : rest.mid(slash + 1);
    while (prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    if (prefix.isEmpty())
        return refuse(QStringLiteral("le préfixe des sujets manque (mqtt://SERVEUR/PREFIXE)"));
    if (prefix.startsWith(QLatin1Char('$')))
        return refuse(QStringLiteral("les sujets commençant par « $ » sont ceux du serveur"));
    if (prefix.split(QLatin1Char('/')).contains(QString()))
        return refuse(QStringLiteral("le préfixe des sujets a un niveau vide (« // »)"));
    const int bytes = prefix.toUtf8().size();
    if (bytes > BrokerAddress::kMaxPrefixBytes)
        return refuse(QStringLiteral("le préfixe des sujets fait %1 octets ; un sujet MQTT en a "
                                     "%2 au plus, dont %3 pour les niveaux de la station")
                          .arg(bytes)
                          .arg(BrokerAddress::kTopicBytes)
                          .arg(BrokerAddress::kLevelRoom));
    parsed.prefix = prefix;
    address = parsed;
    return true;
}

QString topicLevel(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("%");
    static const char hex[] = "0123456789ABCDEF";
    QString level;
    for (const char b : name.toUtf8()) {
        const uchar c = uchar(b);
        if (safeInLevel(c)) {
            level += QLatin1Char(char(c));
        } else {
            level += QLatin1Char('%');
            level += QLatin1Char(hex[c >> 4]);
            level += QLatin1Char(hex[c & 15]);
        }
    }
    return level;
}

bool topicName(const QString &level, QString &name)
{
    if (level == QLatin1String("%")) {
        name.clear();
        return true;
    }
    if (level.isEmpty())
        return false;
    QByteArray bytes;
    for (int i = 0; i < level.size(); ++i) {
        const QChar c = level.at(i);
        if (c.unicode() < 0x80 && safeInLevel(uchar(c.unicode()))) {
            bytes += char(c.unicode());
            continue;
        }
        if (c != QLatin1Char('%') || i + 2 >= level.size())
            return false;
        const int high = hexValue(level.at(i + 1));
        const int low = hexValue(level.at(i + 2));
        if (high < 0 || low < 0 || safeInLevel(uchar(high * 16 + low)))
            return false; // a safe byte is never escaped
        bytes += char(high * 16 + low);
        i += 2;
    }
    QVector<uint> points;
    int bad = 0;
    if (!decodeUtf8(bytes, points, bad))
        return false;
    name = QString::fromUtf8(bytes);
    return true;
}

QString terminalLevel(const QString &serialNumber, const QString &port, bool serialShared)
{
    if (!serialNumber.isEmpty() && !serialShared)
        return topicLevel(serialNumber);
    return topicLevel(serialNumber) + QLatin1Char('@') + topicLevel(port);
}

QString stationLevel(const QString &host, const QString &stationId)
{
    return topicLevel(host) + QLatin1Char('@') + topicLevel(stationId);
}
