// The installation scenario: every batch from opening the port to the terminal's return.
#include "model.h"

#include "config/configuration.h"
#include "link/serialport.h"
#include "transfer.h"

#include <QThread>

#include <algorithm>

namespace {

const QString kPleaseWait = QStringLiteral("Veuillez patienter ...");
const QString kRetryOrSupport = QStringLiteral("\nVeuillez réessayer ou contacter le support.");

// A checked stage before the files: its total-bar text, the value it adds, its command and
// what the operator reads when it fails.
struct Stage
{
    QString text;
    int steps; // multiples of `step` added to the running value
    bool (Model::*command)();
    bool rebootOnFailure;
    QString title;
    QString message;
};

QString fileMessage(const QString &name, const QString &what)
{
    return QStringLiteral("Le fichier : ") + name + what + kRetryOrSupport;
}

} // namespace

bool Model::install(const QString &portLabel, QString &title, QString &message)
{
    const QList<Batch *> batches = configuration->getBatches();
    if (batches.isEmpty()) {
        title = QStringLiteral("Erreur fichier de configuration");
        message = QStringLiteral("Le fichier de configuration ne contient pas de scénario");
        log(message);
        return false;
    }
    const int step = 10 / batches.size();
    emit setTotalProgression(QStringLiteral("Démarrage de l'installation"), 0);

    const Stage stages[] = {
        {QStringLiteral("Initialisation du terminal"), 1, &Model::initializeTerminal, false,
         QStringLiteral("Erreur initialisation"),
         QStringLiteral("Le terminal ne peut pas être initialisé.") + kRetryOrSupport},
        {QStringLiteral("Initialisation de l'application \"Mirandol\" du terminal"), 1,
         &Model::isVardelOnTerminal, true, QStringLiteral("Erreur mirandol"),
         QStringLiteral("L'application \"Mirandol\" n'est pas installée sur le terminal.\n")},
        {QStringLiteral("Récupération de la configuration matérielle du terminal"), 1,
         &Model::getHTerminal, true, QStringLiteral("Erreur HTerminal"),
         QStringLiteral("La configuration matérielle du terminal ne peut pas être lue.") +
             kRetryOrSupport},
        {QStringLiteral("Vérification de la cohérence de la configuration matérielle du terminal"),
         0, &Model::checkHTerminalCoherency, true, QStringLiteral("Erreur cohérence HTerminal"),
         QStringLiteral("La configuration matérielle du terminal ne correspond pas au package à "
                        "installer.") +
             kRetryOrSupport},
        {QStringLiteral("Vérification de la liste des applications du terminal"), 1,
         &Model::getApplications, true, QStringLiteral("Erreur liste applications"),
         QStringLiteral("La liste des applications ne peut pas être lue.") + kRetryOrSupport},
    };

    // The clean-up of a failure once the port is open: a reboot after the initialisation
    // stage (its result ignored), then the port closed.
    const auto fail = [&](bool reboot, const QString &failTitle, const QString &failMessage) {
        if (reboot)
            (void)rebootTerminal();
        serialPort->close();
        title = failTitle;
        message = failMessage;
        return false;
    };

    int base = 0;
    for (const Batch *batch : batches) {
        const QList<Application *> files = batch->files;
        const int count = files.size();

        int value = base + step;
        emit setTotalProgression(QStringLiteral("Tentative d'accès au terminal"), value);
        emit setModuleProgression(kPleaseWait, 0);
        if (!serialPort->open(portLabel)) {
            title = QStringLiteral("Erreur ouverture");
            message = QStringLiteral("Le terminal sélectionné n'est pas disponible.\nVeuillez "
                                     "fermer toutes les applications et réessayer ou contacter "
                                     "le support.");
            return false;
        }

        for (const Stage &stage : stages) {
            value += stage.steps * step;
            emit setTotalProgression(stage.text, value);
            if (!(this->*stage.command)())
                return fail(stage.rebootOnFailure, stage.title, stage.message);
        }

        int fileValue = value + step;
        for (int i = 0; i < count; ++i) {
            Application *file = files.at(i);
            const QString name = transfer::fileName(file->path);
            for (int failures = 0;; ++failures) {
                emit setTotalProgression(
                    QStringLiteral("Téléchargement des fichiers en cours (%1/%2)")
                        .arg(i + 1)
                        .arg(count),
                    fileValue);
                bool skipped = false;
                if (!sendInfo(file, skipped))
                    return fail(true, QStringLiteral("Erreur Information"),
                                fileMessage(name, QStringLiteral(" ne peut pas être chargé dans "
                                                                 "le terminal.")));
                if (skipped) {
                    qCDebug(lcProtocol).noquote()
                        << QStringLiteral("Download Skipping App ") + file->path;
                    break;
                }
                if (!getAuthorization())
                    return fail(true, QStringLiteral("Erreur autorisation"),
                                fileMessage(name, QStringLiteral(" n'est pas autorisé sur le "
                                                                 "terminal.")));
                if (load(file))
                    break;
                // Up to four attempts in all, each from the advertisement on.
                if (failures >= 3)
                    return fail(true, QStringLiteral("Erreur chargement"),
                                fileMessage(name, QStringLiteral(" ne peut pas être chargé dans "
                                                                 "le terminal.")));
                qCDebug(lcProtocol) << "load false";
            }
            fileValue += step / count;
        }

        emit setTotalProgression(
            QStringLiteral("Installation des applications sur le terminal en cours"), fileValue);
        emit setModuleProgression(
            count <= 1 ? QStringLiteral("%1 fichier a été téléchargé").arg(count)
                       : QStringLiteral("%1 fichiers ont été téléchargés").arg(count),
            100);
        if (!activateApplications(count))
            return fail(true, QStringLiteral("Erreur Activation"),
                        QStringLiteral("Au moins un fichier n'a pas pu être installé sur le "
                                       "terminal.") +
                            kRetryOrSupport);

        const int rebootValue = fileValue + step;
        emit setTotalProgression(QStringLiteral("Redémarrage du terminal en cours."), rebootValue);
        emit setModuleProgression(kPleaseWait, 0);
        (void)rebootTerminal();
        (void)rebootTerminal();
        base = rebootValue + step;
        serialPort->close();
        waitForReboot(portLabel);
    }

    emit setTotalProgression(QStringLiteral("Installation réalisée avec succès"), 100);
    title = QStringLiteral("Installation réalisée avec succès");
    message = QStringLiteral("Le terminal a été correctement mis à jour.");
    return true;
}

void Model::waitForReboot(const QString &portLabel)
{
    const qint64 wait =
        std::max<qint64>({configuration->getDelayReboot(), timing.rebootWaitMinMs, 1});
    const qint64 stepMs = std::max(1, timing.rebootStepMs);
    qint64 elapsed = 0;
    do {
        QThread::msleep(ulong(stepMs));
        elapsed += stepMs;
        emit setModuleProgression(kPleaseWait, int(std::min<qint64>(elapsed * 100 / wait, 100)));
        if (!serialPort->open(portLabel))
            continue;
        if (initializeTerminalOnce()) {
            emit setModuleProgression(kPleaseWait, 100);
            elapsed = wait;
        }
        serialPort->close();
    } while (elapsed < wait);
}
