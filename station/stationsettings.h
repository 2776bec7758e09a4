#pragma once

#include "brokeraddress.h"

#include <QString>
#include <QStringList>

// What a run of the station is asked to do: the package, the terminals, the outputs and the
// broker. Filled by whoever starts the station (vardel-station fills it from its command line:
// StationOptions).
struct StationSettings
{
    static constexpr int kDefaultWaitSeconds = 10;

    QString packageDir; // empty: the configuration folder beside the program
    QStringList ports;  // only these (ttyACM0, /dev/ttyACM0, or whole labels); empty: all
    QString jsonFile;   // the summary for automation; empty: none
    QString journalFile; // one line per finished terminal, as each finishes; empty: none
    int waitSeconds = kDefaultWaitSeconds; // how long to search for terminals
    bool watch = false; // update every terminal that appears, until stopped
    bool list = false;  // show the terminals and the package verdict, install nothing
    bool reinstall = false; // send the batches a terminal already lists
    QString publishUrl;      // the broker's address as given; empty: no publishing
    BrokerAddress broker;    // ... and parsed
    QString publishCa;       // the authority of an mqtts:// broker's certificate
    bool flush = false;      // send what the journal holds that the broker never acknowledged
    bool republish = false;  // send every record of the journal again
    bool publishInsecure = false; // credentials over plain mqtt:// allowed
    QString stationId;       // empty: made from /etc/machine-id
};
