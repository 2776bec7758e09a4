// The terminals of a run: their jobs, started as the terminals are found (once, or as they
// appear in watch mode), the run's loop that tells their progress, writes the journal and
// takes the stops, and one listing of the system's ports every 2 s for every job.
#include "station.h"

#include "model/installation/logtexts.h"
#include "model/model.h"

#include <QElapsedTimer>

#include <algorithm>

namespace {

// How often the progress is told, finished terminals journaled and a stop looked for.
constexpr int kTickMs = 250;

} // namespace

void Station::serve(const QList<FoundTerminal> &chosen)
{
    served = true;
    observer.servingStarted(options.watch);
    if (options.watch) {
        admit();
    } else {
        for (const FoundTerminal &terminal : chosen)
            startJob(terminal);
    }

    // The system's ports are listed for the jobs (their opens, a terminal back from its reboot
    // under another name) while terminals run or are awaited as often as the window searches
    // (2 s), and --watch looks for new terminals in each listing. A listing is not cheap (32
    // mocked ports: about 30 ms of CPU), and a terminal that comes back under another name is
    // still found within 2 s of a reboot wait of 40 s or more.
    const qint64 listingMs = Model::defaultTiming().searchPauseMs;
    QElapsedTimer sinceListing;
    QElapsedTimer sinceSearch;
    sinceListing.start();
    sinceSearch.start();
    for (;;) {
        const bool waiting = options.watch && !stops.stopped();
        if ((waiting || !allFinished()) && sinceListing.elapsed() >= listingMs) {
            board.refresh();
            noteSharedSerials();
            sinceListing.restart();
        }
        if (waiting && sinceSearch.elapsed() >= listingMs) {
            admit();
            sinceSearch.restart();
        }
        recordFinished();
        sayPublisherEvents();
        keepAwake();
        const QList<JobView> now = rows();
        publishProgress(now);
        observer.progressed(now);
        if (!waiting && allFinished())
            break;
        onStop(stops.wait(kTickMs));
    }
    for (Entry &entry : entries)
        entry.job->wait();
    recordFinished();
    awake.release();
    observer.servingEnded();
}

void Station::startJob(const FoundTerminal &terminal)
{
    entries.push_back({std::make_unique<TerminalJob>(terminal, board)});
    TerminalJob &job = *entries.back().job;
    // The package checked once: every terminal gets the same bytes.
    job.prepare(loaded, options.reinstall);
    noteSharedSerials();
    observer.jobStarted(terminal);
    if (stops.stopped())
        job.markNotStarted();
    else
        job.start([this](const JobView &row) { observer.jobChanged(row); },
                  [this](const JobResult &result) { return recordTerminal(result); });
}

// --watch: every terminal that appears is updated once. A terminal is known by its identity
// (TerminalIdentity): by its serial number for the whole session, whatever its outcome; by its
// USB socket or its port only while it stays plugged in, so that the next terminal plugged into
// that socket is a new one. A port that a running job's terminal came back on is that job's.
//
// While a job waits for a terminal that is away and that it knows by its socket or its port, a
// port that appears and may be that terminal (it has no serial number of its own that tells it
// apart) is not taken on before that job has finished. Then, if the job's terminal came back
// where it was expected, the port is a new terminal; if it did not, the port is taken for that
// terminal, come back elsewhere: it is not updated while it stays plugged in, and the person is
// told to plug it in again to have it updated.
void Station::admit()
{
    const QList<PortInfo> listing = board.listing();
    lookForJobsTerminals(listing);
    for (const PortInfo &info : listing) {
        if (!info.isTerminal())
            continue;
        const FoundTerminal terminal = FoundTerminal::of(info, listing);
        if (!named(terminal) || board.isHeldByOther(nullptr, terminal.port))
            continue;
        Entry *known = nullptr;
        for (auto it = entries.rbegin(); it != entries.rend() && !known; ++it) {
            if ((!it->released && it->job->identity().matches(info, listing)) ||
                it->presumed.contains(terminal.port) || it->awaiting.contains(terminal.port))
                known = &*it;
        }
        if (!known) {
            if (Entry *waiting = awaitedBy(terminal)) {
                waiting->awaiting << terminal.port;
                station->log(QStringLiteral("Terminal détecté : %1, pendant l'attente du retour "
                                            "du terminal de %2 : il n'est pas pris en charge "
                                            "avant la fin de celle-ci")
                                 .arg(terminal.label, waiting->job->terminal().port));
                observer.terminalHeldBack(terminal, waiting->job->terminal().port);
                continue;
            }
            station->log(QStringLiteral("Terminal détecté : ") + terminal.label);
            observer.terminalFound(terminal);
            startJob(terminal);
            entries.back().present = true;
        } else if (known->job->isFinished() && known->returned &&
                   known->job->identity().matches(info, listing)) {
            // Back after its turn (replugged, or late from its reboot): never a second time.
            known->returned = false;
            const bool updated = known->job->result().success;
            known->job->setNote(updated
                                    ? QStringLiteral("rebranché, déjà mis à jour : débranchez-le")
                                    : QStringLiteral("rebranché, déjà essayé : relancez la "
                                                     "station pour une nouvelle tentative"));
            station->log(QStringLiteral("Terminal %1 rebranché sur %2 après son passage : il "
                                        "n'est pas mis à jour une seconde fois")
                             .arg(terminal.serialNumber, terminal.label));
            observer.jobChanged(known->job->view());
        }
        // Otherwise its job, running, follows it there, or waits to be done with it; or,
        // finished, it never left.
    }
}

// Where each job's terminal is in `listing`; what a job that has finished leaves known.
void Station::lookForJobsTerminals(const QList<PortInfo> &listing)
{
    const auto unlisted = [&listing](const QString &port) {
        for (const PortInfo &info : listing) {
            if (info.name == port)
                return false;
        }
        return true;
    };
    for (Entry &entry : entries) {
        const bool here = entry.job->identity().findIn(listing).has_value();
        entry.returned = here && !entry.present;
        entry.present = here;
        const bool finished = entry.job->isFinished();
        if (!here && finished &&
            entry.job->identity().kind() != TerminalIdentity::Kind::SerialNumber)
            entry.released = true;
        if (finished && !entry.settled) {
            entry.settled = true;
            settleAwaited(entry, here);
        }
        // A port held back or taken for its terminal is forgotten once unplugged.
        entry.presumed.erase(
            std::remove_if(entry.presumed.begin(), entry.presumed.end(), unlisted),
            entry.presumed.end());
        entry.awaiting.erase(
            std::remove_if(entry.awaiting.begin(), entry.awaiting.end(), unlisted),
            entry.awaiting.end());
    }
}

// The job of `terminal`, among the running ones, when it may be the terminal that job waits
// for: that job's terminal is away, the job knows it by its socket or its port, and `terminal`
// has no serial number of its own that tells it apart.
Station::Entry *Station::awaitedBy(const FoundTerminal &terminal)
{
    for (Entry &entry : entries) {
        const TerminalIdentity &awaitedOne = entry.job->identity();
        if (entry.job->isFinished() || entry.present ||
            awaitedOne.kind() == TerminalIdentity::Kind::SerialNumber)
            continue;
        const bool toldApart =
            terminal.identity.kind() == TerminalIdentity::Kind::SerialNumber &&
            terminal.serialNumber != awaitedOne.serialNumber();
        if (!toldApart)
            return &entry;
    }
    return nullptr;
}

// A job has finished: the ports held back while it waited are new terminals if its terminal
// came back where it was expected; otherwise they are taken for it.
void Station::settleAwaited(Entry &entry, bool terminalHere)
{
    if (entry.awaiting.isEmpty())
        return;
    if (terminalHere) {
        entry.awaiting.clear(); // taken on at this look
        return;
    }
    entry.presumed = entry.awaiting;
    entry.awaiting.clear();
    const QString ports = entry.presumed.join(QStringLiteral(", "));
    station->log(QStringLiteral("[%1] Le terminal n'est pas revenu là où il était attendu (%2) ; "
                                "%3, apparu pendant l'attente, est pris pour lui et n'est pas mis "
                                "à jour : débranchez-le puis rebranchez-le pour le mettre à jour")
                     .arg(entry.job->terminal().port, entry.job->identity().describe(), ports));
    entry.job->setNote(QStringLiteral("peut-être revenu sur %1 : débranchez-le puis "
                                      "rebranchez-le pour le mettre à jour")
                           .arg(ports));
    observer.jobChanged(entry.job->view());
}

// The record of a terminal whose installation has ended, on its job's thread, before its
// release frames: its journal line, appended and forced to the disk at once (one job at a
// time), so that a station killed meanwhile has it. The record goes to the broker from the
// run's loop.
QJsonObject Station::recordTerminal(const JobResult &result)
{
    if ((!journal.isOpen() && !publisher) || !result.started.isValid())
        return QJsonObject();
    QJsonObject fields = report::terminalJson(result);
    const QJsonObject about = report::packageJson(package);
    for (auto it = about.begin(); it != about.end(); ++it)
        fields.insert(it.key(), it.value());
    // A serial number another port reported too: the record says so, and its topic
    // (terminalLevel) holds the port as well.
    fields.insert(QStringLiteral("serialNumberShared"), serialShared(result.serialNumber));
    const QJsonObject record = Journal::record(fields, stationId);
    if (!journal.isOpen())
        return record;
    QString error;
    bool written = false;
    {
        std::lock_guard<std::mutex> lock(journalMutex);
        written = journal.append(record, error);
    }
    if (!written) {
        ++failedWrites;
        station->log(error);
        observer.warned(StationObserver::Warning::JournalNotWritten, error);
    }
    return record;
}

// Each finished terminal: its thread and Model let go, and its record (written to the journal
// by its job) published.
void Station::recordFinished()
{
    for (Entry &entry : entries) {
        if (entry.recorded || !entry.job->isFinished())
            continue;
        entry.recorded = true;
        entry.job->retire();
        observer.jobEnded(entry.job->result());
        const QJsonObject record = entry.job->record();
        if (!record.isEmpty())
            publishRecord(record);
    }
}

// The first stop: no new terminal starts, downloads are released without activation,
// terminals between activation and reboot finish. The second: the reboot waits end there.
void Station::onStop(StopRequests::Event event)
{
    if (event == StopRequests::Event::None)
        return;
    const QString name = stops.source();
    if (event == StopRequests::Event::First) {
        // Watch mode ends this way: only a terminal still running makes it an interruption.
        interrupted = !options.watch || !allFinished();
        station->log(QStringLiteral("Interruption demandée (%1) : les terminaux en "
                                    "téléchargement sont libérés sans activation")
                         .arg(name));
        observer.stopTaken(event, name, interrupted);
        for (Entry &entry : entries)
            entry.job->cancel();
        return;
    }
    station->log(QStringLiteral("Seconde interruption (%1) : le retour des terminaux qui "
                                "redémarrent n'est plus attendu, ils ne sont pas vérifiés")
                     .arg(name));
    observer.stopTaken(event, name, interrupted);
    for (Entry &entry : entries)
        entry.job->stopWaiting();
}

// The PC stays awake while any terminal runs. Without logind the log says so once, and no
// later terminal asks again (each try may wait seconds for the bus).
void Station::keepAwake()
{
    if (allFinished()) {
        awake.release();
        return;
    }
    if (awake.isHeld() || sleepNoted)
        return;
    const SleepInhibitor::Outcome outcome = awake.acquire();
    if (outcome == SleepInhibitor::Outcome::Held)
        return;
    sleepNoted = true;
    station->log(logtexts::sleepNotInhibited(outcome, awake.failureDetail()));
}

bool Station::allFinished() const
{
    for (const Entry &entry : entries) {
        if (!entry.job->isFinished())
            return false;
    }
    return true;
}

QList<JobView> Station::rows()
{
    QList<JobView> all;
    for (Entry &entry : entries)
        all << entry.job->view();
    return all;
}
