#pragma once

#include "terminalidentity.h"

#include <QString>

#include <atomic>
#include <mutex>

// One terminal followed while it goes away (its reboot) and comes back, perhaps under another
// port name: what a label is worth at each open of an installation. The terminal is known by
// its identity (TerminalIdentity: its USB serial number, or else its USB socket); one known by
// its port name alone keeps its label. A device of another maker is never taken for it. From
// any thread.
class PortFollower
{
public:
    explicit PortFollower(const QString &label);

    bool isFollowing() const { return identity.followsRenaming(); }
    const TerminalIdentity &terminal() const { return identity; }
    // The label of the port that is the terminal now; while none is (the terminal is away),
    // the last one seen. `moved` tells whether it changed since the last call.
    QString current(bool *moved = nullptr);

private:
    TerminalIdentity identity; // by port name when the label is not listed
    std::atomic<quint64> listings{0}; // listings taken so far, numbered from 1
    std::mutex mutex;                 // guards what follows
    QString label;
    quint64 labelListing = 0; // the listing that gave `label` (0: the starting one)
};
