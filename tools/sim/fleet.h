#pragma once

#include "options.h"
#include "terminal.h"

#include <QString>
#include <QStringList>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace mockbed {
class Testbed;
}

namespace sim {

// Simulated terminals on mocked USB serial devices, all served by this process: one Terminal
// per device, each on the pty of its own device, device k in USB socket 1-(k+2). A device that
// renumbers is unplugged once the silence after an accepted reboot is over and plugged in again
// under a new port name, in the same socket (unless it moves to another, DeviceOptions::
// otherSocket), with the same serial number and manufacturer, and its terminal goes on serving
// the new pty.
//
// A device can be unplugged and plugged in again at any time (plug(), unplug(), or its
// schedule once startSchedule() has run): unplugged, it leaves the system's listing and /dev
// and its terminal stops (a port still open stays open, silent); plugged in again, it comes
// back under a new port name (umockdev never gives a name twice) with the same serial number,
// and its terminal, which keeps its record, serves it.
class Fleet
{
public:
    Fleet();
    ~Fleet();
    Fleet(const Fleet &) = delete;
    Fleet &operator=(const Fleet &) = delete;

    // A device named `name` under /dev: plugged in, its terminal started, unless its options
    // say that it starts unplugged.
    [[nodiscard]] bool add(const QString &name, const DeviceOptions &device);
    // Plugs device k in (false when umockdev refuses it), or unplugs it; nothing when it is
    // already so. From any thread.
    [[nodiscard]] bool plug(int k);
    void unplug(int k);
    bool isPlugged(int k) const;
    // From now on, each device's schedule (DeviceOptions::schedule) is played, its times counted
    // from this call.
    void startSchedule();
    // Stops every terminal and the schedules; the devices stay until the fleet goes.
    void stop();

    // The directory UMOCKDEV_DIR must name for a program to see the devices.
    QString root() const;
    int size() const { return int(units.size()); }
    // Every name device k had, the current one last.
    QStringList names(int k) const;
    // Device k's USB socket now: port N of bus 1's root hub, the USB device "1-N".
    int socket(int k) const;
    Record record(int k) const;
    double cpuSeconds() const; // of every terminal, once stopped

private:
    struct Unit;
    void watch();
    bool renumber(Unit &unit);
    QString freshName(const QString &old) const;
    bool plugLocked(Unit &unit);   // under mutex
    void unplugLocked(Unit &unit); // under mutex
    void startWatcher();           // under mutex

    std::unique_ptr<mockbed::Testbed> bed;
    std::vector<std::unique_ptr<Unit>> units;
    mutable std::mutex mutex; // guards the bed and the names
    std::condition_variable wake;
    bool stopping = false;
    bool scheduling = false;
    int highestSocket = 1; // the last socket given to a device
    Engine::Clock::time_point scheduleStart;
    std::thread watcher; // runs while a device renumbers or has a schedule
};

// What vardel-sim prints of device k at the end of a run.
QString fleetSummary(const Fleet &fleet, int k);

} // namespace sim
