#pragma once

#include "behaviour.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace sim {

// A moment of a device's schedule: plugged in or unplugged, so long after the command starts.
struct PlugEvent
{
    int atMs = 0;
    bool plugged = true;
};

// One mocked terminal of --mock: how it behaves and how it shows on the USB bus.
struct DeviceOptions
{
    Behaviour behaviour;
    QString vendor;        // the manufacturer the system reports
    QString serial;        // the USB serial number; empty: the device has none
    QString description;   // the port's description (ID_MODEL); empty: "Terminal USB"
    bool renumber = false; // comes back from each reboot under a new port name
    // Comes back (renumbered, or plugged in again) in a USB socket no device has used yet;
    // otherwise in its own socket.
    bool otherSocket = false;
    bool unplugged = false;     // absent when the command starts (--unplugged, or a first --plug-at)
    QList<PlugEvent> schedule; // --plug-at and --unplug-at, in the order of their times
};

// The command line of vardel-sim.
struct Options
{
    enum class Mode
    {
        None,
        Tty,  // --tty PATH
        Mock, // --mock ... -- COMMAND [ARGS...]
    };
    static constexpr int kMaxDevices = 32;

    Mode mode = Mode::None;
    QString tty;
    QString device = QStringLiteral("ttyACM0"); // the mocked device's name under /dev
    bool deviceGiven = false;                   // --device was given
    int deviceCount = 0;                        // --devices N; 0: the one device --device
    QStringList command;                        // what runs against the mocked devices
    bool control = false; // --control: "plug K" and "unplug K" lines on standard input
    QString saveDir;                            // where complete downloads are written
    bool quiet = false;                         // no summary at the end
    bool help = false;
    Behaviour behaviour;          // the terminal options before any --at
    QList<DeviceOptions> devices; // --mock: one per mocked device, --at options applied
};

// Parses the arguments after the program name. On failure `error` says why.
[[nodiscard]] bool parseOptions(const QStringList &arguments, Options &options, QString &error);
QString usage();

// The names of the mocked devices under /dev: --device alone, or with --devices N the names
// BASE0 to BASE(N-1), BASE being --device or, by default, a name of this process's own (lock
// files of ports are shared by every process: two runs side by side must not collide).
QStringList deviceNames(const Options &options, qint64 pid);

} // namespace sim
