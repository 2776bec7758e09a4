#pragma once

#include <QString>

#include <condition_variable>
#include <mutex>

// How a run is asked to stop. The run's loops sleep in wait(), so that a request is taken as
// soon as it comes. The first request: no new terminal starts, downloads are released without
// activation, terminals between activation and reboot finish. The second: the reboot waits end
// there.
class StopRequests
{
public:
    enum class Event
    {
        None,
        First,  // the first request of the run
        Second, // a later one
    };

    virtual ~StopRequests() = default;
    // Waits up to timeoutMs (0: only looks) for a request; the run's thread only.
    virtual Event wait(int timeoutMs) = 0;
    // A request has been taken by wait().
    virtual bool stopped() const = 0;
    // Who asked, as the log and the person are told ("SIGINT").
    virtual QString source() const = 0;
};

// Requests made by a call, from any thread: for a front end that has no stop signals to take.
class StopFlag : public StopRequests
{
public:
    void request();

    Event wait(int timeoutMs) override;
    bool stopped() const override;
    QString source() const override { return QStringLiteral("demande"); }

private:
    mutable std::mutex mutex; // guards what follows
    std::condition_variable changed;
    int requested = 0;
    int taken = 0;
};
