#pragma once

#include "link/portinfo.h"

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

    static FoundTerminal of(const PortInfo &info);
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
    // Its ports that carry a terminal of the brand, in the system's order.
    QList<FoundTerminal> terminals() const;
    // How many ports of the last listing report this USB serial number (terminals or not).
    int sharing(const QString &serialNumber) const;
    // Whether the last listing shows `port` with this serial number.
    bool shows(const QString &port, const QString &serialNumber) const;

    // `holder` (a job) uses `port` from now on, and no longer the port it held before.
    void hold(const void *holder, const QString &port);
    void release(const void *holder);
    bool isHeldByOther(const void *holder, const QString &port) const;

    // Where the terminal with this serial number is now, for `holder`: the one port of the last
    // listing that carries the number, when that port is a terminal's and no other holder has
    // it. Nothing when the number is absent, shared by two ports, or on a port that is not a
    // terminal's or is taken.
    std::optional<FoundTerminal> find(const void *holder, const QString &serialNumber) const;

private:
    mutable std::mutex mutex; // guards what follows
    QList<PortInfo> ports;
    std::map<const void *, QString> held; // holder -> port name
};
