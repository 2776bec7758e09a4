#include "brokeraddress.h"

#include <QStringList>

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

bool parseBrokerAddress(const QString &url, BrokerAddress &address, QString &error)
{
    const auto refuse = [&](const QString &why) {
        error = QStringLiteral("adresse de publication incorrecte « %1 » : %2").arg(url, why);
        return false;
    };
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
    for (const QChar c : rest) {
        if (c.unicode() < 0x21 || c.unicode() == 0x7f)
            return refuse(QStringLiteral("elle contient un espace ou un caractère de contrôle"));
    }
    if (rest.contains(QLatin1Char('?')) || rest.contains(QLatin1Char('#')) ||
        rest.contains(QLatin1Char('+')))
        return refuse(QStringLiteral("les caractères ? # et + n'y ont pas leur place"));
    const int slash = rest.indexOf(QLatin1Char('/'));
    const QString authority = slash < 0 ? rest : rest.left(slash);
    if (authority.contains(QLatin1Char('@')))
        return refuse(QStringLiteral("l'utilisateur et le mot de passe se donnent par "
                                     "VARDEL_MQTT_USER et VARDEL_MQTT_PASSWORD, pas dans "
                                     "l'adresse"));
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
    parsed.prefix = prefix;
    address = parsed;
    return true;
}

QString topicLevel(const QString &text)
{
    if (text.isEmpty())
        return QStringLiteral("_");
    QString level = text;
    for (QChar &c : level) {
        if (c == QLatin1Char('/') || c == QLatin1Char('+') || c == QLatin1Char('#') ||
            c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('_');
    }
    return level;
}
