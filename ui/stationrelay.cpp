#include "stationrelay.h"

StationRelay::StationRelay(QObject *parent) : QObject(parent) {}

// The values go from the telling thread to the relay's through `pending`, under a std::mutex:
// a hand-off the race detector sees (Qt's own event queue is locked inside Qt, where it does
// not look). The signal is then emitted on the relay's thread.
void StationRelay::post(std::function<void()> signal)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        first = pending.empty();
        pending.push_back(std::move(signal));
    }
    if (first)
        // By name: the queued call is then Qt's alone, nothing of ours travels with it.
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
}

void StationRelay::deliver()
{
    std::vector<std::function<void()>> due;
    {
        std::lock_guard<std::mutex> lock(mutex);
        due.swap(pending);
    }
    for (const auto &signal : due)
        signal();
}

void StationRelay::returned(int status)
{
    post([=] { emit runReturned(status); });
}

void StationRelay::registerTypes()
{
    qRegisterMetaType<FoundTerminal>();
    qRegisterMetaType<JobView>();
    qRegisterMetaType<JobResult>();
    qRegisterMetaType<QList<JobView>>();
    qRegisterMetaType<report::Run>();
    qRegisterMetaType<StationObserver::Refusal>();
    qRegisterMetaType<StationObserver::Warning>();
    qRegisterMetaType<StopRequests::Event>();
}

void StationRelay::refused(Refusal why, const QString &text)
{
    post([=] { emit runRefused(why, text); });
}

void StationRelay::warned(Warning what, const QString &text)
{
    post([=] { emit runWarned(what, text); });
}

void StationRelay::searching()
{
    post([=] { emit searchStarted(); });
}

void StationRelay::servingStarted(bool watch)
{
    post([=] { emit servingBegan(watch); });
}

void StationRelay::terminalHeldBack(const FoundTerminal &terminal, const QString &awaitedPort)
{
    post([=] { emit terminalWaiting(terminal, awaitedPort); });
}

void StationRelay::jobStarted(const FoundTerminal &terminal)
{
    post([=] { emit jobBegan(terminal); });
}

void StationRelay::jobChanged(const JobView &row)
{
    post([=] { emit jobMoved(row); });
}

void StationRelay::jobEnded(const JobResult &result)
{
    post([=] { emit jobDone(result); });
}

void StationRelay::progressed(const QList<JobView> &rows)
{
    post([=] { emit rowsNow(rows); });
}

void StationRelay::stopTaken(StopRequests::Event which, const QString &, bool interrupted)
{
    post([=] { emit stopAccepted(which, interrupted); });
}

void StationRelay::servingEnded()
{
    post([=] { emit servingOver(); });
}

void StationRelay::linkChanged(const Publisher::Event &, const QString &text)
{
    post([=] { emit brokerSaid(text); });
}

void StationRelay::finished(const report::Run &run, const QString &publishing)
{
    post([=] { emit runFinished(run, publishing); });
}
