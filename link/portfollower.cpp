#include "portfollower.h"

PortFollower::PortFollower(const QString &start) : label(start)
{
    const QList<PortInfo> available = PortInfo::available();
    for (const PortInfo &info : available) {
        if (info.label() == start)
            identity = TerminalIdentity::of(info, available);
    }
}

// Two threads may ask at once (the installation at each open, the window after each search),
// each with a listing of its own: a listing taken earlier never overrides what a later one
// showed, whichever thread finishes first (a terminal just renumbered would be sent back to its
// old port name, where nothing is left).
QString PortFollower::current(bool *moved)
{
    QString now;
    const quint64 listing = ++listings;
    if (isFollowing()) {
        if (const auto info = identity.findIn(PortInfo::available()))
            now = info->label();
    }
    std::lock_guard<std::mutex> lock(mutex);
    const bool changed = !now.isEmpty() && now != label && listing > labelListing;
    if (changed) {
        label = now;
        labelListing = listing;
    }
    if (moved)
        *moved = changed;
    return label;
}
