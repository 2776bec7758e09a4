#pragma once

#include "installresult.h"

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
    const QString mark = outcome == InstallOutcome::Updated ? QStringLiteral("[succès]")
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

} // namespace logtexts
