// How an installation ends, and how it reports where it stands: the result's values, the texts
// the operator reads and the log entries that end it.
#include "model.h"

#include "link/serialport.h"
#include "logtexts.h"

namespace {

// "du lot 1" or "des lots 1 à 3": the batches activated so far, always the first ones.
QString activatedBatches(int count)
{
    return count == 1 ? QStringLiteral("du lot 1") : QStringLiteral("des lots 1 à %1").arg(count);
}

// The box of a terminal whose files were activated but whose restart went unconfirmed.
QString unverifiedMessage(const InstallResult &result)
{
    const QString wait = QStringLiteral("les %1 secondes").arg((result.rebootWaitMs + 999) / 1000);
    bool stopped = false;
    for (const ActivatedBatch &batch : result.activated)
        stopped = stopped || batch.waitStopped;
    QString why;
    if (stopped)
        why = QStringLiteral("l'attente de son retour a été abandonnée à la demande de "
                             "l'utilisateur.");
    else if (!result.rebootAcknowledged() && !result.returned())
        why = QStringLiteral("il n'a pas confirmé son redémarrage, puis n'a pas répondu pendant ") +
              wait + QStringLiteral(" d'attente.");
    else if (!result.rebootAcknowledged())
        why = QStringLiteral("il n'a pas confirmé son redémarrage.");
    else
        why = QStringLiteral("il n'a pas répondu dans ") + wait +
              QStringLiteral(" qui ont suivi son redémarrage.");
    return QStringLiteral("Les fichiers ont été installés, mais le terminal n'a pas redémarré "
                          "comme prévu : ") +
           why + QStringLiteral("\nVérifiez le terminal avant de le remettre en service.");
}

} // namespace

void Model::finished(InstallResult &result)
{
    // Every batch activated; all is well only if each reboot was acknowledged and the terminal
    // came back after it.
    result.stage = InstallStage::Finished;
    if (result.rebootAcknowledged() && result.returned()) {
        showTotal(InstallStage::Finished, QStringLiteral("Installation réalisée avec succès"), 100);
        result.outcome = InstallOutcome::Updated;
        result.title = QStringLiteral("Installation réalisée avec succès");
        result.message = QStringLiteral("Le terminal a été correctement mis à jour.");
    } else {
        showTotal(InstallStage::Finished,
                  QStringLiteral("Installation réalisée, terminal à vérifier"), 100);
        result.outcome = InstallOutcome::InstalledUnverified;
        result.title = QStringLiteral("Terminal installé, à vérifier");
        result.message = unverifiedMessage(result);
    }
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
    const int activated = result.activated.size();
    if (activated == 0) {
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
