#include "report.h"

#include "figuresjson.h"
#include "model/installation/installwords.h"
#include "system/printable.h"
#include "system/savedfile.h"
#include "system/wallclock.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryFile>

namespace report {

namespace {

QString duration(double seconds)
{
    const int whole = int(seconds);
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
}

double perSecond(const JobResult &result)
{
    return result.seconds > 0 ? double(result.bytesSent) / result.seconds : 0.0;
}

// The port a terminal ended on, and the one it was found on when it changed.
QString portColumn(const JobResult &result)
{
    return result.port == result.startPort ? printable::text(result.port)
                                           : printable::text(result.startPort) +
                                                 QStringLiteral(" > ") +
                                                 printable::text(result.port);
}

QJsonValue time(const QDateTime &at)
{
    return at.isValid() ? QJsonValue(wallclock::iso(at)) : QJsonValue();
}

// The result as the window's title says it, with the cause the window's box would add.
QString resultColumn(const JobResult &result)
{
    const InstallResult &end = result.installation;
    QString cause;
    if (end.cause == FailureCause::NoAnswer) {
        cause = shortLabelOf(FailureCause::NoAnswer);
    } else if (end.cause == FailureCause::PortUnavailable) {
        switch (end.openFailure) {
        case PortDiagnosis::Cause::Busy:
            cause = QStringLiteral("port occupé");
            break;
        case PortDiagnosis::Cause::NoPermission:
            cause = QStringLiteral("accès refusé");
            break;
        case PortDiagnosis::Cause::Gone:
            cause = QStringLiteral("débranché");
            break;
        case PortDiagnosis::Cause::Unknown:
            break;
        }
    }
    return cause.isEmpty() ? result.title
                           : result.title + QStringLiteral(" (") + cause + QLatin1Char(')');
}

// A key, or null when there is none.
QJsonValue keyOrNull(const QString &key)
{
    return key.isEmpty() ? QJsonValue() : QJsonValue(key);
}

// A list of texts, or null when it was not read.
QJsonValue listOrNull(bool read, const QStringList &entries)
{
    return read ? QJsonValue(QJsonArray::fromStringList(entries)) : QJsonValue();
}

// What each batch that declares entries showed: what it expects, how it ended, and the list it
// was judged on.
QJsonArray checksJson(const InstallResult &end)
{
    QJsonArray checks;
    for (const BatchCheck &check : end.checks) {
        const bool judged = check.state == BatchCheck::State::AlreadyInstalled ||
                            check.state == BatchCheck::State::Verified ||
                            check.state == BatchCheck::State::Missing;
        checks.append(QJsonObject{
            {QStringLiteral("batch"), check.batch},
            {QStringLiteral("expected"), QJsonArray::fromStringList(check.expected)},
            {QStringLiteral("state"), checkKey(check.state)},
            {QStringLiteral("listed"), listOrNull(judged, check.listed)},
        });
    }
    return checks;
}

} // namespace

QString rate(double bytesPerSecond)
{
    if (bytesPerSecond <= 0)
        return QStringLiteral("-");
    if (bytesPerSecond < 10000)
        return QString::number(qRound(bytesPerSecond)) + QStringLiteral(" o/s");
    return QString::number(bytesPerSecond / 1000.0, 'f', 1).replace(QLatin1Char('.'),
                                                                     QLatin1Char(',')) +
           QStringLiteral(" Ko/s");
}

QString table(const QList<JobResult> &terminals)
{
    const QStringList header{QStringLiteral("Port"),  QStringLiteral("N° de série"),
                             QStringLiteral("Résultat"), QStringLiteral("Durée"),
                             QStringLiteral("Octets envoyés"), QStringLiteral("Débit")};
    QList<QStringList> rows{header};
    for (const JobResult &r : terminals)
        rows.append({portColumn(r),
                     r.serialNumber.isEmpty() ? QStringLiteral("-") : printable::text(r.serialNumber),
                     resultColumn(r), duration(r.seconds), QString::number(r.bytesSent),
                     rate(perSecond(r))});
    QList<int> widths;
    for (int c = 0; c < header.size(); ++c) {
        int width = 0;
        for (const QStringList &row : rows)
            width = qMax(width, int(row.at(c).size()));
        widths << width;
    }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (int c = 0; c < row.size(); ++c) {
            // Numbers to the right, words to the left.
            line += c >= 3 ? row.at(c).rightJustified(widths.at(c))
                           : row.at(c).leftJustified(widths.at(c));
            line += QStringLiteral("  ");
        }
        text += line.trimmed() + QLatin1Char('\n');
    }
    return text;
}

QString counts(const QList<JobResult> &terminals)
{
    int updated = 0, upToDate = 0, unverified = 0, failed = 0;
    for (const JobResult &r : terminals) {
        switch (r.installation.outcome) {
        case InstallOutcome::Updated:
            ++updated;
            break;
        case InstallOutcome::UpToDate:
            ++upToDate;
            break;
        case InstallOutcome::InstalledUnverified:
            ++unverified;
            break;
        case InstallOutcome::Failed:
        case InstallOutcome::Interrupted:
            ++failed;
            break;
        }
    }
    // An interrupted terminal counts among the failures.
    return QStringLiteral("Terminaux : %1 %2, %3 %4, %5 %6, %7 %8")
        .arg(QString::number(updated), shortLabelOf(InstallOutcome::Updated),
             QString::number(upToDate), shortLabelOf(InstallOutcome::UpToDate),
             QString::number(unverified), shortLabelOf(InstallOutcome::InstalledUnverified),
             QString::number(failed), shortLabelOf(InstallOutcome::Failed));
}

QJsonObject terminalJson(const JobResult &r)
{
    const InstallResult &end = r.installation;
    const bool rebooted = !end.activated.isEmpty(); // a reboot was asked for
    QJsonArray activated;
    for (const ActivatedBatch &batch : end.activated)
        activated.append(batch.batch);
    QJsonObject fields{
        {QStringLiteral("port"), r.port},
        {QStringLiteral("startPort"), r.startPort},
        {QStringLiteral("serialNumber"), r.serialNumber},
        {QStringLiteral("success"), r.success},
        {QStringLiteral("outcome"), outcomeKey(end.outcome)},
        {QStringLiteral("stage"), stageKey(end.stage)},
        {QStringLiteral("cause"), keyOrNull(causeKey(end.cause))},
        {QStringLiteral("openFailure"), end.cause == FailureCause::PortUnavailable
                                            ? QJsonValue(openFailureKey(end.openFailure))
                                            : QJsonValue()},
        {QStringLiteral("activatedBatches"), activated},
        {QStringLiteral("rebootAcknowledged"),
         rebooted ? QJsonValue(end.rebootAcknowledged()) : QJsonValue()},
        {QStringLiteral("returned"), rebooted ? QJsonValue(end.returned()) : QJsonValue()},
        {QStringLiteral("verified"),
         end.declaresEntries() ? QJsonValue(end.verified()) : QJsonValue()},
        {QStringLiteral("batchChecks"), checksJson(end)},
        {QStringLiteral("reinstall"), end.reinstall},
        {QStringLiteral("applicationsBefore"),
         listOrNull(end.applicationsBeforeRead, end.applicationsBefore)},
        {QStringLiteral("applicationsAfter"),
         listOrNull(end.applicationsAfterRead, end.applicationsAfter)},
        {QStringLiteral("result"), r.title},
        {QStringLiteral("message"), r.message},
        {QStringLiteral("start"), time(r.started)},
        {QStringLiteral("end"), time(r.ended)},
        {QStringLiteral("durationSeconds"), qRound(r.seconds * 10) / 10.0},
        {QStringLiteral("bytesSent"), double(r.bytesSent)},
        {QStringLiteral("bytesPerSecond"), qRound(perSecond(r))},
    };
    // Where the time went, and the report written about the terminal.
    const QJsonObject figures = figuresjson::fields(end);
    for (auto it = figures.begin(); it != figures.end(); ++it)
        fields.insert(it.key(), it.value());
    return fields;
}

QJsonObject packageJson(const Package &package)
{
    return QJsonObject{
        {QStringLiteral("package"), package.directory},
        {QStringLiteral("packageTitle"), package.title},
        {QStringLiteral("packageVerdict"), package.verdict},
        {QStringLiteral("packageValid"), package.valid},
        {QStringLiteral("configurationSha256"), package.configurationSha256},
    };
}

bool writeJson(const QString &path, const Run &run, QString &error)
{
    QJsonArray terminals;
    for (const JobResult &r : run.terminals)
        terminals.append(terminalJson(r));
    QJsonObject root = packageJson(run.package);
    root.insert(QStringLiteral("developmentKeys"), run.developmentKeys);
    root.insert(QStringLiteral("interrupted"), run.interrupted);
    root.insert(QStringLiteral("exitStatus"), run.exitStatus);
    root.insert(QStringLiteral("terminals"), terminals);
    if (!run.publishing.isEmpty())
        root.insert(QStringLiteral("publish"), run.publishing);
    QString why;
    if (!savedfile::write(path, QJsonDocument(root).toJson(QJsonDocument::Indented),
                          savedfile::Existing::Replace, why)) {
        error = QStringLiteral("le bilan JSON ne peut pas être écrit dans %1 : %2")
                    .arg(QDir::toNativeSeparators(path), why);
        return false;
    }
    return true;
}

bool checkWritable(const QString &path, QString &error)
{
    const QFileInfo target(path);
    const QString folder = QDir::toNativeSeparators(target.absolutePath());
    if (savedfile::isLink(path, error))
        return false;
    if (target.isDir()) {
        error = QStringLiteral("%1 est un dossier").arg(QDir::toNativeSeparators(path));
        return false;
    }
    if (!QFileInfo(target.absolutePath()).isDir()) {
        error = QStringLiteral("le dossier %1 n'existe pas").arg(folder);
        return false;
    }
    // A file really made there: the only sure answer (root passes every permission check, a
    // read-only file system does not show in the folder's mode).
    QTemporaryFile probe(target.absolutePath() + QStringLiteral("/.vardel-station-XXXXXX"));
    if (!probe.open()) {
        error = QStringLiteral("impossible de créer un fichier dans le dossier %1 (%2)")
                    .arg(folder, probe.errorString());
        return false;
    }
    return true;
}

} // namespace report
