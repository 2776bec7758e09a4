#pragma once

#include "brokeraddress.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The command line of vardel-station.
struct StationOptions
{
    static constexpr int kDefaultWaitSeconds = 10;

    QString packageDir; // --package; empty: the configuration folder beside the program
    QStringList ports;  // --port, repeatable: only these (ttyACM0, /dev/ttyACM0, or whole labels)
    QString jsonFile;   // --json: the summary for automation
    QString journalFile; // --journal: one line per finished terminal, as each finishes
    int waitSeconds = kDefaultWaitSeconds; // --wait: how long to search for terminals
    bool watch = false; // --watch: update every terminal that appears, until stopped
    bool list = false;  // --list: show the terminals and the package verdict, install nothing
    bool reinstall = false; // --reinstall: send the batches a terminal already lists
    QString publishUrl;      // --publish, as given
    BrokerAddress broker;    // ... and parsed
    QString publishCa;       // --publish-ca: the authority of an mqtts:// broker's certificate
    bool flush = false;      // --flush: send what the journal holds that the broker never acknowledged
    bool republish = false;  // --republish: send every record of the journal again
    bool publishInsecure = false; // --publish-insecure: credentials over plain mqtt:// allowed
    QString stationId;       // --station-id; empty: made from /etc/machine-id
    bool help = false;
};

// Parses the arguments after the program name, as the system gave them (bytes: the broker's
// address is checked as UTF-8 before anything decodes it; the others are file and port names
// in the locale's encoding); on failure `error` says why, in French.
[[nodiscard]] bool parseStationOptions(const QList<QByteArray> &arguments,
                                       StationOptions &options, QString &error);
QString stationUsage();
