#pragma once

#include <QString>
#include <QStringList>

// The command line of vardel-station.
struct StationOptions
{
    QString packageDir; // --package; empty: the configuration folder beside the program
    QStringList ports;  // --port, repeatable: only these (names like ttyACM0, or whole labels)
    QString jsonFile;   // --json: the summary for automation
    bool list = false;  // --list: show the terminals and the package verdict, install nothing
    bool help = false;
};

// Parses the arguments after the program name; on failure `error` says why, in French.
[[nodiscard]] bool parseStationOptions(const QStringList &arguments, StationOptions &options,
                                       QString &error);
QString stationUsage();
