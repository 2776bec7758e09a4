#pragma once

#include "portinfo.h"

#include <QList>
#include <QString>

#include <optional>

// Who a terminal is, for whoever must know it again: the window and the station's jobs, which
// follow it while it reboots and comes back, perhaps under another port name, and the station's
// --watch, which updates each terminal once. Taken from the port a terminal was found on, in the
// listing that showed it:
//
// 1. its USB serial number, when no other port of the listing reports it and it is text
//    (PortInfo::serialNumberIsText);
// 2. otherwise its USB socket (PortInfo::usbSocket), when no other port of the listing is in
//    it: the place in the USB tree stays when a device comes back under another port name;
// 3. otherwise its port name.
//
// A port is that terminal again when it is a terminal's (PortInfo::isTerminal) and
// - for an identity by serial number: it alone reports the number, or it alone sits in the
//   terminal's socket and reports the same number (a second device with the same number
//   appeared meanwhile);
// - by socket: it alone sits in the socket, and reports the same serial number as the terminal
//   did (the same text, or none): another device plugged into that socket is another terminal;
// - by port name: it has that name.
class TerminalIdentity
{
public:
    enum class Kind
    {
        SerialNumber,
        UsbSocket,
        PortName,
    };

    TerminalIdentity() = default;
    // The identity of `port` (one of `listing`'s ports), as `listing` shows it.
    static TerminalIdentity of(const PortInfo &port, const QList<PortInfo> &listing);

    Kind kind() const { return how; }
    // Whether it survives a new port name: by serial number or by socket.
    bool followsRenaming() const { return how != Kind::PortName; }
    // The serial number as the terminal reported it (any text; empty: none).
    QString serialNumber() const { return serial; }
    QString usbSocket() const { return socket; }
    QString portName() const { return port; }
    // For the log, in French: "numéro de série TVX00001", "prise USB 1-2", "port ttyACM0".
    QString describe() const;

    // Whether `candidate`, one of `listing`'s ports, is this terminal (see above).
    bool matches(const PortInfo &candidate, const QList<PortInfo> &listing) const;
    // The port of `listing` that is this terminal, when exactly one is.
    std::optional<PortInfo> findIn(const QList<PortInfo> &listing) const;

private:
    Kind how = Kind::PortName;
    QString serial;
    QString socket;
    QString port;
};
