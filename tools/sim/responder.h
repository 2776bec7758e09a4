#pragma once

#include "behaviour.h"

#include <QByteArray>

#include <chrono>
#include <vector>

namespace sim {

// What serves the terminal's side of the line for a Terminal: bytes in, timed replies out, and
// the record of what came in. The Engine plays the protocol; the Replayer plays back the
// replies of a terminal recorded in a report. Not thread-safe; Terminal guards it.
class Responder
{
public:
    using Clock = std::chrono::steady_clock;

    // Bytes to write once `due` has come.
    struct Output
    {
        Clock::time_point due;
        QByteArray bytes;
    };

    virtual ~Responder() = default;

    // Bytes received at `now`; the replies they call for are appended to `out`, in the order
    // of their due times.
    virtual void receive(const char *data, int size, Clock::time_point now,
                         std::vector<Output> &out) = 0;
    // Called once idleDeadline() has passed: drops a frame that will not complete.
    virtual void idle(Clock::time_point now, std::vector<Output> &out) = 0;
    virtual Clock::time_point idleDeadline() const = 0;
    virtual const Record &record() const = 0;
    virtual void noteDroppedReply() = 0;
};

} // namespace sim
