// How an installation ends, and how it reports where it stands: the result's values, the texts
// the operator reads and the log entries that end it.
#include "model.h"

#include "link/serialport.h"
#include "model/installation/logtexts.h"

namespace {

// "le lot 2", "les lots 1 à 3", "les lots 1, 3 et 4": batches in scenario order.
QString batchWords(const QList<int> &batches, bool plural)
{
    if (!plural)
        return QStringLiteral("le lot %1").arg(batches.value(0));
    const bool run = batches.last() - batches.first() == batches.size() - 1;
    if (run && batches.size() > 2)
        return QStringLiteral("les lots %1 à %2").arg(batches.first()).arg(batches.last());
    QStringList numbers;
    for (int batch : batches)
        numbers << QString::number(batch);
    const QString last = numbers.takeLast();
    return QStringLiteral("les lots ") + numbers.join(QStringLiteral(", ")) +
           QStringLiteral(" et ") + last;
}

// "du lot 1" or "des lots 1 à 3": the batches the terminal activated.
QString activatedBatches(const QList<int> &batches)
{
    QString words = batchWords(batches, batches.size() > 1);
    return words.startsWith(QStringLiteral("le ")) ? QStringLiteral("du ") + words.mid(3)
                                                   : QStringLiteral("des ") + words.mid(4);
}

QList<int> numbersOf(const QList<ActivatedBatch> &activated)
{
    QList<int> numbers;
    for (const ActivatedBatch &batch : activated)
        numbers << batch.batch;
    return numbers;
}

// The batches that are neither activated nor already on the terminal.
QList<int> notInstalled(const InstallResult &result)
{
    const QList<int> activated = numbersOf(result.activated);
    const QList<int> there = result.batchesIn(BatchCheck::State::AlreadyInstalled);
    QList<int> missing;
    for (int batch = 1; batch <= result.batchCount; ++batch) {
        if (!activated.contains(batch) && !there.contains(batch))
            missing << batch;
    }
    return missing;
}

// "Le lot 1 a été activé sur le terminal ; les lots 2 et 3 n'ont pas été installés."
QString batchesSentence(const InstallResult &result)
{
    const QList<int> activated = numbersOf(result.activated);
    const QList<int> missing = notInstalled(result);
    QString sentence;
    if (!activated.isEmpty()) {
        const bool plural = activated.size() > 1;
        sentence = batchWords(activated, plural) +
                   (plural ? QStringLiteral(" ont été activés sur le terminal")
                           : QStringLiteral(" a été activé sur le terminal"));
        sentence[0] = sentence[0].toUpper();
    }
    if (!missing.isEmpty()) {
        const bool plural = missing.size() > 1;
        QString rest = batchWords(missing, plural) +
                       (plural ? QStringLiteral(" n'ont pas été installés")
                               : QStringLiteral(" n'a pas été installé"));
        if (sentence.isEmpty())
            rest[0] = rest[0].toUpper();
        sentence += (sentence.isEmpty() ? QString() : QStringLiteral(" ; ")) + rest;
    }
    return sentence.isEmpty() ? QString() : sentence + QLatin1Char('.');
}

// "PAIEMENT120400 et MIRANDOL0301".
QString entries(const QStringList &list)
{
    if (list.size() <= 1)
        return list.value(0);
    return QStringList(list.mid(0, list.size() - 1)).join(QStringLiteral(", ")) +
           QStringLiteral(" et ") + list.last();
}

// Why the restart of the activated batches went unconfirmed; empty when it went well.
QString restartProblem(const InstallResult &result)
{
    const QString wait = QStringLiteral("les %1 secondes").arg((result.rebootWaitMs + 999) / 1000);
    bool stopped = false;
    bool restarted = true;
    for (const ActivatedBatch &batch : result.activated) {
        stopped = stopped || batch.waitStopped;
        restarted = restarted && (batch.restarted || batch.returned);
    }
    QString why;
    if (stopped)
        why = QStringLiteral("l'attente de son retour a été abandonnée à la demande de "
                             "l'utilisateur.");
    else if (result.rebootAcknowledged() && result.returned())
        return QString();
    else if (!result.rebootAcknowledged() && result.returned())
        why = QStringLiteral("il n'a pas confirmé son redémarrage.");
    else if (!result.rebootAcknowledged() && !restarted)
        why = QStringLiteral("il n'a pas confirmé son redémarrage et a continué de répondre sans "
                             "redémarrer.");
    else if (!result.rebootAcknowledged())
        why = QStringLiteral("il n'a pas confirmé son redémarrage, puis n'a pas répondu pendant ") +
              wait + QStringLiteral(" d'attente.");
    else if (!restarted)
        why = QStringLiteral("il a confirmé son redémarrage, mais a continué de répondre sans "
                             "redémarrer pendant ") +
              wait + QStringLiteral(" d'attente.");
    else
        why = QStringLiteral("il n'a pas répondu dans ") + wait +
              QStringLiteral(" qui ont suivi son redémarrage.");
    return QStringLiteral("Les fichiers ont été installés, mais le terminal n'a pas redémarré "
                          "comme prévu : ") +
           why;
}

// What the terminal lists against what the batches declare, for those it does not list.
QString listProblem(const InstallResult &result, bool restartSaid)
{
    QStringList parts;
    for (const BatchCheck &check : result.checks) {
        if (check.state == BatchCheck::State::Missing)
            parts << QStringLiteral("après le lot %1, il devait lister %2 ; il liste %3")
                         .arg(check.batch)
                         .arg(entries(check.expected),
                              check.listed.isEmpty() ? QStringLiteral("aucune application")
                                                     : check.listed.join(QStringLiteral(", ")));
        else if (check.state == BatchCheck::State::Unread)
            parts << QStringLiteral("après le lot %1, il devait lister %2 ; sa liste des "
                                    "applications n'a pas pu être lue")
                         .arg(check.batch)
                         .arg(entries(check.expected));
    }
    if (parts.isEmpty())
        return QString();
    return (restartSaid ? QStringLiteral("Sa mise à jour n'est pas vérifiée non plus : ")
                        : QStringLiteral("Les fichiers ont été installés et le terminal a "
                                         "redémarré, mais sa mise à jour n'est pas vérifiée : ")) +
           parts.join(QStringLiteral(" ; ")) + QLatin1Char('.');
}

// The box of a terminal whose files were activated but whose update went unconfirmed: its
// restart, what it lists, and the batches it did not get.
QString unverifiedMessage(const InstallResult &result)
{
    QStringList parts;
    const QString restart = restartProblem(result);
    if (!restart.isEmpty())
        parts << restart;
    const QString list = listProblem(result, !restart.isEmpty());
    if (!list.isEmpty())
        parts << list;
    if (!notInstalled(result).isEmpty())
        parts << batchesSentence(result);
    return parts.join(QLatin1Char('\n')) +
           QStringLiteral("\nVérifiez le terminal avant de le remettre en service.");
}

// The entries the terminal was seen to list, batch after batch.
QStringList listedEntries(const InstallResult &result)
{
    QStringList all;
    for (const BatchCheck &check : result.checks) {
        if (check.state == BatchCheck::State::Verified ||
            check.state == BatchCheck::State::AlreadyInstalled)
            all << check.expected;
    }
    all.removeDuplicates();
    return all;
}

} // namespace

void Model::finished(InstallResult &result)
{
    // Every batch activated or already there; all is well only if each reboot was acknowledged,
    // the terminal came back after it, and it lists what each batch declares.
    result.stage = InstallStage::Finished;
    const QList<int> there = result.batchesIn(BatchCheck::State::AlreadyInstalled);
    if (result.activated.isEmpty() && there.size() == result.batchCount) {
        showTotal(InstallStage::Finished, QStringLiteral("Terminal déjà à jour"), 100);
        result.outcome = InstallOutcome::UpToDate;
        result.title = QStringLiteral("Terminal déjà à jour");
        result.message = QStringLiteral("Le terminal liste déjà ") +
                         entries(listedEntries(result)) +
                         QStringLiteral(" : il est déjà à jour, rien ne lui a été envoyé.");
        return;
    }
    const bool listed = result.batchesIn(BatchCheck::State::Missing).isEmpty() &&
                        result.batchesIn(BatchCheck::State::Unread).isEmpty();
    if (result.rebootAcknowledged() && result.returned() && listed) {
        showTotal(InstallStage::Finished, QStringLiteral("Installation réalisée avec succès"), 100);
        result.outcome = InstallOutcome::Updated;
        result.title = QStringLiteral("Installation réalisée avec succès");
        result.message = QStringLiteral("Le terminal a été correctement mis à jour.");
        const QStringList verified = listedEntries(result);
        if (!verified.isEmpty())
            result.message += QStringLiteral("\nMise à jour vérifiée : le terminal liste ") +
                              entries(verified) + QLatin1Char('.');
    } else {
        showTotal(InstallStage::Finished,
                  QStringLiteral("Installation réalisée, terminal à vérifier"), 100);
        result.outcome = InstallOutcome::InstalledUnverified;
        result.title = QStringLiteral("Terminal installé, à vérifier");
        result.message = unverifiedMessage(result);
    }
}

bool Model::stoppedUnverified(InstallResult &result)
{
    result.outcome = InstallOutcome::InstalledUnverified;
    result.stage = progress.stage;
    result.cause = FailureCause::None;
    result.title = QStringLiteral("Terminal installé, à vérifier");
    result.message = unverifiedMessage(result);
    showTotal(progress.stage, QStringLiteral("Installation arrêtée, terminal à vérifier"), 100);
    log(QStringLiteral("Installation arrêtée après le lot %1, sur %2 lots : les lots suivants ne "
                       "sont pas envoyés à un terminal dont la mise à jour n'est pas vérifiée")
            .arg(progress.batch)
            .arg(result.batchCount));
    return false;
}

void Model::sayBatches(InstallResult &result) const
{
    if (result.activated.isEmpty())
        return;
    if (!result.message.endsWith(QLatin1Char('\n')))
        result.message += QLatin1Char('\n');
    result.message += batchesSentence(result);
}

void Model::logResult(InstallResult &result)
{
    log(figures::durationsLine(result.figures));
    for (const DownloadFigures &download : result.figures.downloads)
        log(figures::downloadLine(download));
    log(logtexts::result(result.title, result.message, result.outcome));
    if (!result.causeLine.isEmpty())
        log(result.causeLine);
    lastResult = result;
    if (!result.success())
        result.reportFile = lastResult->reportFile = writeReportAbout(&*lastResult);
    capture.end();
}

void Model::failed(FailureCause cause, InstallResult &result)
{
    result.outcome = InstallOutcome::Failed;
    result.stage = progress.stage;
    result.cause = cause;
    if (cause == FailureCause::NoAnswer) {
        result.causeLine = QStringLiteral("Cause de l'échec : le terminal ne répond plus, aucune "
                                          "réponse n'est arrivée à la dernière demande");
        result.advice = QStringLiteral("Le terminal ne répond plus : vérifiez le câble qui le "
                                       "relie au PC, puis appuyez de nouveau sur « Démarrer la "
                                       "mise à jour ».");
    }
}

bool Model::interrupted(InstallResult &result)
{
    serialPort->close();
    result.outcome = InstallOutcome::Interrupted;
    result.stage = progress.stage;
    result.cause = FailureCause::None;
    result.title = QStringLiteral("Installation interrompue");
    const QList<int> activated = numbersOf(result.activated);
    if (activated.isEmpty()) {
        log(QStringLiteral("Installation interrompue avant l'activation des fichiers"));
        result.message = QStringLiteral("L'installation a été interrompue avant l'activation des "
                                        "fichiers.\nVeuillez relancer la mise à jour du terminal.");
    } else {
        log(QStringLiteral("Installation interrompue après l'activation des fichiers %1, sur %2 "
                           "lots")
                .arg(activatedBatches(activated))
                .arg(result.batchCount));
        result.message = QStringLiteral("L'installation a été interrompue après l'activation des "
                                        "fichiers %1, avant celle des lots suivants (%2 lots en "
                                        "tout).\nVeuillez relancer la mise à jour du terminal.")
                             .arg(activatedBatches(activated))
                             .arg(result.batchCount);
    }
    return false;
}

void Model::showTotal(InstallStage stage, const QString &text, int value)
{
    emit setTotalProgression(text, value);
    enterStage(stage);
}

void Model::showModule(const QString &text, int value)
{
    emit setModuleProgression(text, value);
    progress.percent = value;
    emit progressReported(progress);
}

void Model::enterStage(InstallStage stage)
{
    progress.stage = stage;
    progress.percent = -1;
    meter.enter(progress);
    emit progressReported(progress);
}
