#pragma once

#include "station/stationsettings.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The command line of vardel-station: the station's settings (--package, --port, --json,
// --journal, --wait, --watch, --list, --reinstall, --publish, --publish-ca, --flush,
// --republish, --publish-insecure, --station-id), and --help.
struct StationOptions : StationSettings
{
    bool help = false;
};

// Parses the arguments after the program name, as the system gave them (bytes: the broker's
// address is checked as UTF-8 before anything decodes it; the others are file and port names
// in the locale's encoding); on failure `error` says why, in French.
[[nodiscard]] bool parseStationOptions(const QList<QByteArray> &arguments,
                                       StationOptions &options, QString &error);
QString stationUsage();
