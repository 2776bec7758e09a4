#include "installfigures.h"

#include "installresult.h"
#include "installwords.h"

#include <QtMath>

#include <algorithm>

double DownloadFigures::bytesPerSecond() const
{
    return durationMs > 0 ? double(bytes) * 1000.0 / double(durationMs) : 0.0;
}

double DownloadFigures::lineShare() const
{
    return bytesPerSecond() / kLineBytesPerSecond;
}

qint64 InstallFigures::stageMs(InstallStage stage) const
{
    qint64 sum = 0;
    for (const StageTiming &timing : stages) {
        if (timing.stage == stage)
            sum += timing.durationMs;
    }
    return sum;
}

namespace figures {

QString durationsLine(const InstallFigures &figures)
{
    // Every stage that ran, in the scenario's order; the start and the end take no time of
    // their own worth telling.
    QStringList parts;
    for (int s = int(InstallStage::Opening); s <= int(InstallStage::Verification); ++s) {
        const auto stage = InstallStage(s);
        const bool ran = std::any_of(figures.stages.begin(), figures.stages.end(),
                                     [stage](const StageTiming &t) { return t.stage == stage; });
        if (ran)
            parts << QStringLiteral("%1 %2 ms").arg(logLabelOf(stage)).arg(figures.stageMs(stage));
    }
    QString line = QStringLiteral("Durées de l'installation : ");
    if (!parts.isEmpty())
        line += parts.join(QStringLiteral(", ")) + QStringLiteral(" ; ");
    return line + QStringLiteral("total %1 ms").arg(figures.totalMs);
}

QString downloadLine(const DownloadFigures &d)
{
    // The name goes in last: a file name is the package maker's, and may hold a '%'.
    const QString where = QStringLiteral(" (lot %1, fichier %2, essai %3%4) : ")
                              .arg(d.batch)
                              .arg(d.file)
                              .arg(d.attempt)
                              .arg(d.complete ? QString() : QStringLiteral(", inachevé"));
    const QString figuresText =
        QStringLiteral("%1 octets sur %2 en %3 ms, %4 o/s, %5 % des %6 o/s de la ligne ; blocs : "
                       "%7, renvois (ACK_NOK) : %8, réponses endommagées : %9, délais dépassés : ")
            .arg(d.bytes)
            .arg(d.length)
            .arg(d.durationMs)
            .arg(qRound(d.bytesPerSecond()))
            .arg(qRound(d.lineShare() * 100))
            .arg(DownloadFigures::kLineBytesPerSecond)
            .arg(d.blocks)
            .arg(d.resends)
            .arg(d.damaged) +
        QString::number(d.timeouts);
    return QStringLiteral("Téléchargement de ") + d.fileName + where + figuresText;
}

} // namespace figures
