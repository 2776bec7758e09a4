#pragma once

#include "installresult.h"
#include "system/sleepinhibitor.h"

#include <QString>

// The log entries that whoever drives a Model writes about its reports, the same for the window
// and for the station, so that one daily log reads alike whichever program wrote it.
namespace logtexts {

// "Module : TEXT - VALUE" or "Total : TEXT - VALUE", for the bar named `bar`.
inline QString progress(const QString &bar, const QString &text, int value)
{
    return bar + QStringLiteral(" : ") + text + QStringLiteral(" - ") + QString::number(value);
}

// The outcome of an installation, with the title and message its result box shows.
inline QString result(const QString &title, const QString &message, InstallOutcome outcome)
{
    const QString mark = outcome == InstallOutcome::Updated    ? QStringLiteral("[succès]")
                         : outcome == InstallOutcome::UpToDate ? QStringLiteral("[déjà à jour]")
                         : outcome == InstallOutcome::InstalledUnverified
                             ? QStringLiteral("[à vérifier]")
                             : QStringLiteral("[échec]");
    return title + QStringLiteral(" - ") + message + QStringLiteral(" - ") + mark;
}

// A package that cannot be used; the log line, and the message of its box.
inline QString configurationMissing(const QString &path)
{
    return QStringLiteral("Le fichier de configuration (") + path +
           QStringLiteral(") est manquant ou incorrect.");
}
inline QString configurationMissingMessage(const QString &path)
{
    return configurationMissing(path) + QStringLiteral("\nVeuillez contacter votre support.");
}

// A followed terminal found again under another port, after its reboot; `identity` says how it
// was known (TerminalIdentity::describe: "numéro de série TVX00001", "prise USB 1-2").
inline QString terminalFoundOn(const QString &label, const QString &identity)
{
    return QStringLiteral("Terminal retrouvé sur ") + label + QStringLiteral(" (") + identity +
           QLatin1Char(')');
}

// Why the PC may still go to sleep during an update; the update goes on all the same.
inline QString sleepNotInhibited(SleepInhibitor::Outcome outcome, const QString &detail)
{
    QString why;
    switch (outcome) {
    case SleepInhibitor::Outcome::NoSystemBus:
        why = QStringLiteral("pas de bus système, donc pas de logind");
        break;
    case SleepInhibitor::Outcome::NoLogind:
        why = QStringLiteral("logind absent du bus système");
        break;
    case SleepInhibitor::Outcome::Refused:
    case SleepInhibitor::Outcome::Held:
        why = QStringLiteral("refus de logind");
        break;
    }
    return QStringLiteral("Mise en veille du PC non empêchée (") + why + QStringLiteral(" : ") +
           detail + QStringLiteral(") ; la mise à jour continue");
}

} // namespace logtexts
