#pragma once

#include <QString>
#include <QStringList>

// What a report says of the PC the program runs on: the system, the user and what decides
// whether the user may open a terminal's port (the groups, our udev rules, ModemManager).
struct SystemSurvey
{
    QString system;  // "Debian GNU/Linux 12 (bookworm)"
    QString kernel;  // "linux 6.1.0-18-amd64 (x86_64)"
    QString host;
    QString user;    // "operateur (uid 1000)"
    QStringList groups;
    QStringList udevRules;   // our rule files where udev reads them; none: not installed
    qint64 modemManager = 0; // the process ID of a running ModemManager; 0: none seen

    // Looks at the system now.
    static SystemSurvey take();

    // The udev rules the vardel package installs, and the folders udev reads rules from.
    static const QStringList kRuleFiles;
    static const QStringList kRuleFolders;
};
