#pragma once

#include "publisher.h"
#include "report.h"
#include "stoprequests.h"
#include "terminaljob.h"

#include <QList>
#include <QString>

// What a run of the station tells whoever shows it, as values: the station itself writes
// nothing for a person to read but its log file. Every callback does nothing by default; they
// are called on the run's thread, except where said. A text given with a value is the
// station's own wording of it (French, as its log says it), for a front end that shows it as
// is; the value says what happened.
class StationObserver
{
public:
    // Why a run did not start, or --flush did not send.
    enum class Refusal
    {
        LogUnavailable,      // the log cannot be written: a station must leave its trace
        OutputUnwritable,    // the JSON summary's file cannot be made
        JournalUnavailable,  // the journal cannot be opened (or read, for --flush)
        PublishingUnready,   // the broker's settings, credentials or authority are wrong
        PackageInvalid,      // the package cannot be installed
        NoTerminal,          // no terminal was found (on the ports asked for)
    };
    // Something the person must know that does not stop the run.
    enum class Warning
    {
        DevelopmentKeys, // this build holds the public development keys
        JsonNotWritten,  // the JSON summary could not be written
        LogNotWritten,   // entries of the log were lost
        JournalNotWritten, // a terminal's record could not be journaled (a job's thread)
    };

    virtual ~StationObserver() = default;

    // Run level.
    virtual void refused(Refusal /*why*/, const QString & /*text*/) {}
    virtual void warned(Warning /*what*/, const QString & /*text*/) {}
    // The ports are about to be searched for terminals (the card readers switched first).
    virtual void searching() {}
    // --list: the package and what was found; nothing else follows.
    virtual void listed(const report::Package & /*package*/,
                        const QList<FoundTerminal> & /*terminals*/) {}
    // A terminal is taken on; or, in watch mode, held back while the job of `awaitedPort`
    // waits for its own terminal, which it may be.
    virtual void terminalFound(const FoundTerminal & /*terminal*/) {}
    virtual void terminalHeldBack(const FoundTerminal & /*terminal*/,
                                  const QString & /*awaitedPort*/) {}
    // The terminals are served from here until servingEnded(): the jobs run.
    virtual void servingStarted(bool /*watch*/) {}
    virtual void jobStarted(const FoundTerminal & /*terminal*/) {}
    // A job's stage, file or a quarter of its percentage changed, its end, or a note added
    // beside a finished one; on the job's thread or the run's.
    virtual void jobChanged(const JobView & /*row*/) {}
    // A job has ended (its outcome, stage and cause in result.installation).
    virtual void jobEnded(const JobResult & /*result*/) {}
    // Every terminal of the run, in the order they were taken on, at each turn of the run's
    // loop (4 times a second).
    virtual void progressed(const QList<JobView> & /*rows*/) {}
    // A stop was requested by `source`: the first (interrupted: terminals were running or
    // about to; otherwise watch mode simply ends), or the second.
    virtual void stopTaken(StopRequests::Event /*which*/, const QString & /*source*/,
                           bool /*interrupted*/) {}
    virtual void servingEnded() {}
    // The broker's link changed in a way the person must know (trouble, or its end).
    virtual void linkChanged(const Publisher::Event & /*event*/, const QString & /*text*/) {}
    // The run's end: the terminals' results and the exit status (run.exitStatus); with
    // publishing, what the broker took, as its values (run.publishing) and in words.
    virtual void finished(const report::Run & /*run*/, const QString & /*publishing*/) {}

    // --flush, --republish: nothing to send (the journal holds `records`, all acknowledged
    // unless republishing), or `sent` records sent and what the broker took.
    virtual void nothingToFlush(int /*records*/) {}
    virtual void flushed(int /*sent*/, const Publisher::Tally & /*tally*/,
                         const QString & /*publishing*/) {}
};
