#pragma once

#include "station/report.h"
#include "station/stationobserver.h"

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <functional>
#include <mutex>
#include <vector>

Q_DECLARE_METATYPE(FoundTerminal)
Q_DECLARE_METATYPE(JobView)
Q_DECLARE_METATYPE(JobResult)
Q_DECLARE_METATYPE(QList<JobView>)
Q_DECLARE_METATYPE(report::Run)
Q_DECLARE_METATYPE(StationObserver::Refusal)
Q_DECLARE_METATYPE(StationObserver::Warning)
Q_DECLARE_METATYPE(StopRequests::Event)

// What a station's run tells, turned into signals that carry its values. The run calls the
// observer on its own thread and on its jobs' threads; whoever connects to the signals with
// Qt::QueuedConnection receives them on its own thread, in the order each thread told them.
// The relay keeps nothing and shows nothing.
class StationRelay : public QObject, public StationObserver
{
    Q_OBJECT

public:
    explicit StationRelay(QObject *parent = nullptr);

    // The types the signals carry, registered once for queued connections.
    static void registerTypes();
    // Whoever runs the station tells its exit status here once run() has returned.
    void returned(int status);

    void refused(Refusal why, const QString &text) override;
    void warned(Warning what, const QString &text) override;
    void searching() override;
    void servingStarted(bool watch) override;
    void terminalHeldBack(const FoundTerminal &terminal, const QString &awaitedPort) override;
    void jobStarted(const FoundTerminal &terminal) override;
    void jobChanged(const JobView &row) override;
    void jobEnded(const JobResult &result) override;
    void progressed(const QList<JobView> &rows) override;
    void stopTaken(StopRequests::Event which, const QString &source, bool interrupted) override;
    void servingEnded() override;
    void linkChanged(const Publisher::Event &event, const QString &text) override;
    void finished(const report::Run &run, const QString &publishing) override;

signals:
    void runRefused(StationObserver::Refusal why, QString text);
    void runWarned(StationObserver::Warning what, QString text);
    void searchStarted();
    void servingBegan(bool watch);
    void terminalWaiting(FoundTerminal terminal, QString awaitedPort);
    void jobBegan(FoundTerminal terminal);
    void jobMoved(JobView row);
    void jobDone(JobResult result);
    void rowsNow(QList<JobView> rows);
    void stopAccepted(StopRequests::Event which, bool interrupted);
    void servingOver();
    // The broker's link, in words: trouble, or its end.
    void brokerSaid(QString text);
    // `publishing`: what the broker took, in words; empty without a broker.
    void runFinished(report::Run run, QString publishing);
    // The station's run() has returned, with its exit status.
    void runReturned(int status);

private:
    void post(std::function<void()> signal); // from any thread
    Q_INVOKABLE void deliver();              // on the relay's thread

    std::mutex mutex; // guards pending
    std::vector<std::function<void()>> pending;
};
