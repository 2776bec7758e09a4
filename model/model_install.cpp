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
    result.reinstall = reinstall;
    failure = FailureCause::None;
    if (batches.isEmpty()) {
        result.title = QStringLiteral("Erreur fichier de configuration");
        result.message = QStringLiteral("Le fichier de configuration ne contient pas de scénario");
        failed(FailureCause::Package, result);
        log(result.message);
        return;
    }
    for (int k = 0; k < batches.size(); ++k) {
        if (!batches.at(k)->expected.isEmpty())
            result.checks.append({k + 1, batches.at(k)->expected, BatchCheck::State::NotChecked,
                                  QStringList()});
    }
    if (reinstall)
        log(QStringLiteral("Réinstallation demandée : chaque lot est envoyé, même si le terminal "
                           "le liste déjà"));
    Totals totals;
    totals.step = 10 / batches.size();
    showTotal(InstallStage::Starting, QStringLiteral("Démarrage de l'installation"), 0);

    // A session serves the batches that the terminal already lists, and the next one after
    // them; a batch that is sent ends its session with its reboot.
    bool session = false;
    bool ended = false; // a failure, an interruption or a stop has said how it ended
    for (const Batch *batch : batches) {
        ++progress.batch;
        if (cancelRequested) {
            (void)interrupted(result);
            ended = true;
            break;
        }
        if (session) {
            totals.value = totals.base + 5 * totals.step; // where the application list left it
        } else {
            if (!openBatch(portLabel, totals, result)) {
                ended = true;
                break;
            }
            session = true;
            if (!result.applicationsBeforeRead) {
                result.applicationsBefore = applications;
                result.applicationsBeforeRead = true;
            }
        }
        if (alreadyInstalled(*batch, result)) {
            totals.base += 9 * totals.step; // a batch's share of the total bar
            continue;
        }
        session = false; // the batch's reboot ends it
        if (!installBatch(*batch, portLabel, totals, result)) {
            ended = true;
            break;
        }
        // No later batch on a terminal that did not come back, or does not list this one.
        const ActivatedBatch &done = result.activated.last();
        const bool listed = std::none_of(result.checks.begin(), result.checks.end(),
                                         [&done](const BatchCheck &c) {
                                             return c.batch == done.batch &&
                                                    c.state != BatchCheck::State::Verified;
                                         });
        if ((!done.returned || !listed) && progress.batch < batches.size()) {
            (void)(cancelRequested ? interrupted(result) : stoppedUnverified(result));
            ended = true;
            break;
        }
    }
    if (session)
        serialPort->close();
    result.port = currentLabel(portLabel);
    if (!ended)
        finished(result);
    else if (result.outcome == InstallOutcome::Failed)
        sayBatches(result);
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

bool Model::openBatch(const QString &portLabel, Totals &totals, InstallResult &result)
{
    totals.value = totals.base + totals.step;
    showTotal(InstallStage::Opening, QStringLiteral("Tentative d'accès au terminal"), totals.value);
    showModule(kPleaseWait, 0);
    if (!openForInstallation(portLabel, result)) {
        result.title = QStringLiteral("Erreur ouverture");
        result.message = QStringLiteral("Le terminal sélectionné n'est pas disponible.\nVeuillez "
                                        "fermer toutes les applications et réessayer ou "
                                        "contacter le support.");
        return false;
    }
    return openSession(totals, result);
}

bool Model::alreadyInstalled(const Batch &batch, InstallResult &result)
{
    if (batch.expected.isEmpty() || !applicationsRead ||
        !BatchCheck::missingFrom(batch.expected, applications).isEmpty())
        return false;
    const QString listed = QStringLiteral("lot %1 déjà installé : le terminal liste ")
                               .arg(progress.batch) +
                           batch.expected.join(QStringLiteral(", "));
    if (reinstall) {
        log(listed + QStringLiteral(" ; réinstallation demandée, il est envoyé de nouveau"));
        return false;
    }
    log(listed);
    for (BatchCheck &check : result.checks) {
        if (check.batch == progress.batch) {
            check.state = BatchCheck::State::AlreadyInstalled;
            check.listed = applications;
        }
    }
    return true;
}

// One batch on its session: its files, the activation, the reboot, the wait for the terminal
// and the check of what it lists.
bool Model::installBatch(const Batch &batch, const QString &portLabel, Totals &totals,
                         InstallResult &result)
{
    const QList<Application *> &files = batch.files;
    const int count = files.size();
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
    waitForReboot(portLabel, activated);
    if (activated.returned && !batch.expected.isEmpty())
        verifyBatch(batch, totals.base - totals.step, result);
    else if (activated.returned)
        serialPort->close();
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
        if (!sendInfo(file))
            return fail(true, QStringLiteral("Erreur Information"), fileMessage(name, cannotLoad),
                        result);
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
//
// A terminal has come back once it has restarted, which shows as a try it does not answer at
// all or a port that will not open (a USB terminal's port goes away while it restarts), and
// then gives a whole, valid answer: one that answers at once has not restarted yet (it may do
// so seconds later), and a stray byte is no answer.
void Model::waitForReboot(const QString &portLabel, ActivatedBatch &batch)
{
    enterStage(InstallStage::RebootWait);
    const qint64 wait = rebootWaitMs();
    const qint64 stepMs = std::max(1, timing.rebootStepMs);
    bool garbled = false; // a reply that did not count was logged
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
            batch.waitStopped = true;
            return;
        }
        const qint64 elapsed = std::min(due, wait);
        showModule(kPleaseWait, int(elapsed * 100 / wait));
        if (!serialPort->open(currentLabel(portLabel))) {
            batch.restarted = true; // away: restarting
            continue;
        }
        // A try is never cut below one step, nor allowed a full time-out at the very end.
        const qint64 left = std::max(wait - elapsed, stepMs);
        const InitAnswer answer =
            answerInitialisation(int(std::min<qint64>(left, timing.rebootTryTimeoutMs)));
        if (answer == InitAnswer::Valid && batch.restarted) {
            batch.answered = batch.returned = true;
            showModule(kPleaseWait, 100);
            return; // the port stays open for what follows
        }
        serialPort->close();
        if (answer == InitAnswer::Valid && !batch.answered)
            log(QStringLiteral("Le terminal répond encore : il n'a pas encore redémarré"));
        else if (answer == InitAnswer::Garbled && !garbled)
            log(QStringLiteral("Réponse incomplète ou endommagée du terminal à l'initialisation "
                               "pendant l'attente de son retour : elle ne compte pas"));
        garbled = garbled || answer == InitAnswer::Garbled;
        batch.answered = batch.answered || answer == InitAnswer::Valid;
        batch.restarted = batch.restarted || answer == InitAnswer::None;
    }
    showModule(kPleaseWait, 100);
    if (batch.answered && !batch.restarted)
        log(QStringLiteral("Le terminal a continué de répondre sans redémarrer (attente de %1 "
                           "ms)")
                .arg(wait));
    else
        log(QStringLiteral("Le terminal n'a pas répondu après son redémarrage (attente de %1 ms)")
                .arg(wait));
}

void Model::verifyBatch(const Batch &batch, int value, InstallResult &result)
{
    BatchCheck *check = nullptr;
    for (BatchCheck &c : result.checks)
        check = c.batch == progress.batch ? &c : check;
    if (!check) {
        serialPort->close();
        return;
    }
    showTotal(InstallStage::Verification,
              QStringLiteral("Vérification des applications installées sur le terminal"),
              value);
    const bool read = isVardelOnTerminal() && getApplications();
    serialPort->close();
    result.applicationsAfter = applications;
    result.applicationsAfterRead = read;
    const QString expected = batch.expected.join(QStringLiteral(", "));
    if (!read) {
        check->state = BatchCheck::State::Unread;
        log(QStringLiteral("Lot %1 à vérifier : le terminal devait lister %2 ; sa liste des "
                           "applications n'a pas pu être lue après son redémarrage")
                .arg(progress.batch)
                .arg(expected));
        return;
    }
    check->listed = applications;
    const QString listed = applications.isEmpty() ? QStringLiteral("aucune application")
                                                  : applications.join(QStringLiteral(", "));
    if (check->missing().isEmpty()) {
        check->state = BatchCheck::State::Verified;
        log(QStringLiteral("Lot %1 vérifié : le terminal liste %2").arg(progress.batch).arg(expected));
    } else {
        check->state = BatchCheck::State::Missing;
        log(QStringLiteral("Lot %1 à vérifier : le terminal devait lister %2 ; il liste %3")
                .arg(progress.batch)
                .arg(expected, listed));
    }
}
