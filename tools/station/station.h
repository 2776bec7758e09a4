#pragma once

#include "report.h"
#include "stationoptions.h"
#include "terminaljob.h"

#include <QList>

#include <csignal>
#include <memory>
#include <vector>

class Configuration;
class Model;

// One run of vardel-station: the package checked once, the card readers switched and the
// terminals found once, then one installation per terminal, all at the same time.
class Station
{
public:
    // Exit statuses.
    static constexpr int kAllUpdated = 0;
    static constexpr int kSomeFailed = 1;
    static constexpr int kNothingStarted = 2;

    // `stopSignals` are blocked in every thread; the run waits for them itself.
    Station(const StationOptions &options, const sigset_t &stopSignals);
    ~Station();

    int run();

private:
    void checkPackage(); // sets packageValid and packageVerdict
    QList<FoundTerminal> findTerminals();
    int list(const QList<FoundTerminal> &terminals) const;
    int install(const QList<FoundTerminal> &terminals, const QList<JobResult> &absent);
    bool waitForJobs(class ProgressView &view);
    int cannotStart(const QString &text);

    const StationOptions options;
    const sigset_t stopSignals;
    std::unique_ptr<Model> station; // the run's own entries and the terminal search
    QString packageDirectory;       // ends with a separator
    // The package once checked, for every job.
    std::shared_ptr<const Configuration> package;
    QString packageVerdict;
    bool packageValid = false;
    std::vector<std::unique_ptr<TerminalJob>> jobs;
};
