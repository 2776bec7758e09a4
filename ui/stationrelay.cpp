#include "stationrelay.h"

StationRelay::StationRelay(QObject *parent) : QObject(parent) {}

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
    emit runRefused(why, text);
}

void StationRelay::warned(Warning what, const QString &text)
{
    emit runWarned(what, text);
}

void StationRelay::searching()
{
    emit searchStarted();
}

void StationRelay::servingStarted(bool watch)
{
    emit servingBegan(watch);
}

void StationRelay::terminalHeldBack(const FoundTerminal &terminal, const QString &awaitedPort)
{
    emit terminalWaiting(terminal, awaitedPort);
}

void StationRelay::jobStarted(const FoundTerminal &terminal)
{
    emit jobBegan(terminal);
}

void StationRelay::jobChanged(const JobView &row)
{
    emit jobMoved(row);
}

void StationRelay::jobEnded(const JobResult &result)
{
    emit jobDone(result);
}

void StationRelay::progressed(const QList<JobView> &rows)
{
    emit rowsNow(rows);
}

void StationRelay::stopTaken(StopRequests::Event which, const QString &, bool interrupted)
{
    emit stopAccepted(which, interrupted);
}

void StationRelay::servingEnded()
{
    emit servingOver();
}

void StationRelay::finished(const report::Run &run, const QString &)
{
    emit runFinished(run);
}
