#include "fleet.h"

#include "mockbed.h"

#include <cstdio>

namespace sim {

namespace {

// How often the watcher looks for a rebooting device due to go away, or a scheduled plug or
// unplug whose time has come.
constexpr std::chrono::milliseconds kWatchPeriod{20};

mockbed::Device deviceFor(const QString &name, const DeviceOptions &options, int socket)
{
    mockbed::Device device;
    device.name = name.toStdString();
    device.vendor = options.vendor.toStdString();
    device.serial = options.serial.toStdString();
    // udev writes the description with '_' for a space; Qt shows a space again.
    if (!options.description.isEmpty())
        device.model = QString(options.description).replace(QLatin1Char(' '), QLatin1Char('_'))
                           .toStdString();
    device.socket = socket;
    return device;
}

} // namespace

struct Fleet::Unit
{
    explicit Unit(const DeviceOptions &device) : options(device), terminal(device.behaviour) {}
    DeviceOptions options;
    QStringList names;
    Terminal terminal;
    bool plugged = false;
    int socket = 0;    // its USB socket (port of bus 1's root hub)
    int unplugs = 0;   // times it was unplugged
    int nextEvent = 0; // in options.schedule
    Engine::Clock::time_point followed = Engine::Clock::time_point::min(); // last reboot handled
};

Fleet::Fleet() : bed(std::make_unique<mockbed::Testbed>()) {}

Fleet::~Fleet()
{
    stop();
}

bool Fleet::add(const QString &name, const DeviceOptions &device)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto unit = std::make_unique<Unit>(device);
    unit->names << name;
    // Sockets 1-2, 1-3, ... in the order of the devices, as a row of sockets on a PC.
    unit->socket = highestSocket = int(units.size()) + 2;
    if (!device.unplugged && !plugLocked(*unit))
        return false;
    units.push_back(std::move(unit));
    if (device.renumber)
        startWatcher();
    return true;
}

bool Fleet::plug(int k)
{
    std::lock_guard<std::mutex> lock(mutex);
    return plugLocked(*units.at(std::size_t(k)));
}

void Fleet::unplug(int k)
{
    std::lock_guard<std::mutex> lock(mutex);
    unplugLocked(*units.at(std::size_t(k)));
}

bool Fleet::isPlugged(int k) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return units.at(std::size_t(k))->plugged;
}

bool Fleet::plugLocked(Unit &unit)
{
    if (unit.plugged)
        return true;
    // umockdev never gives a name twice: a device plugged in again gets a fresh one, as a USB
    // serial device often does. It keeps its socket, unless it is one that moves.
    if (unit.unplugs > 0) {
        unit.names << freshName(unit.names.last());
        if (unit.options.otherSocket)
            unit.socket = ++highestSocket;
    }
    const QString name = unit.names.last();
    if (!bed->add(deviceFor(name, unit.options, unit.socket)))
        return false;
    unit.plugged = unit.terminal.start(bed->masterFd(name.toStdString()), true);
    return unit.plugged;
}

// As a pulled cable, as far as umockdev goes: the device leaves the listing and /dev.
void Fleet::unplugLocked(Unit &unit)
{
    if (!unit.plugged)
        return;
    unit.terminal.stop();
    bed->remove(unit.names.last().toStdString());
    unit.plugged = false;
    ++unit.unplugs;
}

void Fleet::startSchedule()
{
    std::lock_guard<std::mutex> lock(mutex);
    scheduleStart = Engine::Clock::now();
    scheduling = true;
    for (const auto &unit : units) {
        if (!unit->options.schedule.isEmpty())
            startWatcher();
    }
}

void Fleet::startWatcher()
{
    if (!watcher.joinable())
        watcher = std::thread(&Fleet::watch, this);
}

void Fleet::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (watcher.joinable())
        watcher.join();
    for (auto &unit : units)
        unit->terminal.stop();
}

QString Fleet::root() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return QString::fromStdString(bed->root());
}

int Fleet::socket(int k) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return units.at(std::size_t(k))->socket;
}

QStringList Fleet::names(int k) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return ownCopy(units.at(std::size_t(k))->names); // a renumbering appends to it: see ownCopy()
}

Record Fleet::record(int k) const
{
    return units.at(std::size_t(k))->terminal.record();
}

double Fleet::cpuSeconds() const
{
    double total = 0;
    for (const auto &unit : units)
        total += unit->terminal.cpuSeconds();
    return total;
}

void Fleet::watch()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!wake.wait_for(lock, kWatchPeriod, [this] { return stopping; })) {
        const auto now = Engine::Clock::now();
        for (auto &unit : units) {
            // The schedule: every event whose time has come, in order.
            const QList<PlugEvent> &schedule = unit->options.schedule;
            while (scheduling && unit->nextEvent < schedule.size() &&
                   now >= scheduleStart + std::chrono::milliseconds(
                                              schedule.at(unit->nextEvent).atMs)) {
                const bool plugged = schedule.at(unit->nextEvent++).plugged;
                if (!plugged)
                    unplugLocked(*unit);
                else if (!plugLocked(*unit))
                    std::fprintf(stderr, "vardel-sim: %s could not be plugged in\n",
                                 qPrintable(unit->names.last()));
            }
            // Renumbering after a reboot: away in the middle of its silence, as a device that
            // re-enumerates is, so that it never answers under its old name once restarted.
            const auto reboot = unit->terminal.lastReboot();
            const auto away =
                std::chrono::milliseconds(unit->options.behaviour.rebootSilenceMs / 2);
            if (!unit->options.renumber || !unit->plugged ||
                reboot == Engine::Clock::time_point::min() || reboot <= unit->followed ||
                now < reboot + away)
                continue;
            unit->followed = reboot;
            if (!renumber(*unit))
                std::fprintf(stderr, "vardel-sim: %s could not come back under a new name\n",
                             qPrintable(unit->names.last()));
        }
    }
}

// Unplugs the device and plugs it in again under a fresh name; its terminal keeps its record.
bool Fleet::renumber(Unit &unit)
{
    unplugLocked(unit);
    return plugLocked(unit);
}

// The old name's stem with the first number no device of this fleet has had.
QString Fleet::freshName(const QString &old) const
{
    int stem = old.size();
    while (stem > 0 && old.at(stem - 1).isDigit())
        --stem;
    for (int n = 0;; ++n) {
        const QString candidate = old.left(stem) + QString::number(n);
        bool used = false;
        for (const auto &unit : units)
            used = used || unit->names.contains(candidate);
        if (!used)
            return candidate;
    }
}

QString fleetSummary(const Fleet &fleet, int k)
{
    const QString prefix =
        QLatin1Char('[') + fleet.names(k).join(QStringLiteral(" -> ")) + QStringLiteral("] ");
    QStringList lines = summary(fleet.record(k)).split(QLatin1Char('\n'));
    for (QString &line : lines)
        line.prepend(prefix);
    return lines.join(QLatin1Char('\n'));
}

} // namespace sim
