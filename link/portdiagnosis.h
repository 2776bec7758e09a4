#pragma once

#include <QByteArray>
#include <QString>

// Why a serial port cannot be opened. Qt reports a node without permission, a port that another
// program holds and a node that has vanished alike (as a PermissionError), so the cause is read
// from the system itself: the device node, the lock files that serial programs leave beside
// Qt's own (/var/lock/LCK..NAME), the node's own answer to an open, and the processes.
//
// Only the POSIX systems are looked at; elsewhere the cause stays Unknown.
class PortDiagnosis
{
public:
    enum class Cause
    {
        Unknown,      // none of the others (an open may well succeed now)
        Gone,         // the node has vanished, or the system no longer lists the port
        Busy,         // another process holds the port
        NoPermission, // the node is not readable and writable for this user (access(2))
    };

    // Looks, now, at the port of that system name ("ttyACM0"). The checks follow the order in
    // which an open meets them: the node, the lock file, the permissions, the open itself. That
    // last check opens the node for an instant without configuring it.
    static PortDiagnosis of(const QString &portName);

    // The process ID that a lock file names: "PID\nAPP\nHOST\n" (Qt), "      PID\n" (UUCP
    // style: minicom, picocom) or a 4-byte binary PID (old programs); 0 when it names none.
    static qint64 lockFilePid(const QByteArray &content);
    // The process ID of a running process of that name ("ModemManager") among those the system
    // shows this user; 0 when none is.
    static qint64 findProcess(const QString &name);

    Cause cause = Cause::Unknown;
    QString device;             // the node: "/dev/ttyACM0"
    QString user;               // NoPermission: the user the program runs as
    QString group;              // NoPermission: the node's group
    bool groupMayUse = false;   // NoPermission: members of that group may read and write it
    qint64 holderPid = 0;       // Busy: the process holding the port, when the system tells
    QString holderName;         // Busy: its name ("ModemManager", "minicom"), when known
    bool holderGuessed = false; // Busy: the holder is only presumed (ModemManager is running)
};
