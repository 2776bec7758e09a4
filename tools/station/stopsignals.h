#pragma once

#include <QElapsedTimer>

#include <csignal>

// The signals that end a run, as a shell, ssh or a supervisor sends them: SIGINT (Ctrl-C),
// SIGTERM, SIGHUP (a dropped session) and SIGQUIT. They are blocked in every thread and taken
// by the run's own loop; SIGPIPE is ignored, so that a closed output is an error of the write,
// not the end of the process.
class StopSignals
{
public:
    // What wait() saw.
    enum class Event
    {
        None,
        First,  // the first stop signal of the run
        Second, // a later one, at least kRepeatGapMs after the first
    };

    // The same signal can reach the station twice for one key press: from the terminal to the
    // whole process group, and from a parent that relays it. A repeat this close to the first
    // is that one press.
    static constexpr int kRepeatGapMs = 1000;

    // Blocks the stop signals and ignores SIGPIPE; call it before any other thread starts, so
    // that every thread inherits the mask.
    static void install();

    // Waits up to timeoutMs (0: only looks) for a stop signal.
    Event wait(int timeoutMs);
    bool stopped() const { return count > 0; }
    int last() const { return lastSignal; } // the number of the last one taken, 0 if none

private:
    int count = 0;
    int lastSignal = 0;
    QElapsedTimer sinceFirst;
};
