#include "installresult.h"
#include "installwords.h"

#include <QDir>

#include <algorithm>

bool InstallResult::rebootAcknowledged() const
{
    return !activated.isEmpty() &&
           std::all_of(activated.begin(), activated.end(),
                       [](const ActivatedBatch &b) { return b.rebootAcknowledged; });
}

bool InstallResult::returned() const
{
    return !activated.isEmpty() && std::all_of(activated.begin(), activated.end(),
                                               [](const ActivatedBatch &b) { return b.returned; });
}

bool InstallResult::verified() const
{
    return checks.size() == batchCount && batchCount > 0 &&
           std::all_of(checks.begin(), checks.end(), [](const BatchCheck &c) {
               return c.state == BatchCheck::State::AlreadyInstalled ||
                      c.state == BatchCheck::State::Verified;
           });
}

QList<int> InstallResult::batchesIn(BatchCheck::State state) const
{
    QList<int> batches;
    for (const BatchCheck &check : checks) {
        if (check.state == state)
            batches << check.batch;
    }
    return batches;
}

QStringList BatchCheck::missingFrom(const QStringList &expected, const QStringList &list)
{
    QStringList missing;
    for (const QString &entry : expected) {
        if (!list.contains(entry))
            missing << entry;
    }
    return missing;
}

QString InstallResult::boxText() const
{
    QString text = message;
    if (!advice.isEmpty())
        text += QLatin1Char('\n') + advice;
    if (!reportFile.isEmpty())
        text += QStringLiteral("\nUn rapport de diagnostic a été enregistré pour le support : ") +
                QDir::toNativeSeparators(reportFile);
    return text;
}

QString stageKey(InstallStage stage)
{
    return keyOf(stage);
}

QString outcomeKey(InstallOutcome outcome)
{
    return keyOf(outcome);
}

QString checkKey(BatchCheck::State state)
{
    switch (state) {
    case BatchCheck::State::NotChecked:
        return QStringLiteral("not-checked");
    case BatchCheck::State::AlreadyInstalled:
        return QStringLiteral("already-installed");
    case BatchCheck::State::Verified:
        return QStringLiteral("verified");
    case BatchCheck::State::Missing:
        return QStringLiteral("missing");
    case BatchCheck::State::Unread:
        return QStringLiteral("unread");
    }
    return QString();
}

QString causeKey(FailureCause cause)
{
    return keyOf(cause);
}

QString openFailureKey(PortDiagnosis::Cause cause)
{
    switch (cause) {
    case PortDiagnosis::Cause::Unknown:
        return QStringLiteral("unknown");
    case PortDiagnosis::Cause::Gone:
        return QStringLiteral("gone");
    case PortDiagnosis::Cause::Busy:
        return QStringLiteral("busy");
    case PortDiagnosis::Cause::NoPermission:
        return QStringLiteral("permission");
    }
    return QString();
}
