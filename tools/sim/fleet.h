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
// per device, each on the pty of its own device. A device that renumbers is unplugged once the
// silence after an accepted reboot is over and plugged in again under a new port name, with
// the same serial number and manufacturer, and its terminal goes on serving the new pty.
class Fleet
{
public:
    Fleet();
    ~Fleet();
    Fleet(const Fleet &) = delete;
    Fleet &operator=(const Fleet &) = delete;

    // Plugs in a device named `name` under /dev and starts its terminal.
    [[nodiscard]] bool add(const QString &name, const DeviceOptions &device);
    // Stops every terminal; the devices stay until the fleet goes.
    void stop();

    // The directory UMOCKDEV_DIR must name for a program to see the devices.
    QString root() const;
    int size() const { return int(units.size()); }
    // Every name device k had, the current one last.
    QStringList names(int k) const;
    Record record(int k) const;
    double cpuSeconds() const; // of every terminal, once stopped

private:
    struct Unit;
    void watch();
    bool renumber(Unit &unit);
    QString freshName(const QString &old) const;

    std::unique_ptr<mockbed::Testbed> bed;
    std::vector<std::unique_ptr<Unit>> units;
    mutable std::mutex mutex; // guards the bed and the names
    std::condition_variable wake;
    bool stopping = false;
    std::thread watcher; // runs while a device renumbers
};

// What vardel-sim prints of device k at the end of a run.
QString fleetSummary(const Fleet &fleet, int k);

} // namespace sim
