#pragma once

#include "model/installation/installresult.h"
#include "portboard.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class Configuration;
class Model;
class QThread;

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
    bool success = false;    // updated, or already up to date
    bool upToDate = false;   // ... already: nothing was sent
    bool unverified = false; // installed, but its update unconfirmed: to be checked
    QString note;            // said beside a finished terminal (replugged after its update)
    InstallProgress progress; // the Model's last report, as values
};

// The outcome of one terminal, for the summary.
struct JobResult
{
    QString startPort; // the port it was found on
    QString port;      // the port it ended on
    QString serialNumber;
    QString title;   // the title of the box the window would show
    QString message; // and its text
    bool success = false;       // updated, and its restart confirmed; or already up to date
    InstallResult installation; // how the Model's installation ended: outcome, stage, causes
    double seconds = 0;
    quint64 bytesSent = 0;
    QDateTime started; // invalid for a terminal never started
    QDateTime ended;
};

// One terminal's installation on a thread of its own, with its own Model and port: the Model
// and its port are used by that thread only. The Model's log entries carry the terminal's
// port ("[ttyACM1] "); its progress is logged as the window logs it ("Module : ..."), on the
// same thread, so each terminal's entries keep the order in which they happened.
//
// The job opens first the port its terminal was found on. Later opens (the next batch, the
// tries of the reboot wait, the release) follow the terminal by its identity (TerminalIdentity:
// its USB serial number, or else its USB socket): among the terminals' ports of the station's
// last listing that no other job holds. A terminal known by neither is followed by its port.
// The log says how a terminal not known by its serial number is followed.
//
// Once the installation has ended, and before the release frames, the job hands its result to
// the station's recorder (the journal's line, on the job's thread).
class TerminalJob
{
public:
    // Called on the job's thread whenever its stage, file or a quarter of its percentage changes.
    using Listener = std::function<void(const JobView &)>;
    // Called on the job's thread once the installation has ended, before the release frames,
    // with the terminal's result; returns the record it made of it (empty: none), which the
    // job keeps (record()).
    using Recorder = std::function<QJsonObject(const JobResult &)>;

    // The job's opens look ports up in `board`'s listing, and it holds its port there.
    TerminalJob(const FoundTerminal &terminal, PortBoard &board);
    ~TerminalJob();
    TerminalJob(const TerminalJob &) = delete;
    TerminalJob &operator=(const TerminalJob &) = delete;

    // The package to install: loaded and checked once by the station, shared read-only by
    // every job; with `reinstall`, a batch the terminal already lists is sent all the same.
    void prepare(std::shared_ptr<const Configuration> package, bool reinstall);
    void start(Listener listener, Recorder recorder = {});
    // Never started: finished as interrupted.
    void markNotStarted();
    // Stops the installation at its next safe point (see Model::requestCancel).
    void cancel();
    // Also stops waiting for the terminal to come back from its reboot (left unchecked).
    void stopWaiting();
    bool isFinished() const { return finished; }
    void wait();
    // Once finished: lets its thread and its Model go, keeping what the display and the
    // summary show (a long --watch session keeps every terminal's result, not its Model).
    void retire();

    JobView view(); // also takes a sample of the rate
    JobResult result() const;
    const FoundTerminal &terminal() const { return found; }
    const TerminalIdentity &identity() const { return found.identity; }
    // What the recorder made of the result; empty before, or when it made nothing.
    QJsonObject record() const;
    // Shown beside the finished terminal.
    void setNote(const QString &note);

private:
    void run();
    void onProgress(const InstallProgress &progress);
    QString resolve();
    void logIdentity();
    void sample(qint64 now, quint64 bytes); // under mutex
    // The result as the summary and the journal keep it; then, once the terminal has been
    // released, the job finished.
    JobResult settle(const InstallResult &result);
    void finish(const InstallResult &result);

    const FoundTerminal found;
    PortBoard &board;
    std::unique_ptr<Model> model;
    std::unique_ptr<QThread> thread;
    Listener listener;
    Recorder recorder;
    std::atomic<bool> finished{false};
    QElapsedTimer clock;

    mutable std::mutex mutex; // guards what follows: written by the job, read by the display
    QString currentLabel;
    bool opened = false; // the first open has been resolved
    JobView state;
    JobResult outcome;
    QJsonObject recorded;
    std::deque<std::pair<qint64, quint64>> samples; // (ms since start, bytes sent)
};
