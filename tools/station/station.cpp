#include "station.h"

#include "app/logger.h"
#include "app/sleepinhibitor.h"
#include "config/configuration.h"
#include "link/serialport.h"
#include "model/logtexts.h"
#include "model/model.h"
#include "progressview.h"

#include <QDir>
#include <QSerialPortInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

// How often the live lines are drawn again and a stop signal is looked for.
constexpr long kTickNs = 250L * 1000 * 1000;

void say(const QString &text, FILE *stream = stdout)
{
    std::fputs(qUtf8Printable(text + QLatin1Char('\n')), stream);
    std::fflush(stream);
}

bool allFinished(const std::vector<std::unique_ptr<TerminalJob>> &jobs)
{
    for (const auto &job : jobs) {
        if (!job->isFinished())
            return false;
    }
    return true;
}

} // namespace

Station::Station(const StationOptions &given, const sigset_t &blocked)
    : options(given), stopSignals(blocked), station(std::make_unique<Model>())
{
    packageDirectory = options.packageDir.isEmpty()
                           ? Configuration::directory()
                           : QDir(options.packageDir).absolutePath() + QLatin1Char('/');
}

Station::~Station() = default;

int Station::run()
{
    station->log(logger::startBanner);
    checkPackage();
    const QList<FoundTerminal> found = findTerminals();
    int status = kNothingStarted;
    if (options.list) {
        status = list(found);
    } else if (!packageValid) {
        status = cannotStart(QStringLiteral("le package %1 ne peut pas être installé : %2.")
                                 .arg(QDir::toNativeSeparators(packageDirectory), packageVerdict));
    } else {
        QList<FoundTerminal> chosen = found;
        QList<JobResult> absent;
        if (!options.ports.isEmpty()) {
            chosen.clear();
            for (const QString &wanted : options.ports) {
                bool present = false;
                for (const FoundTerminal &terminal : found) {
                    const bool named = terminal.port == wanted || terminal.label == wanted;
                    const bool taken = std::any_of(chosen.begin(), chosen.end(),
                                                   [&](const FoundTerminal &t) {
                                                       return t.label == terminal.label;
                                                   });
                    present = present || named;
                    if (named && !taken)
                        chosen << terminal;
                }
                if (!present) {
                    JobResult missing;
                    missing.startPort = missing.port = wanted;
                    missing.title = QStringLiteral("Terminal absent");
                    missing.message = QStringLiteral("Aucun terminal n'a été détecté sur ce port.");
                    absent << missing;
                }
            }
        }
        if (chosen.isEmpty())
            status = cannotStart(found.isEmpty() || options.ports.isEmpty()
                                     ? QStringLiteral("aucun terminal détecté.")
                                     : QStringLiteral("aucun terminal détecté sur : ") +
                                           options.ports.join(QStringLiteral(", ")) +
                                           QLatin1Char('.'));
        else
            status = install(chosen, absent);
    }
    station->log(logger::endBanner);
    return status;
}

int Station::cannotStart(const QString &text)
{
    say(QStringLiteral("vardel-station : ") + text, stderr);
    return kNothingStarted;
}

// The package as the window reads it, plus a scenario to run: read and checked once, files
// included, and shared by every terminal's installation.
void Station::checkPackage()
{
    auto loaded = std::make_shared<Configuration>(packageDirectory);
    const QString file = QDir::toNativeSeparators(loaded->configurationFile());
    const bool checked = loaded->loadChecked();
    if (loaded->readFailure().failed())
        packageVerdict =
            QStringLiteral("fichier de configuration manquant ou illisible (%1)").arg(file);
    else if (loaded->verdict() != signature::Verdict::Valid)
        packageVerdict = QStringLiteral("signature invalide (%1)").arg(file);
    else if (!checked)
        packageVerdict = QStringLiteral("fichiers refusés (%1)")
                             .arg(loaded->logLines().join(QStringLiteral(" ; ")));
    else if (loaded->getBatches().isEmpty())
        packageVerdict = QStringLiteral("aucun scénario d'installation (%1)").arg(file);
    else
        packageValid = true;
    for (const QString &line : loaded->logLines())
        station->log(line);

    if (packageValid) {
        int files = 0;
        for (const Batch *batch : loaded->getBatches())
            files += batch->files.size();
        packageVerdict = QStringLiteral("valide : « %1 », %2 lot(s), %3 fichier(s)")
                             .arg(loaded->getTitle())
                             .arg(loaded->getBatches().size())
                             .arg(files);
        station->log(QStringLiteral("Configuration chargée avec succès"));
        package = std::move(loaded);
    } else {
        station->log(logtexts::configurationMissing(file));
    }
}

// One search, as the window's first: the card readers are switched, then the ports listed.
QList<FoundTerminal> Station::findTerminals()
{
    station->searchTerminals();
    const QStringList labels = station->getFoundTerminals();
    if (labels.isEmpty())
        station->log(QStringLiteral("Aucun terminal détecté"));
    const auto available = QSerialPortInfo::availablePorts();
    QList<FoundTerminal> found;
    for (const QString &label : labels) {
        station->log(QStringLiteral("Terminal détecté : ") + label);
        for (const QSerialPortInfo &info : available) {
            if (SerialPort::labelFor(info) == label) {
                found.append({label, info.portName(), info.serialNumber(), info.manufacturer()});
                break;
            }
        }
    }
    return found;
}

int Station::list(const QList<FoundTerminal> &terminals) const
{
    say(QStringLiteral("Package %1 : %2")
            .arg(QDir::toNativeSeparators(packageDirectory), packageVerdict));
    if (terminals.isEmpty()) {
        say(QStringLiteral("Aucun terminal détecté."));
        return kNothingStarted;
    }
    say(QStringLiteral("%1 terminal(aux) détecté(s) :").arg(terminals.size()));
    for (const FoundTerminal &t : terminals)
        say(QStringLiteral("  %1  %2  %3  %4")
                .arg(t.port, -12)
                .arg(t.serialNumber.isEmpty() ? QStringLiteral("-") : t.serialNumber, -12)
                .arg(t.manufacturer, -10)
                .arg(t.label));
    return packageValid ? kAllUpdated : kNothingStarted;
}

int Station::install(const QList<FoundTerminal> &terminals, const QList<JobResult> &absent)
{
    int portWidth = 0;
    int serialWidth = 0;
    for (const FoundTerminal &t : terminals) {
        portWidth = qMax(portWidth, int(t.port.size()));
        serialWidth = qMax(serialWidth, int(t.serialNumber.size()));
    }
    ProgressView view(::isatty(STDOUT_FILENO) == 1, portWidth, serialWidth);
    if (view.isLive())
        ProgressView::captureQtMessages(&view);

    // A serial number found twice cannot tell its terminals apart: those are followed by port.
    for (const FoundTerminal &t : terminals) {
        int same = 0;
        for (const FoundTerminal &other : terminals)
            same += other.serialNumber == t.serialNumber ? 1 : 0;
        jobs.push_back(std::make_unique<TerminalJob>(t, !t.serialNumber.isEmpty() && same == 1));
    }
    // Every terminal gets the same bytes, checked once.
    for (auto &job : jobs)
        job->prepare(package);

    sigset_t pending;
    const bool stopped = sigpending(&pending) == 0 && (sigismember(&pending, SIGINT) == 1 ||
                                                       sigismember(&pending, SIGTERM) == 1);
    // The PC stays awake while any terminal is being written; without logind it may sleep.
    SleepInhibitor awake;
    if (!stopped && !allFinished(jobs)) {
        const SleepInhibitor::Outcome outcome = awake.acquire();
        if (outcome != SleepInhibitor::Outcome::Held)
            station->log(logtexts::sleepNotInhibited(outcome, awake.failureDetail()));
    }
    for (auto &job : jobs) {
        if (job->isFinished())
            continue;
        if (stopped)
            job->markNotStarted();
        else
            job->start([&view](const JobView &row) { view.event(row); });
    }
    const bool interrupted = waitForJobs(view) || stopped;
    awake.release();
    view.close();
    ProgressView::captureQtMessages(nullptr);

    report::Run run;
    run.package = packageDirectory;
    run.interrupted = interrupted;
    bool allUpdated = absent.isEmpty();
    for (const auto &job : jobs) {
        run.terminals << job->result();
        allUpdated = allUpdated && run.terminals.last().success;
    }
    run.terminals << absent;
    run.exitStatus = allUpdated && !interrupted ? kAllUpdated : kSomeFailed;
    say(QString());
    std::fputs(qUtf8Printable(report::table(run.terminals)), stdout);
    QString error;
    if (!options.jsonFile.isEmpty() && !report::writeJson(options.jsonFile, run, error))
        say(QStringLiteral("vardel-station : ") + error, stderr);
    return run.exitStatus;
}

// Until every job has finished; the first stop signal cancels them all. True when stopped.
bool Station::waitForJobs(ProgressView &view)
{
    bool interrupted = false;
    const timespec tick{0, kTickNs};
    for (;;) {
        QList<JobView> rows;
        for (auto &job : jobs)
            rows << job->view();
        view.redraw(rows);
        if (allFinished(jobs))
            break;
        const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
        if ((signal == SIGINT || signal == SIGTERM) && !interrupted) {
            interrupted = true;
            station->log(QStringLiteral("Interruption demandée : les terminaux en téléchargement "
                                        "sont libérés sans activation"));
            view.message(QStringLiteral(
                "vardel-station : interruption demandée. Les terminaux en téléchargement sont "
                "libérés sans activer leurs fichiers ; ceux qui activent ou redémarrent "
                "terminent."));
            for (auto &job : jobs)
                job->cancel();
        }
    }
    for (auto &job : jobs)
        job->wait();
    return interrupted;
}
