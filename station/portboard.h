#pragma once

#include "link/portinfo.h"
#include "link/terminalidentity.h"

#include <QList>
#include <QString>

#include <map>
#include <mutex>
#include <optional>

// A port that carries a terminal of the brand, as a listing showed it.
struct FoundTerminal
{
    QString label;        // "ttyACM0 - (Terminal USB)": what the Model opens
    QString port;         // "ttyACM0"
    QString location;     // "/dev/ttyACM0"
    QString serialNumber; // empty: the system reports none
    QString manufacturer;
    TerminalIdentity identity; // who it is, as that listing shows it

    static FoundTerminal of(const PortInfo &info, const QList<PortInfo> &listing);
};

// The system's serial ports as the station last listed them. One listing, taken by the run's
// loop, serves every terminal's job (their opens and the search for a terminal that came back
// from its reboot under another name), and the board knows which job holds which port.
// refresh() on the run's thread; everything else from any thread.
class PortBoard
{
public:
    // Lists the system's ports now.
    void refresh();

    // The last listing: every serial port, terminal or not.
    QList<PortInfo> listing() const;
    // Its ports that carry a terminal of the brand, in the system's order, each with its
    // identity in that listing.
    QList<FoundTerminal> terminals() const;

    // `holder` (a job) uses `port` from now on, and no longer the port it held before.
    void hold(const void *holder, const QString &port);
    void release(const void *holder);
    // Whether a holder other than `holder` (any, for null) has `port`.
    bool isHeldByOther(const void *holder, const QString &port) const;

    // Where the terminal is now, for `holder`: the one port of the last listing that is it
    // (TerminalIdentity::findIn), when no other holder has that port.
    std::optional<FoundTerminal> find(const void *holder, const TerminalIdentity &terminal) const;

private:
    mutable std::mutex mutex; // guards what follows
    QList<PortInfo> ports;
    std::map<const void *, QString> held; // holder -> port name
};
