#include "stationoptions.h"

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
    for (int i = 0; i < arguments.size(); ++i) {
        const QString option = QString::fromLocal8Bit(arguments.at(i));
        const auto value = [&](QString &out) {
            if (i + 1 >= arguments.size() || arguments.at(i + 1).isEmpty()) {
                error = QStringLiteral("l'option %1 attend une valeur").arg(option);
                return false;
            }
            out = QString::fromLocal8Bit(arguments.at(++i));
            return true;
        };
        QString text;
        if (option == QLatin1String("-h") || option == QLatin1String("--help")) {
            options.help = true;
        } else if (option == QLatin1String("--list")) {
            options.list = true;
        } else if (option == QLatin1String("--reinstall")) {
            options.reinstall = true;
        } else if (option == QLatin1String("--package")) {
            if (!value(options.packageDir))
                return false;
        } else if (option == QLatin1String("--json")) {
            if (!value(options.jsonFile))
                return false;
        } else if (option == QLatin1String("--journal")) {
            if (!value(options.journalFile))
                return false;
        } else if (option == QLatin1String("--port")) {
            if (!value(text))
                return false;
            options.ports << text;
        } else if (option == QLatin1String("--publish")) {
            if (!value(options.publishUrl))
                return false;
            if (!parseBrokerAddress(arguments.at(i), options.broker, error))
                return false;
            options.publishUrl = QString::fromUtf8(arguments.at(i));
        } else if (option == QLatin1String("--publish-ca")) {
            if (!value(options.publishCa))
                return false;
        } else if (option == QLatin1String("--flush")) {
            options.flush = true;
        } else if (option == QLatin1String("--republish")) {
            options.republish = true;
        } else if (option == QLatin1String("--publish-insecure")) {
            options.publishInsecure = true;
        } else if (option == QLatin1String("--station-id")) {
            if (!value(options.stationId))
                return false;
        } else if (option == QLatin1String("--watch")) {
            options.watch = true;
        } else if (option == QLatin1String("--wait")) {
            if (!value(text))
                return false;
            bool number = false;
            options.waitSeconds = text.toInt(&number);
            if (!number || options.waitSeconds < 0) {
                error = QStringLiteral("--wait attend un nombre de secondes (0 ou plus) : ") + text;
                return false;
            }
        } else {
            error = QStringLiteral("option inconnue : ") + option;
            return false;
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
