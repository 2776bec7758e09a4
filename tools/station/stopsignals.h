#pragma once

#include "station/stoprequests.h"

#include <QElapsedTimer>

#include <csignal>

// The signals that end a run, as a shell, ssh or a supervisor sends them: SIGINT (Ctrl-C),
// SIGTERM, SIGHUP (a dropped session) and SIGQUIT. They are blocked in every thread and taken
// by the run's own loop; SIGPIPE is ignored, so that a closed output is an error of the write,
// not the end of the process. They are the station's stop requests: the first stop signal of
// the run is its first request, a later one (at least kRepeatGapMs after) its second.
class StopSignals : public StopRequests
{
public:
    // The same signal can reach the station twice for one key press: from the terminal to the
    // whole process group, and from a parent that relays it. A repeat this close to the first
    // is that one press.
    static constexpr int kRepeatGapMs = 1000;

    // Blocks the stop signals and ignores SIGPIPE; call it before any other thread starts, so
    // that every thread inherits the mask.
    static void install();

    // Waits up to timeoutMs (0: only looks) for a stop signal.
    Event wait(int timeoutMs) override;
    bool stopped() const override { return count > 0; }
    int last() const { return lastSignal; } // the number of the last one taken, 0 if none
    QString source() const override; // the last one's name: "SIGINT"

private:
    int count = 0;
    int lastSignal = 0;
    QElapsedTimer sinceFirst;
};
