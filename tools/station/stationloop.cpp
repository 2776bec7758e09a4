// The terminals of a run: their jobs, started as the terminals are found (once, or as they
// appear with --watch), the run's loop that draws their progress, writes the journal and takes
// the stop signals, and one listing of the system's ports every 2 s for every job.
#include "station.h"

#include "console.h"
#include "model/logtexts.h"
#include "model/model.h"
#include "progressview.h"

#include <QElapsedTimer>

#include <csignal>
#include <unistd.h>

namespace {

// How often the live lines are drawn again, finished terminals journaled and a stop signal
// looked for.
constexpr int kTickMs = 250;

QString signalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    case SIGQUIT:
        return QStringLiteral("SIGQUIT");
    default:
        return QStringLiteral("signal %1").arg(signal);
    }
}

} // namespace

void Station::serve(const QList<FoundTerminal> &chosen)
{
    served = true;
    view = std::make_unique<ProgressView>(::isatty(STDOUT_FILENO) == 1);
    if (view->isLive())
        ProgressView::captureQtMessages(view.get());
    if (options.watch) {
        view->setStatus(QStringLiteral("Mode atelier, Ctrl-C pour terminer"));
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
        const bool waiting = options.watch && !stopSignals.stopped();
        if ((waiting || !allFinished()) && sinceListing.elapsed() >= listingMs) {
            board.refresh();
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
        view->redraw(now);
        if (!waiting && allFinished())
            break;
        onSignal(stopSignals.wait(kTickMs));
    }
    for (Entry &entry : entries)
        entry.job->wait();
    recordFinished();
    awake.release();
    view->close();
    ProgressView::captureQtMessages(nullptr);
}

void Station::startJob(const FoundTerminal &terminal)
{
    entries.push_back({std::make_unique<TerminalJob>(terminal, board)});
    TerminalJob &job = *entries.back().job;
    // The package checked once: every terminal gets the same bytes.
    job.prepare(loaded, options.reinstall);
    if (stopSignals.stopped())
        job.markNotStarted();
    else
        job.start([this](const JobView &row) { view->event(row); });
}

// --watch: every terminal that has appeared since the last look is updated once. A terminal is
// known by its USB serial number; one without a number, or whose number another port shares,
// by its port: each time that port appears, a new terminal is there.
void Station::admit()
{
    QSet<QString> serials;
    QSet<QString> ports;
    for (const FoundTerminal &terminal : board.terminals()) {
        if (!named(terminal))
            continue;
        const bool bySerial =
            !terminal.serialNumber.isEmpty() && board.sharing(terminal.serialNumber) == 1;
        if (!bySerial) {
            ports << terminal.port;
            if (!presentPorts.contains(terminal.port) &&
                !board.isHeldByOther(nullptr, terminal.port)) {
                station->log(QStringLiteral("Terminal détecté : ") + terminal.label);
                startJob(terminal);
            }
            continue;
        }
        serials << terminal.serialNumber;
        TerminalJob *known = nullptr;
        for (auto it = entries.rbegin(); it != entries.rend() && !known; ++it) {
            if (it->job->terminal().serialNumber == terminal.serialNumber)
                known = it->job.get();
        }
        if (!known) {
            station->log(QStringLiteral("Terminal détecté : ") + terminal.label);
            startJob(terminal);
        } else if (known->isFinished() && !presentSerials.contains(terminal.serialNumber)) {
            // Back after its turn (replugged, or late from its reboot): never a second time.
            const bool updated = known->result().success;
            known->setNote(updated ? QStringLiteral("rebranché, déjà mis à jour : débranchez-le")
                                   : QStringLiteral("rebranché, déjà essayé : relancez la "
                                                    "station pour une nouvelle tentative"));
            station->log(QStringLiteral("Terminal %1 rebranché sur %2 après son passage : il "
                                        "n'est pas mis à jour une seconde fois")
                             .arg(terminal.serialNumber, terminal.label));
            view->event(known->view());
        }
    }
    presentSerials = serials;
    presentPorts = ports;
}

// Each finished terminal's journal line, written as soon as the loop sees it finished.
void Station::recordFinished()
{
    for (Entry &entry : entries) {
        if (entry.recorded || !entry.job->isFinished())
            continue;
        entry.recorded = true;
        entry.job->retire();
        const JobResult result = entry.job->result();
        if ((!journal.isOpen() && !publisher) || !result.started.isValid())
            continue;
        QJsonObject fields = report::terminalJson(result);
        const QJsonObject about = report::packageJson(package);
        for (auto it = about.begin(); it != about.end(); ++it)
            fields.insert(it.key(), it.value());
        const QJsonObject record = Journal::record(fields);
        QString error;
        const bool written = journal.isOpen() && journal.append(record, error);
        publishRecord(record);
        if (journal.isOpen() && !written) {
            ++failedWrites;
            station->log(error);
            view->message(QStringLiteral("vardel-station : ") + error);
        }
    }
}

// The first stop signal: no new terminal starts, downloads are released without activation,
// terminals between activation and reboot finish. The second: the reboot waits end there.
void Station::onSignal(StopSignals::Event event)
{
    if (event == StopSignals::Event::None)
        return;
    const QString name = signalName(stopSignals.last());
    if (event == StopSignals::Event::First) {
        // --watch ends this way: only a terminal still running makes it an interruption.
        interrupted = !options.watch || !allFinished();
        station->log(QStringLiteral("Interruption demandée (%1) : les terminaux en "
                                    "téléchargement sont libérés sans activation")
                         .arg(name));
        const QString text =
            interrupted
                ? QStringLiteral("vardel-station : interruption demandée (%1). Aucun nouveau "
                                 "terminal ne démarre ; les terminaux en téléchargement sont "
                                 "libérés sans activer leurs fichiers ; ceux qui activent ou "
                                 "redémarrent terminent. Un second signal cesse d'attendre leur "
                                 "retour.")
                      .arg(name)
                : QStringLiteral("vardel-station : fin du mode atelier demandée (%1).").arg(name);
        if (view) {
            if (options.watch)
                view->setStatus(QStringLiteral("Arrêt demandé"));
            view->message(text);
        } else {
            console::err(text + QLatin1Char('\n'));
        }
        for (Entry &entry : entries)
            entry.job->cancel();
        return;
    }
    station->log(QStringLiteral("Seconde interruption (%1) : le retour des terminaux qui "
                                "redémarrent n'est plus attendu, ils ne sont pas vérifiés")
                     .arg(name));
    const QString text = QStringLiteral("vardel-station : seconde interruption (%1). Le retour des "
                                        "terminaux qui redémarrent n'est plus attendu : ils "
                                        "ne sont pas vérifiés.")
                             .arg(name);
    if (view)
        view->message(text);
    else
        console::err(text + QLatin1Char('\n'));
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
