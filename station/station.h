#pragma once

#include "journal.h"
#include "portboard.h"
#include "report.h"
#include "stationobserver.h"
#include "stationsettings.h"
#include "stoprequests.h"
#include "system/sleepinhibitor.h"
#include "terminaljob.h"

#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class AckLog;
class Configuration;
class Model;
class Publisher;

// One run of the station: the log, the outputs and the package checked before any terminal is
// touched; the card readers switched once; the terminals searched for (every 2 s, for up to
// waitSeconds, or for ever in watch mode); one installation per terminal, all at the same time;
// the summary. A stop is taken in every phase (see StopRequests). What happens is told to a
// StationObserver, as values; the station writes only its log, its journal and its JSON.
class Station
{
public:
    // Exit statuses.
    static constexpr int kAllUpdated = 0;
    static constexpr int kSomeFailed = 1;
    static constexpr int kNothingStarted = 2;

    // `stops` and `observer` outlive the station; the run's loops sleep in stops.wait().
    Station(const StationSettings &settings, StopRequests &stops, StationObserver &observer);
    ~Station();

    int run();
    // A stop ended the run while the package was being read or the ports listed: that
    // work is still running on a thread of its own, touches no terminal, and the process must
    // end without waiting for it (std::_Exit, once the output is written).
    bool leftWorkRunning() const { return abandoned; }
    // Set once that work has ended (null when none was left): a program that goes on after
    // the run waits for it before it ends, so that the work never runs into its end.
    std::shared_ptr<const std::atomic<bool>> leftWorkDone() const { return leftWork; }

private:
    struct Entry
    {
        std::unique_ptr<TerminalJob> job;
        bool recorded = false; // its end seen by the run's loop, its record published
        // --watch: what the last look at the ports showed of its terminal
        bool present = false;  // it was there
        bool returned = false; // it was there again after an absence
        bool released = false; // finished, gone, and known by its socket or port: forgotten
        bool settled = false;  // its end has been seen by admit()
        QStringList awaiting = {}; // ports held back while it waits for its terminal
        QStringList presumed = {}; // after its end, ports taken for its terminal come back elsewhere
    };

    // Before any terminal (station.cpp).
    [[nodiscard]] bool openOutputs();
    [[nodiscard]] bool checkPackage();
    [[nodiscard]] bool search(QList<FoundTerminal> &found);
    [[nodiscard]] bool runListening(const std::function<void()> &work);
    bool named(const FoundTerminal &terminal) const;
    bool enough(const QList<FoundTerminal> &found) const;
    QList<FoundTerminal> choose(const QList<FoundTerminal> &found);
    int list(const QList<FoundTerminal> &terminals) const;
    int cannotStart(StationObserver::Refusal why, const QString &text, bool withJson);
    int finish();

    // The terminals (stationloop.cpp).
    void serve(const QList<FoundTerminal> &chosen);
    void startJob(const FoundTerminal &terminal);
    void admit();
    void lookForJobsTerminals(const QList<PortInfo> &listing);
    Entry *awaitedBy(const FoundTerminal &terminal);
    void settleAwaited(Entry &entry, bool terminalHere);
    QJsonObject recordTerminal(const JobResult &result); // a job's thread
    void recordFinished();
    void onStop(StopRequests::Event event);
    void keepAwake();
    bool allFinished() const;
    QList<JobView> rows();

    // The broker (stationpublish.cpp).
    [[nodiscard]] bool preparePublishing(QString &error);
    [[nodiscard]] bool checkCredentials(QString &error) const;
    void startPublishing();
    void publishRecord(const QJsonObject &record);
    void publishProgress(const QList<JobView> &now); // rows(), in the order of `entries`
    void noteSharedSerials();
    bool serialShared(const QString &serialNumber) const;
    void sayPublisherEvents();
    void closePublishing();
    int flush();

    const StationSettings options;
    StopRequests &stops;
    StationObserver &observer;
    std::unique_ptr<Model> station; // the run's own entries and the first terminal search
    PortBoard board;
    Journal journal;
    std::mutex journalMutex; // the jobs append to the journal one at a time
    report::Package package;
    std::shared_ptr<const Configuration> loaded; // the package once checked, for every job
    std::vector<Entry> entries;
    QList<JobResult> absent; // ports named by --port where no terminal was found
    bool served = false;     // terminals were taken on: the summary and results follow
    bool interrupted = false;
    bool abandoned = false;
    std::shared_ptr<std::atomic<bool>> leftWork;
    std::atomic<int> failedWrites{0}; // journal records that could not be written
    SleepInhibitor awake;  // held while a terminal runs
    bool sleepNoted = false; // the log said once that the PC may sleep
    // --publish
    std::unique_ptr<AckLog> acks; // until the link takes it
    std::unique_ptr<Publisher> publisher;
    std::function<QByteArray()> offlineState; // the station's last message, made at the end
    QString stationId;        // --station-id, or made from /etc/machine-id (stationid.h)
    mutable std::mutex sharedMutex; // guards sharedSerials
    QSet<QString> sharedSerials;    // serial numbers another port of the station reported too
    bool linkTrouble = false;  // the person was told of a failure of the link
    bool publishClosed = false;
    QJsonObject publishing; // for the JSON summary
    QString publishLines;   // for the person's summary
};
