#include "stationoptions.h"

QString stationUsage()
{
    return QStringLiteral(
        "usage : vardel-station [--package DOSSIER] [--port NOM]... [--list] [--json FICHIER]\n"
        "\n"
        "Installe le package sur tous les terminaux branchés, en même temps : un port et un\n"
        "déroulement complet par terminal, comme la fenêtre de Vardel le fait pour un seul.\n"
        "Un terminal qui revient de son redémarrage sous un autre port est suivi par son\n"
        "numéro de série USB.\n"
        "\n"
        "  --package DOSSIER  le package à installer (par défaut : le dossier configuration\n"
        "                     à côté du programme)\n"
        "  --port NOM         seulement ce port (ttyACM0, ou le libellé complet) ; répétable\n"
        "  --list             affiche les terminaux détectés et l'état du package, n'installe\n"
        "                     rien\n"
        "  --json FICHIER     écrit aussi le bilan final dans FICHIER, au format JSON\n"
        "  -h, --help         cette aide\n"
        "\n"
        "Sur un terminal, une ligne par terminal redessinée en place (port, numéro de série,\n"
        "étape, fichier, pourcentage, débit) ; sinon une ligne par événement. Bilan à la fin.\n"
        "Le journal du jour (AAAAMMJJ_logs.txt, dossier courant) est partagé : chaque entrée\n"
        "d'un terminal commence par son port, par exemple « [ttyACM1] Module : ... ».\n"
        "\n"
        "Ctrl-C : aucun nouveau terminal ne démarre ; un terminal en téléchargement est libéré\n"
        "sans que ses fichiers soient activés ; un terminal en cours d'activation ou de\n"
        "redémarrage termine. Puis le bilan, et le code de sortie 1.\n"
        "\n"
        "Codes de sortie : 0 tous les terminaux sont à jour ; 1 au moins un échec ou une\n"
        "interruption ; 2 rien n'a pu démarrer (aucun terminal, package invalide, arguments\n"
        "incorrects).\n");
}

bool parseStationOptions(const QStringList &arguments, StationOptions &options, QString &error)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &option = arguments.at(i);
        const auto value = [&](QString &out) {
            if (i + 1 >= arguments.size() || arguments.at(i + 1).isEmpty()) {
                error = QStringLiteral("l'option %1 attend une valeur").arg(option);
                return false;
            }
            out = arguments.at(++i);
            return true;
        };
        QString text;
        if (option == QLatin1String("-h") || option == QLatin1String("--help")) {
            options.help = true;
        } else if (option == QLatin1String("--list")) {
            options.list = true;
        } else if (option == QLatin1String("--package")) {
            if (!value(options.packageDir))
                return false;
        } else if (option == QLatin1String("--json")) {
            if (!value(options.jsonFile))
                return false;
        } else if (option == QLatin1String("--port")) {
            if (!value(text))
                return false;
            options.ports << text;
        } else {
            error = QStringLiteral("option inconnue : ") + option;
            return false;
        }
    }
    return true;
}
