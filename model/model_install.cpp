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
    InstallStage stage;
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

InstallResult Model::install(const QString &portLabel)
{
    InstallResult result;
    capture.begin();
    recorder.beginInstallation();
    meter.start();
    terminalRecordRead = applicationsRead = false;
    terminalRecordReply.clear();
    applications.clear();
    runScenario(portLabel, result);
    result.figures = meter.finish();
    recorder.endInstallation();
    return result;
}

void Model::runScenario(const QString &portLabel, InstallResult &result)
{
    const QList<Batch *> batches = package()->getBatches();
    progress = InstallProgress();
    progress.batchCount = result.batchCount = batches.size();
    result.rebootWaitMs = rebootWaitMs();
    result.startPort = result.port = portLabel;
    failure = FailureCause::None;
    if (batches.isEmpty()) {
        result.title = QStringLiteral("Erreur fichier de configuration");
        result.message = QStringLiteral("Le fichier de configuration ne contient pas de scénario");
        failed(FailureCause::Package, result);
        log(result.message);
        return;
    }
    Totals totals;
    totals.step = 10 / batches.size();
    showTotal(InstallStage::Starting, QStringLiteral("Démarrage de l'installation"), 0);

    for (const Batch *batch : batches) {
        ++progress.batch;
        if (!installBatch(*batch, portLabel, totals, result)) {
            result.port = currentLabel(portLabel);
            return;
        }
    }
    result.port = currentLabel(portLabel);

    finished(result);
}

QString Model::currentLabel(const QString &portLabel) const
{
    return portResolver ? portResolver(portLabel) : portLabel;
}

bool Model::fail(bool reboot, const QString &title, const QString &message, InstallResult &result)
{
    // Why the command failed, before the clean-up reboot's own answer can change it.
    const FailureCause cause = failure;
    // Once the terminal has been initialised it is left rebooting (the result is ignored).
    if (reboot)
        (void)rebootTerminal();
    serialPort->close();
    result.title = title;
    result.message = message;
    failed(cause, result);
    return false;
}

// One batch: the session, its files, the activation, the reboot and the wait for the terminal.
bool Model::installBatch(const Batch &batch, const QString &portLabel, Totals &totals,
                         InstallResult &result)
{
    const QList<Application *> &files = batch.files;
    const int count = files.size();
    if (cancelRequested)
        return interrupted(result);

    totals.value = totals.base + totals.step;
    showTotal(InstallStage::Opening, QStringLiteral("Tentative d'accès au terminal"), totals.value);
    showModule(kPleaseWait, 0);
    if (!openForInstallation(currentLabel(portLabel), result)) {
        result.title = QStringLiteral("Erreur ouverture");
        result.message = QStringLiteral("Le terminal sélectionné n'est pas disponible.\nVeuillez "
                                        "fermer toutes les applications et réessayer ou "
                                        "contacter le support.");
        return false;
    }
    if (!openSession(totals, result))
        return false;

    totals.value += totals.step;
    progress.fileCount = count;
    for (int i = 0; i < count; ++i) {
        progress.file = i + 1;
        if (!installFile(files.at(i), totals.value, result))
            return false;
        totals.value += totals.step / count;
    }
    progress.file = progress.fileCount = 0;
    progress.fileName.clear();

    if (cancelRequested)
        return interrupted(result);
    if (!activateAndReboot(count, totals, result))
        return false;
    serialPort->close();
    ActivatedBatch &activated = result.activated.last();
    activated.returned = waitForReboot(portLabel);
    activated.waitStopped = !activated.returned && stopWaitingRequested;
    return true;
}

// The checked stages before the files, in order; each shows its stage, then runs its command.
bool Model::openSession(Totals &totals, InstallResult &result)
{
    const Stage stages[] = {
        {InstallStage::Initialising, QStringLiteral("Initialisation du terminal"), 1,
         &Model::initializeTerminal, false, QStringLiteral("Erreur initialisation"),
         QStringLiteral("Le terminal ne peut pas être initialisé.") + kRetryOrSupport},
        {InstallStage::ReceivingApplication,
         QStringLiteral("Initialisation de l'application \"Mirandol\" du terminal"), 1,
         &Model::isVardelOnTerminal, true, QStringLiteral("Erreur mirandol"),
         QStringLiteral("L'application \"Mirandol\" n'est pas installée sur le terminal.\n")},
        {InstallStage::HardwareRead,
         QStringLiteral("Récupération de la configuration matérielle du terminal"), 1,
         &Model::getHTerminal, true, QStringLiteral("Erreur HTerminal"),
         QStringLiteral("La configuration matérielle du terminal ne peut pas être lue.") +
             kRetryOrSupport},
        {InstallStage::HardwareCheck,
         QStringLiteral("Vérification de la cohérence de la configuration matérielle du terminal"),
         0, &Model::checkHTerminalCoherency, true, QStringLiteral("Erreur cohérence HTerminal"),
         QStringLiteral("La configuration matérielle du terminal ne correspond pas au package à "
                        "installer.") +
             kRetryOrSupport},
        {InstallStage::ApplicationList,
         QStringLiteral("Vérification de la liste des applications du terminal"), 1,
         &Model::getApplications, true, QStringLiteral("Erreur liste applications"),
         QStringLiteral("La liste des applications ne peut pas être lue.") + kRetryOrSupport},
    };
    for (const Stage &stage : stages) {
        if (cancelRequested)
            return interrupted(result);
        totals.value += stage.steps * totals.step;
        showTotal(stage.stage, stage.text, totals.value);
        if (!(this->*stage.command)())
            return fail(stage.rebootOnFailure, stage.title, stage.message, result);
    }
    return true;
}

// One file: advertisement, authorisation and download, the whole sequence up to four times.
bool Model::installFile(const Application *file, int value, InstallResult &result)
{
    const QString name = advertisement::fileName(file->path);
    const QString cannotLoad = QStringLiteral(" ne peut pas être chargé dans le terminal.");
    progress.fileName = name;
    for (int attempt = 1;; ++attempt) {
        if (cancelRequested)
            return interrupted(result);
        showTotal(InstallStage::Advertisement,
                  QStringLiteral("Téléchargement des fichiers en cours (%1/%2)")
                      .arg(progress.file)
                      .arg(progress.fileCount),
                  value);
        bool skipped = false;
        if (!sendInfo(file, skipped))
            return fail(true, QStringLiteral("Erreur Information"), fileMessage(name, cannotLoad),
                        result);
        if (skipped) {
            qCDebug(lcProtocol).noquote() << QStringLiteral("Download Skipping App ") + file->path;
            log(QStringLiteral("Fichier non envoyé, son nom ne peut pas être annoncé au "
                               "terminal : ") +
                file->path);
            return true;
        }
        enterStage(InstallStage::Authorisation);
        if (!getAuthorization())
            return fail(true, QStringLiteral("Erreur autorisation"),
                        fileMessage(name, QStringLiteral(" n'est pas autorisé sur le terminal.")),
                        result);
        enterStage(InstallStage::Download);
        if (load(file))
            return true;
        if (cancelRequested) // the download stopped between two blocks
            return interrupted(result);
        if (attempt >= kDownloadAttempts)
            return fail(true, QStringLiteral("Erreur chargement"), fileMessage(name, cannotLoad),
                        result);
        qCDebug(lcProtocol) << "load false";
        // A reply that comes after its time-out must not answer the next advertisement.
        serialPort->discardUntilQuiet(timing.settleMs);
    }
}

bool Model::activateAndReboot(int count, Totals &totals, InstallResult &result)
{
    showTotal(InstallStage::Activation,
              QStringLiteral("Installation des applications sur le terminal en cours"),
              totals.value);
    showModule(count <= 1 ? QStringLiteral("%1 fichier a été téléchargé").arg(count)
                          : QStringLiteral("%1 fichiers ont été téléchargés").arg(count),
               100);
    if (!activateApplications(count))
        return fail(true, QStringLiteral("Erreur Activation"),
                    QStringLiteral("Au moins un fichier n'a pas pu être installé sur le "
                                   "terminal.") +
                        kRetryOrSupport,
                    result);

    const int rebootValue = totals.value + totals.step;
    showTotal(InstallStage::Reboot, QStringLiteral("Redémarrage du terminal en cours."),
              rebootValue);
    showModule(kPleaseWait, 0);
    // Either frame accepted means the terminal restarts: one that already restarts may leave
    // the second unanswered. Both are always sent.
    const bool first = rebootTerminal();
    const bool second = rebootTerminal();
    ActivatedBatch activated;
    activated.batch = progress.batch;
    activated.rebootAcknowledged = first || second;
    result.activated.append(activated);
    totals.base = rebootValue + totals.step;
    return true;
}

qint64 Model::rebootWaitMs() const
{
    return std::max<qint64>({package()->getDelayReboot(), timing.rebootWaitMinMs, 1});
}

// Measured against a clock: one try at each step of the wait, and a try that takes long (a
// silent terminal costs a whole read time-out) does not lengthen the wait. Each decision reads
// the clock once, so a thread held up past the end of the wait never computes a negative pause.
bool Model::waitForReboot(const QString &portLabel)
{
    enterStage(InstallStage::RebootWait);
    const qint64 wait = rebootWaitMs();
    const qint64 stepMs = std::max(1, timing.rebootStepMs);
    QElapsedTimer clock;
    clock.start();
    for (qint64 due = stepMs;; due += stepMs) {
        const qint64 now = clock.elapsed();
        if (now >= wait)
            break;
        const qint64 until = std::min(due, wait);
        if (now < until)
            QThread::msleep(ulong(until - now));
        else
            due = now; // the last try ran past this step: the next one starts at once
        if (stopWaitingRequested) {
            showModule(kPleaseWait, 100);
            log(QStringLiteral("Attente du retour du terminal abandonnée après %1 ms, à la "
                               "demande de l'utilisateur : le terminal n'a pas été vérifié")
                    .arg(clock.elapsed()));
            return false;
        }
        const qint64 elapsed = std::min(due, wait);
        showModule(kPleaseWait, int(elapsed * 100 / wait));
        if (serialPort->open(currentLabel(portLabel))) {
            // A try is never cut below one step, nor allowed a full time-out at the very end.
            const qint64 left = std::max(wait - elapsed, stepMs);
            const bool back =
                initializeTerminalOnce(int(std::min<qint64>(left, timing.replyTimeoutMs)));
            serialPort->close();
            if (back) {
                showModule(kPleaseWait, 100);
                return true;
            }
        }
    }
    showModule(kPleaseWait, 100);
    log(QStringLiteral("Le terminal n'a pas répondu après son redémarrage (attente de %1 ms)")
            .arg(wait));
    return false;
}
