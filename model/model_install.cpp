// The installation scenario: every batch from opening the port to the terminal's return.
#include "model.h"

#include "config/advertisement.h"
#include "config/configuration.h"
#include "link/serialport.h"
#include "transfer.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>

namespace {

const QString kPleaseWait = QStringLiteral("Veuillez patienter ...");
const QString kRetryOrSupport = QStringLiteral("\nVeuillez réessayer ou contacter le support.");

// Download attempts of one file, each from its advertisement on.
constexpr int kDownloadAttempts = 4;

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
    Outcome outcome;
    Progress progress;
    progress.step = 10 / batches.size();
    emit setTotalProgression(QStringLiteral("Démarrage de l'installation"), 0);

    for (const Batch *batch : batches) {
        if (!installBatch(*batch, portLabel, progress, outcome)) {
            title = outcome.title;
            message = outcome.message;
            return false;
        }
    }

    emit setTotalProgression(QStringLiteral("Installation réalisée avec succès"), 100);
    title = QStringLiteral("Installation réalisée avec succès");
    message = QStringLiteral("Le terminal a été correctement mis à jour.");
    return true;
}

bool Model::interrupted(Outcome &outcome)
{
    serialPort->close();
    log(QStringLiteral("Installation interrompue avant l'activation des fichiers"));
    outcome.title = QStringLiteral("Installation interrompue");
    outcome.message = QStringLiteral("L'installation a été interrompue avant l'activation des "
                                     "fichiers.\nVeuillez relancer la mise à jour du terminal.");
    return false;
}

QString Model::currentLabel(const QString &portLabel) const
{
    return portResolver ? portResolver(portLabel) : portLabel;
}

bool Model::fail(bool reboot, const QString &title, const QString &message, Outcome &outcome)
{
    // Once the terminal has been initialised it is left rebooting (the result is ignored).
    if (reboot)
        (void)rebootTerminal();
    serialPort->close();
    outcome.title = title;
    outcome.message = message;
    return false;
}

// One batch: the session, its files, the activation, the reboot and the wait for the terminal.
bool Model::installBatch(const Batch &batch, const QString &portLabel, Progress &progress,
                         Outcome &outcome)
{
    const QList<Application *> files = batch.files;
    const int count = files.size();
    if (cancelRequested)
        return interrupted(outcome);

    progress.value = progress.base + progress.step;
    emit setTotalProgression(QStringLiteral("Tentative d'accès au terminal"), progress.value);
    emit setModuleProgression(kPleaseWait, 0);
    if (!openForInstallation(currentLabel(portLabel))) {
        outcome.title = QStringLiteral("Erreur ouverture");
        outcome.message = QStringLiteral("Le terminal sélectionné n'est pas disponible.\nVeuillez "
                                         "fermer toutes les applications et réessayer ou "
                                         "contacter le support.");
        return false;
    }
    if (!openSession(progress, outcome))
        return false;

    progress.value += progress.step;
    for (int i = 0; i < count; ++i) {
        if (!installFile(files.at(i), i, count, progress.value, outcome))
            return false;
        progress.value += progress.step / count;
    }

    if (cancelRequested)
        return interrupted(outcome);
    if (!activateAndReboot(count, progress, outcome))
        return false;
    serialPort->close();
    waitForReboot(portLabel);
    return true;
}

// The checked stages before the files, in order; each shows its stage, then runs its command.
bool Model::openSession(Progress &progress, Outcome &outcome)
{
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
    for (const Stage &stage : stages) {
        if (cancelRequested)
            return interrupted(outcome);
        progress.value += stage.steps * progress.step;
        emit setTotalProgression(stage.text, progress.value);
        if (!(this->*stage.command)())
            return fail(stage.rebootOnFailure, stage.title, stage.message, outcome);
    }
    return true;
}

// One file: advertisement, authorisation and download, the whole sequence up to four times.
bool Model::installFile(Application *file, int index, int count, int value, Outcome &outcome)
{
    const QString name = advertisement::fileName(file->path);
    const QString cannotLoad = QStringLiteral(" ne peut pas être chargé dans le terminal.");
    for (int attempt = 1;; ++attempt) {
        if (cancelRequested)
            return interrupted(outcome);
        emit setTotalProgression(QStringLiteral("Téléchargement des fichiers en cours (%1/%2)")
                                     .arg(index + 1)
                                     .arg(count),
                                 value);
        bool skipped = false;
        if (!sendInfo(file, skipped))
            return fail(true, QStringLiteral("Erreur Information"), fileMessage(name, cannotLoad),
                        outcome);
        if (skipped) {
            qCDebug(lcProtocol).noquote() << QStringLiteral("Download Skipping App ") + file->path;
            log(QStringLiteral("Fichier non envoyé, son nom ne peut pas être annoncé au "
                               "terminal : ") +
                file->path);
            return true;
        }
        if (!getAuthorization())
            return fail(true, QStringLiteral("Erreur autorisation"),
                        fileMessage(name, QStringLiteral(" n'est pas autorisé sur le terminal.")),
                        outcome);
        if (load(file))
            return true;
        if (cancelRequested) // the download stopped between two blocks
            return interrupted(outcome);
        if (attempt >= kDownloadAttempts)
            return fail(true, QStringLiteral("Erreur chargement"), fileMessage(name, cannotLoad),
                        outcome);
        qCDebug(lcProtocol) << "load false";
        // A reply that comes after its time-out must not answer the next advertisement.
        serialPort->discardUntilQuiet(timing.settleMs);
    }
}

bool Model::activateAndReboot(int count, Progress &progress, Outcome &outcome)
{
    emit setTotalProgression(
        QStringLiteral("Installation des applications sur le terminal en cours"), progress.value);
    emit setModuleProgression(count <= 1
                                  ? QStringLiteral("%1 fichier a été téléchargé").arg(count)
                                  : QStringLiteral("%1 fichiers ont été téléchargés").arg(count),
                              100);
    if (!activateApplications(count))
        return fail(true, QStringLiteral("Erreur Activation"),
                    QStringLiteral("Au moins un fichier n'a pas pu être installé sur le "
                                   "terminal.") +
                        kRetryOrSupport,
                    outcome);

    const int rebootValue = progress.value + progress.step;
    emit setTotalProgression(QStringLiteral("Redémarrage du terminal en cours."), rebootValue);
    emit setModuleProgression(kPleaseWait, 0);
    (void)rebootTerminal();
    (void)rebootTerminal();
    progress.base = rebootValue + progress.step;
    return true;
}

// Measured against a clock: one try at each step of the wait, and a try that takes long (a
// silent terminal costs a whole read time-out) does not lengthen the wait.
void Model::waitForReboot(const QString &portLabel)
{
    const qint64 wait =
        std::max<qint64>({configuration->getDelayReboot(), timing.rebootWaitMinMs, 1});
    const qint64 stepMs = std::max(1, timing.rebootStepMs);
    QElapsedTimer clock;
    clock.start();
    for (qint64 due = stepMs;; due += stepMs) {
        const qint64 now = clock.elapsed();
        if (now < due)
            QThread::msleep(ulong(std::min(due, wait) - now));
        else
            due = now; // the last try ran past this step: the next one starts at once
        if (stopWaitingRequested) {
            emit setModuleProgression(kPleaseWait, 100);
            log(QStringLiteral("Attente du retour du terminal abandonnée après %1 ms, à la "
                               "demande de l'utilisateur : le terminal n'a pas été vérifié")
                    .arg(clock.elapsed()));
            return;
        }
        const qint64 elapsed = std::min(due, wait);
        emit setModuleProgression(kPleaseWait, int(elapsed * 100 / wait));
        if (serialPort->open(currentLabel(portLabel))) {
            // A try is never cut below one step, nor allowed a full time-out at the very end.
            const qint64 left = std::max(wait - elapsed, stepMs);
            const bool back =
                initializeTerminalOnce(int(std::min<qint64>(left, timing.replyTimeoutMs)));
            serialPort->close();
            if (back) {
                emit setModuleProgression(kPleaseWait, 100);
                return;
            }
        }
        if (clock.elapsed() >= wait)
            break;
    }
    emit setModuleProgression(kPleaseWait, 100);
    log(QStringLiteral("Le terminal n'a pas répondu après son redémarrage (attente de %1 ms)")
            .arg(wait));
}
