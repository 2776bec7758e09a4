#include "portboard.h"

#include "link/serialport.h"

FoundTerminal FoundTerminal::of(const PortInfo &info)
{
    return {info.label(), info.name, info.location, info.serialNumber, info.manufacturer};
}

void PortBoard::refresh()
{
    // Listed outside the lock: the jobs keep reading the previous listing meanwhile. The
    // listing's strings are its own, shared with nothing in Qt Serial Port: whichever job drops
    // a string last frees it, in our code (see PortInfo).
    const QList<PortInfo> now = PortInfo::available();
    std::lock_guard<std::mutex> lock(mutex);
    ports = now;
}

QList<PortInfo> PortBoard::listing() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return ports;
}

QList<FoundTerminal> PortBoard::terminals() const
{
    QList<FoundTerminal> found;
    for (const PortInfo &info : listing()) {
        if (info.isTerminal())
            found << FoundTerminal::of(info);
    }
    return found;
}

int PortBoard::sharing(const QString &serialNumber) const
{
    int count = 0;
    for (const PortInfo &info : listing())
        count += info.serialNumber == serialNumber ? 1 : 0;
    return count;
}

bool PortBoard::shows(const QString &port, const QString &serialNumber) const
{
    for (const PortInfo &info : listing()) {
        if (info.name == port)
            return info.serialNumber == serialNumber;
    }
    return false;
}

void PortBoard::hold(const void *holder, const QString &port)
{
    std::lock_guard<std::mutex> lock(mutex);
    held[holder] = port;
}

void PortBoard::release(const void *holder)
{
    std::lock_guard<std::mutex> lock(mutex);
    held.erase(holder);
}

bool PortBoard::isHeldByOther(const void *holder, const QString &port) const
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &[who, name] : held) {
        if (who != holder && name == port)
            return true;
    }
    return false;
}

std::optional<FoundTerminal> PortBoard::find(const void *holder,
                                             const QString &serialNumber) const
{
    const auto info = SerialPort::terminalBySerial(listing(), serialNumber);
    if (!info || isHeldByOther(holder, info->name))
        return std::nullopt;
    return FoundTerminal::of(*info);
}
