#include "installresult.h"

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
    switch (stage) {
    case InstallStage::Starting:
        return QStringLiteral("starting");
    case InstallStage::Opening:
        return QStringLiteral("opening");
    case InstallStage::Initialising:
        return QStringLiteral("initialisation");
    case InstallStage::ReceivingApplication:
        return QStringLiteral("receiving-application");
    case InstallStage::HardwareRead:
        return QStringLiteral("hardware-read");
    case InstallStage::HardwareCheck:
        return QStringLiteral("hardware-check");
    case InstallStage::ApplicationList:
        return QStringLiteral("application-list");
    case InstallStage::Advertisement:
        return QStringLiteral("advertisement");
    case InstallStage::Authorisation:
        return QStringLiteral("authorisation");
    case InstallStage::Download:
        return QStringLiteral("download");
    case InstallStage::Activation:
        return QStringLiteral("activation");
    case InstallStage::Reboot:
        return QStringLiteral("reboot");
    case InstallStage::RebootWait:
        return QStringLiteral("reboot-wait");
    case InstallStage::Finished:
        return QStringLiteral("finished");
    }
    return QString();
}

QString outcomeKey(InstallOutcome outcome)
{
    switch (outcome) {
    case InstallOutcome::Updated:
        return QStringLiteral("updated");
    case InstallOutcome::InstalledUnverified:
        return QStringLiteral("installed-unverified");
    case InstallOutcome::Failed:
        return QStringLiteral("failed");
    case InstallOutcome::Interrupted:
        return QStringLiteral("interrupted");
    }
    return QString();
}

QString causeKey(FailureCause cause)
{
    switch (cause) {
    case FailureCause::None:
        return QString();
    case FailureCause::Package:
        return QStringLiteral("package");
    case FailureCause::Mismatch:
        return QStringLiteral("hardware-mismatch");
    case FailureCause::PortUnavailable:
        return QStringLiteral("port-unavailable");
    case FailureCause::Refused:
        return QStringLiteral("refused");
    case FailureCause::BadReply:
        return QStringLiteral("bad-reply");
    case FailureCause::NoAnswer:
        return QStringLiteral("no-answer");
    }
    return QString();
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
