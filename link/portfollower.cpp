#include "portfollower.h"

PortFollower::PortFollower(const QString &start) : label(start)
{
    const QList<PortInfo> available = PortInfo::available();
    for (const PortInfo &info : available) {
        if (info.label() == start)
            identity = TerminalIdentity::of(info, available);
    }
}

QString PortFollower::current(bool *moved)
{
    QString now;
    if (isFollowing()) {
        if (const auto info = identity.findIn(PortInfo::available()))
            now = info->label();
    }
    std::lock_guard<std::mutex> lock(mutex);
    const bool changed = !now.isEmpty() && now != label;
    if (changed)
        label = now;
    if (moved)
        *moved = changed;
    return label;
}
