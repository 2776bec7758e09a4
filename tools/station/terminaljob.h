#pragma once

#include "model/installresult.h"

#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class Configuration;
class Model;
class QThread;

// A terminal as the search found it.
struct FoundTerminal
{
    QString label;        // "ttyACM0 - (Terminal USB)": what the Model opens
    QString port;         // "ttyACM0"
    QString serialNumber; // empty: the system reports none
    QString manufacturer;
};

// One terminal at a moment, as the progress display shows it.
struct JobView
{
    enum class State
    {
        Waiting,
        Running,
        Done,
    };
    State state = State::Waiting;
    QString port; // where the terminal is now
    QString serialNumber;
    QString stage; // short name of the scenario's stage, or the outcome once done
    QString file;  // the file being downloaded
    int percent = -1;          // of the current step (a file, the reboot wait); -1: none yet
    double bytesPerSecond = 0; // over the last seconds
    bool success = false;
};

// The outcome of one terminal, for the summary.
struct JobResult
{
    QString startPort; // the port it was found on
    QString port;      // the port it ended on
    QString serialNumber;
    QString title;   // the title of the box the window would show
    QString message; // and its text
    bool success = false;       // updated, and its restart confirmed
    InstallResult installation; // how the Model's installation ended: outcome, stage, causes
    double seconds = 0;
    quint64 bytesSent = 0;
};

// One terminal's installation on a thread of its own, with its own Model and port: the Model
// and its port are used by that thread only. The Model's log entries carry the terminal's
// port ("[ttyACM1] "); its progress is logged as the window logs it ("Module : ..."), on the
// same thread, so each terminal's entries keep the order in which they happened.
class TerminalJob
{
public:
    // Called on the job's thread whenever its stage, file or a quarter of its percentage changes.
    using Listener = std::function<void(const JobView &)>;

    // `followBySerial`: find the terminal by its serial number at each open, wherever it is.
    TerminalJob(const FoundTerminal &terminal, bool followBySerial);
    ~TerminalJob();
    TerminalJob(const TerminalJob &) = delete;
    TerminalJob &operator=(const TerminalJob &) = delete;

    // The package to install: loaded and checked once by the station, shared read-only by
    // every job.
    void prepare(std::shared_ptr<const Configuration> package);
    void start(Listener listener);
    // Never started: finished as interrupted.
    void markNotStarted();
    // Stops the installation at its next safe point (see Model::requestCancel).
    void cancel();
    bool isFinished() const { return finished; }
    void wait();

    JobView view(); // also takes a sample of the rate
    JobResult result() const;

private:
    void run();
    void onProgress(const InstallProgress &progress);
    QString resolve();
    void sample(qint64 now, quint64 bytes); // under mutex
    void finish(const InstallResult &result);

    const FoundTerminal found;
    const bool followBySerial;
    std::unique_ptr<Model> model;
    std::unique_ptr<QThread> thread;
    Listener listener;
    std::atomic<bool> finished{false};
    QElapsedTimer clock;

    mutable std::mutex mutex; // guards what follows: written by the job, read by the display
    QString currentLabel;
    JobView state;
    JobResult outcome;
    std::deque<std::pair<qint64, quint64>> samples; // (ms since start, bytes sent)
};
