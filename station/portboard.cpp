#include "portboard.h"

FoundTerminal FoundTerminal::of(const PortInfo &info, const QList<PortInfo> &listing)
{
    return {info.label(), info.name, info.location, info.serialNumber, info.manufacturer,
            TerminalIdentity::of(info, listing)};
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
    const QList<PortInfo> all = listing();
    QList<FoundTerminal> found;
    for (const PortInfo &info : all) {
        if (info.isTerminal())
            found << FoundTerminal::of(info, all);
    }
    return found;
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
                                             const TerminalIdentity &terminal) const
{
    const QList<PortInfo> all = listing();
    const auto info = terminal.findIn(all);
    if (!info || isHeldByOther(holder, info->name))
        return std::nullopt;
    return FoundTerminal::of(*info, all);
}
