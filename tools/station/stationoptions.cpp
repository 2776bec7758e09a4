#include "stationoptions.h"

#include "commandline.h"

#include <algorithm>

QString stationUsage()
{
    return QStringLiteral(
        "usage : vardel-station [--package DOSSIER] [--port NOM]... [--wait S | --watch]\n"
        "                       [--json FICHIER] [--journal FICHIER] [--list] [--reinstall]\n"
        "                       [--publish mqtt://SERVEUR[:PORT]/PREFIXE [--publish-ca FICHIER]\n"
        "                        [--station-id ID] [--publish-insecure]]\n"
        "       vardel-station --journal FICHIER --publish URL (--flush | --republish) [--wait S]\n"
        "\n"
        "Installe le package sur tous les terminaux branchés, en même temps : un port et un\n"
        "déroulement complet par terminal, comme la fenêtre de Vardel le fait pour un seul.\n"
        "Un terminal qui revient de son redémarrage sous un autre port est suivi par son\n"
        "numéro de série USB, quand aucun autre port ne porte ce numéro.\n"
        "\n"
        "  --package DOSSIER  le package à installer (par défaut : le dossier configuration\n"
        "                     à côté du programme)\n"
        "  --port NOM         seulement ce port (ttyACM0, /dev/ttyACM0, ou le libellé\n"
        "                     complet) ; répétable\n"
        "  --wait S           cherche les terminaux toutes les 2 s pendant S secondes au plus\n"
        "                     (10 par défaut ; 0 : une seule recherche), jusqu'à en trouver\n"
        "                     (avec --port : jusqu'à trouver tous ceux qui sont nommés)\n"
        "  --watch            mode atelier : ne s'arrête pas de lui-même ; chaque terminal\n"
        "                     qui apparaît est mis à jour une fois (reconnu par son numéro de\n"
        "                     série USB) ; Ctrl-C termine, avec le bilan\n"
        "  --json FICHIER     écrit aussi le bilan final dans FICHIER, au format JSON\n"
        "  --journal FICHIER  ajoute à FICHIER une ligne JSON par terminal terminé, écrite\n"
        "                     sur le disque dès qu'il a fini\n"
        "  --list             affiche les terminaux détectés et l'état du package, n'installe\n"
        "                     rien\n"
        "  --reinstall        envoie aussi les lots que le terminal liste déjà (par défaut,\n"
        "                     un lot dont le terminal liste déjà les entrées attendues n'est\n"
        "                     pas renvoyé, et un terminal qui les liste toutes est « déjà à\n"
        "                     jour »)\n"
        "  --publish URL      publie aussi sur un serveur MQTT (mqtt://SERVEUR[:PORT]/PREFIXE,\n"
        "                     ou mqtts:// avec TLS) : chaque ligne du journal sur\n"
        "                     PREFIXE/terminals/NUMERO (QoS 1, retenue ; NUMERO@PORT pour un\n"
        "                     numéro que porte un autre port, %@PORT sans numéro), l'avancement\n"
        "                     sur PREFIXE/progress/NUMERO, la station sur\n"
        "                     PREFIXE/stations/HOTE@ID ; les noms y sont écrits en %XX hors\n"
        "                     lettres ASCII, chiffres, - . et _ (X/1 : X%2F1) ; utilisateur et\n"
        "                     mot de passe : variables VARDEL_MQTT_USER et VARDEL_MQTT_PASSWORD.\n"
        "                     MQTT 5 (3.1.1 pour un serveur qui ne le parle pas). Sans serveur,\n"
        "                     les terminaux sont mis à jour quand même ; ce qu'il n'a pas\n"
        "                     confirmé, refusé ou ne prendra jamais (trop grand) est dit dans\n"
        "                     le bilan et reste dans le journal (FICHIER.acked : les envois\n"
        "                     confirmés)\n"
        "  --publish-ca FICHIER  l'autorité du certificat d'un serveur mqtts://\n"
        "  --station-id ID    l'identifiant de la station dans son sujet et ses\n"
        "                     enregistrements (par défaut : tiré de /etc/machine-id)\n"
        "  --publish-insecure laisse partir utilisateur et mot de passe en clair (mqtt://)\n"
        "                     vers un autre serveur que ce PC ; sans elle, refusé\n"
        "  --flush            avec --journal et --publish : envoie ce que le journal contient\n"
        "                     et que le serveur n'a jamais confirmé, puis s'arrête (essaie\n"
        "                     pendant --wait secondes)\n"
        "  --republish        avec --journal et --publish : renvoie tout le journal, confirmé\n"
        "                     ou non (un serveur qui a perdu ses messages retenus), puis\n"
        "                     s'arrête\n"
        "  -h, --help         cette aide\n"
        "\n"
        "Sur un terminal, une ligne par terminal redessinée en place (port, numéro de série,\n"
        "étape, fichier, pourcentage, débit), à la hauteur de la fenêtre ; sinon une ligne\n"
        "par événement. Bilan à la fin. Le log du jour (AAAAMMJJ_logs.txt, dossier courant)\n"
        "est partagé : chaque entrée d'un terminal commence par son port, par exemple\n"
        "« [ttyACM1] Module : ... ». Sans log, la station ne démarre pas.\n"
        "\n"
        "Ctrl-C, SIGTERM, SIGHUP ou SIGQUIT : aucun nouveau terminal ne démarre ; un terminal\n"
        "en téléchargement est libéré sans que ses fichiers soient activés ; un terminal en\n"
        "cours d'activation ou de redémarrage termine. Puis le bilan, et le code de sortie 1.\n"
        "Un second signal, une seconde après le premier au moins, cesse d'attendre le retour\n"
        "des terminaux qui redémarrent : ils sont signalés non vérifiés.\n"
        "\n"
        "Avec --flush ou --republish : 0 le serveur a tout confirmé ; 1 il reste des\n"
        "enregistrements (non transmis, refusés ou mis de côté) ;\n"
        "2 journal illisible ou arguments incorrects. Le serveur MQTT ne change jamais le\n"
        "code de sortie d'une installation.\n"
        "\n"
        "Codes de sortie : 0 tous les terminaux sont à jour (mis à jour, ou déjà à jour) ;\n"
        "1 au moins un échec, un terminal à vérifier, une interruption ou un bilan qui n'a\n"
        "pas pu être écrit ; 2 rien n'a pu démarrer (aucun terminal, package invalide,\n"
        "arguments incorrects, log, bilan JSON ou journal impossibles à écrire).\n");
}

bool parseStationOptions(const QList<QByteArray> &arguments, StationOptions &options,
                         QString &error)
{
    static const QList<commandline::Option> kOptions = {
        {QStringLiteral("help"), false, QStringLiteral("h")},
        {QStringLiteral("list")},
        {QStringLiteral("reinstall")},
        {QStringLiteral("package"), true},
        {QStringLiteral("json"), true},
        {QStringLiteral("journal"), true},
        {QStringLiteral("port"), true},
        {QStringLiteral("publish"), true},
        {QStringLiteral("publish-ca"), true},
        {QStringLiteral("flush")},
        {QStringLiteral("republish")},
        {QStringLiteral("publish-insecure")},
        {QStringLiteral("station-id"), true},
        {QStringLiteral("watch")},
        {QStringLiteral("wait"), true},
    };
    // The words go through the parser as Latin-1, one character a byte, and come back as the
    // bytes typed: the broker's address is checked as UTF-8, the others are decoded in the
    // locale's encoding.
    QStringList words;
    for (const QByteArray &argument : arguments)
        words << QString::fromLatin1(argument);
    const commandline::Parsed parsed = commandline::parse(kOptions, words);
    const auto typed = [](const QString &word) { return QString::fromLocal8Bit(word.toLatin1()); };
    if (!parsed.unknown.isEmpty() || parsed.endMarker || !parsed.positional.isEmpty()) {
        error = QStringLiteral("option inconnue : ") +
                typed(!parsed.unknown.isEmpty() ? parsed.unknown
                      : parsed.endMarker        ? QStringLiteral("--")
                                                : parsed.positional.first());
        return false;
    }
    if (!parsed.missingValue.isEmpty()) {
        error = QStringLiteral("l'option %1 attend une valeur").arg(typed(parsed.missingValue));
        return false;
    }
    for (const commandline::Found &found : parsed.options) {
        const QString &name = found.name;
        const QString value = typed(found.value);
        const bool valued = std::any_of(kOptions.begin(), kOptions.end(), [&](const auto &option) {
            return option.name == name && option.takesValue;
        });
        if (valued && value.isEmpty()) {
            error = QStringLiteral("l'option --%1 attend une valeur").arg(name);
            return false;
        }
        if (name == QLatin1String("help")) {
            options.help = true;
        } else if (name == QLatin1String("list")) {
            options.list = true;
        } else if (name == QLatin1String("reinstall")) {
            options.reinstall = true;
        } else if (name == QLatin1String("package")) {
            options.packageDir = value;
        } else if (name == QLatin1String("json")) {
            options.jsonFile = value;
        } else if (name == QLatin1String("journal")) {
            options.journalFile = value;
        } else if (name == QLatin1String("port")) {
            options.ports << value;
        } else if (name == QLatin1String("publish")) {
            const QByteArray address = found.value.toLatin1();
            if (!parseBrokerAddress(address, options.broker, error))
                return false;
            options.publishUrl = QString::fromUtf8(address);
        } else if (name == QLatin1String("publish-ca")) {
            options.publishCa = value;
        } else if (name == QLatin1String("flush")) {
            options.flush = true;
        } else if (name == QLatin1String("republish")) {
            options.republish = true;
        } else if (name == QLatin1String("publish-insecure")) {
            options.publishInsecure = true;
        } else if (name == QLatin1String("station-id")) {
            options.stationId = value;
        } else if (name == QLatin1String("watch")) {
            options.watch = true;
        } else if (name == QLatin1String("wait")) {
            bool number = false;
            options.waitSeconds = value.toInt(&number);
            if (!number || options.waitSeconds < 0) {
                error = QStringLiteral("--wait attend un nombre de secondes (0 ou plus) : ") + value;
                return false;
            }
        }
    }
    if (options.watch && options.list) {
        error = QStringLiteral("--watch et --list ne vont pas ensemble");
        return false;
    }
    if (!options.publishCa.isEmpty() && !options.broker.tls) {
        error = QStringLiteral("--publish-ca ne sert qu'avec une adresse mqtts://");
        return false;
    }
    if (options.flush && options.republish) {
        error = QStringLiteral("--flush et --republish ne vont pas ensemble");
        return false;
    }
    const QString sending = options.flush ? QStringLiteral("--flush") : QStringLiteral("--republish");
    if ((options.flush || options.republish) &&
        (options.journalFile.isEmpty() || options.publishUrl.isEmpty())) {
        error = sending + QStringLiteral(" demande --journal et --publish");
        return false;
    }
    if ((options.flush || options.republish) &&
        (options.watch || options.list || !options.ports.isEmpty() || options.reinstall)) {
        error = sending + QStringLiteral(" n'installe rien : sans --watch, --list, --port ni "
                                         "--reinstall");
        return false;
    }
    if (options.publishInsecure && options.publishUrl.isEmpty()) {
        error = QStringLiteral("--publish-insecure ne sert qu'avec --publish");
        return false;
    }
    return true;
}
