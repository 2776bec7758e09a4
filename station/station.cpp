#include "station.h"

#include "acklog.h"
#include "config/configuration.h"
#include "crypto/devkeys.h"
#include "model/installation/logtexts.h"
#include "model/model.h"
#include "publisher.h"
#include "stationid.h"
#include "system/logger.h"

#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

// How often a running piece of work (the package read, the first search) is looked at.
constexpr int kWorkTickMs = 20;

} // namespace

Station::Station(const StationSettings &given, StopRequests &stopRequests,
                 StationObserver &watcher)
    : options(given), stops(stopRequests), observer(watcher), station(std::make_unique<Model>()),
      stationId(options.stationId.isEmpty() ? stationid::fromMachine() : options.stationId)
{
    package.directory = options.packageDir.isEmpty()
                            ? Configuration::directory()
                            : QDir(options.packageDir).absolutePath() + QLatin1Char('/');
}

Station::~Station() = default;

int Station::run()
{
    if (options.flush || options.republish)
        return flush();
    station->log(logger::startBanner);
    // A station left alone must leave its trace: without a log it does not start.
    if (const QString failure = station->logFailure(); !failure.isEmpty()) {
        observer.refused(StationObserver::Refusal::LogUnavailable,
                         failure + QStringLiteral(" ; rien n'a été fait."));
        return kNothingStarted;
    }
    if (devkeys::inUse()) {
        station->log(devkeys::logLine());
        observer.warned(StationObserver::Warning::DevelopmentKeys,
                        devkeys::logLine() + QLatin1Char('.'));
    }
    if (!openOutputs())
        return kNothingStarted;
    if (!checkPackage())
        return finish();
    if (!package.valid && !options.list)
        return cannotStart(StationObserver::Refusal::PackageInvalid,
                           QStringLiteral("le package %1 ne peut pas être installé : %2.")
                               .arg(QDir::toNativeSeparators(package.directory), package.verdict),
                           true);
    startPublishing();
    QList<FoundTerminal> found;
    if (!search(found))
        return finish();
    if (options.list)
        return list(found);
    const QList<FoundTerminal> chosen = choose(found);
    if (chosen.isEmpty() && !options.watch)
        return cannotStart(StationObserver::Refusal::NoTerminal,
                           found.isEmpty() || options.ports.isEmpty()
                               ? QStringLiteral("aucun terminal détecté.")
                               : QStringLiteral("aucun terminal détecté sur : ") +
                                     options.ports.join(QStringLiteral(", ")) + QLatin1Char('.'),
                           true);
    serve(chosen);
    return finish();
}

// The JSON summary's folder and the journal, checked before any terminal is touched: a run
// whose results would be lost does not start.
bool Station::openOutputs()
{
    QString error;
    if (!options.jsonFile.isEmpty() && !report::checkWritable(options.jsonFile, error)) {
        cannotStart(StationObserver::Refusal::OutputUnwritable,
                    QStringLiteral("le bilan JSON ne pourra pas être écrit dans %1 : %2.")
                        .arg(QDir::toNativeSeparators(options.jsonFile), error),
                    false);
        return false;
    }
    if (!options.journalFile.isEmpty() && !journal.open(options.journalFile, error)) {
        cannotStart(StationObserver::Refusal::JournalUnavailable, error + QLatin1Char('.'),
                    false);
        return false;
    }
    if (!preparePublishing(error)) {
        cannotStart(StationObserver::Refusal::PublishingUnready, error, false);
        return false;
    }
    return true;
}

// Runs `work` on a thread of its own while a stop is watched for. True once it has finished;
// false when a stop came first: the work then runs on alone (it reads files or
// lists ports, never a terminal) and the run ends without it.
bool Station::runListening(const std::function<void()> &work)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread worker([work, done] {
        work();
        done->store(true);
    });
    while (!done->load()) {
        const StopRequests::Event event = stops.wait(kWorkTickMs);
        if (event != StopRequests::Event::None) {
            onStop(event);
            abandoned = true;
            leftWork = done;
            worker.detach();
            return false;
        }
    }
    worker.join();
    return true;
}

// The package as the window reads it, plus a scenario to run: read and checked once, files
// included, and shared by every terminal's installation. The reason for a refusal is the one
// the program logs. False when a stop came during the reading.
bool Station::checkPackage()
{
    struct Checked
    {
        report::Package package;
        std::shared_ptr<Configuration> configuration;
        QStringList logLines;
    };
    auto checked = std::make_shared<Checked>();
    checked->package = package;
    QThread *const mainThread = QThread::currentThread();
    const bool read = runListening([checked, mainThread] {
        report::Package &p = checked->package;
        auto configuration = std::make_shared<Configuration>(p.directory);
        const bool loaded = configuration->loadChecked();
        p.configurationSha256 = configuration->configurationSha256();
        checked->logLines = configuration->logLines();
        if (loaded && !configuration->getBatches().isEmpty()) {
            int files = 0;
            for (const Batch *batch : configuration->getBatches())
                files += batch->files.size();
            p.valid = true;
            p.title = configuration->getTitle();
            p.verdict = QStringLiteral("valide : « %1 », %2 lot(s), %3 fichier(s)")
                            .arg(configuration->getTitle())
                            .arg(configuration->getBatches().size())
                            .arg(files);
        } else if (!loaded) {
            p.verdict = checked->logLines.join(QStringLiteral(" ; "));
        } else {
            p.verdict = QStringLiteral("aucun scénario d'installation (%1)")
                            .arg(QDir::toNativeSeparators(configuration->configurationFile()));
        }
        // Read here, used by the run's thread and the jobs': it belongs to the run's thread.
        configuration->moveToThread(mainThread);
        checked->configuration = std::move(configuration);
    });
    if (!read) {
        package.verdict = QStringLiteral("lecture interrompue");
        return false;
    }
    package = checked->package;
    for (const QString &line : checked->logLines)
        station->log(line);
    if (package.valid) {
        station->log(QStringLiteral("Configuration chargée avec succès"));
        loaded = std::move(checked->configuration);
    } else {
        station->log(logtexts::configurationMissing(
            QDir::toNativeSeparators(package.directory + QStringLiteral("configuration.xml"))));
    }
    return true;
}

bool Station::named(const FoundTerminal &terminal) const
{
    if (options.ports.isEmpty())
        return true;
    for (const QString &wanted : options.ports) {
        if (terminal.port == wanted || terminal.label == wanted || terminal.location == wanted)
            return true;
    }
    return false;
}

// Every port named by --port, or else any terminal at all.
bool Station::enough(const QList<FoundTerminal> &found) const
{
    if (options.ports.isEmpty())
        return !found.isEmpty();
    for (const QString &wanted : options.ports) {
        bool present = false;
        for (const FoundTerminal &terminal : found)
            present = present || terminal.port == wanted || terminal.label == wanted ||
                      terminal.location == wanted;
        if (!present)
            return false;
    }
    return true;
}

// The first search switches the card readers, as the window's first search does; then the
// ports are listed again every 2 s until terminals are there or the wait is over. False when a
// stop came.
bool Station::search(QList<FoundTerminal> &found)
{
    observer.searching();
    if (!runListening([this] { station->searchTerminals(); }))
        return false;
    board.refresh();
    found = board.terminals();
    if (!options.watch && !options.list) {
        const qint64 deadline = qint64(options.waitSeconds) * 1000;
        // Between two searches, as long as the window pauses between two of its own.
        const qint64 searchPause = Model::defaultTiming().searchPauseMs;
        QElapsedTimer clock;
        clock.start();
        while (!enough(found) && clock.elapsed() < deadline) {
            const qint64 pause = std::min<qint64>(searchPause, deadline - clock.elapsed());
            const StopRequests::Event event = stops.wait(int(pause));
            if (event != StopRequests::Event::None) {
                onStop(event);
                return false;
            }
            board.refresh();
            found = board.terminals();
        }
    }
    if (options.watch)
        return true; // each terminal is logged as it is taken on
    if (found.isEmpty())
        station->log(QStringLiteral("Aucun terminal détecté"));
    for (const FoundTerminal &terminal : found) {
        station->log(QStringLiteral("Terminal détecté : ") + terminal.label);
        observer.terminalFound(terminal);
    }
    return true;
}

// The terminals --port names (all of them without it); a named port without a terminal is a
// failure of its own.
QList<FoundTerminal> Station::choose(const QList<FoundTerminal> &found)
{
    QList<FoundTerminal> chosen;
    for (const FoundTerminal &terminal : found) {
        if (named(terminal))
            chosen << terminal;
    }
    if (options.watch)
        return chosen;
    for (const QString &wanted : options.ports) {
        bool present = false;
        for (const FoundTerminal &terminal : chosen)
            present = present || terminal.port == wanted || terminal.label == wanted ||
                      terminal.location == wanted;
        if (!present) {
            JobResult missing;
            missing.startPort = missing.port = wanted;
            missing.title = QStringLiteral("Terminal absent");
            missing.message = QStringLiteral("Aucun terminal n'a été détecté sur ce port.");
            absent << missing;
        }
    }
    return chosen;
}

int Station::list(const QList<FoundTerminal> &terminals) const
{
    observer.listed(package, terminals);
    const int status = package.valid && !terminals.isEmpty() ? kAllUpdated : kNothingStarted;
    station->log(logger::endBanner);
    return status;
}

// Nothing could start: the reason told and logged, the JSON summary when it can be written,
// and the end banner.
int Station::cannotStart(StationObserver::Refusal why, const QString &text, bool withJson)
{
    observer.refused(why, text);
    station->log(QStringLiteral("La station ne démarre pas : ") + text);
    closePublishing();
    if (withJson && !options.jsonFile.isEmpty()) {
        report::Run run;
        run.publishing = publishing;
        run.package = package;
        run.developmentKeys = devkeys::inUse();
        run.exitStatus = kNothingStarted;
        QString error;
        if (!report::writeJson(options.jsonFile, run, error))
            observer.warned(StationObserver::Warning::JsonNotWritten, error);
    }
    station->log(logger::endBanner);
    return kNothingStarted;
}

// The end of a run that got past its checks: the journal's last lines, the JSON summary, the
// end banner, then the summary.
int Station::finish()
{
    report::Run run;
    run.package = package;
    run.developmentKeys = devkeys::inUse();
    run.interrupted = interrupted;
    bool allUpdated = served && absent.isEmpty();
    for (const Entry &entry : entries) {
        run.terminals << entry.job->result();
        allUpdated = allUpdated && run.terminals.last().success;
    }
    run.terminals << absent;
    if (served && entries.empty() && absent.isEmpty())
        run.exitStatus = interrupted ? kSomeFailed : kNothingStarted; // --watch, no terminal
    else
        run.exitStatus = allUpdated && !interrupted && failedWrites == 0 ? kAllUpdated
                                                                         : kSomeFailed;
    closePublishing();
    run.publishing = publishing;
    QString error;
    if (!options.jsonFile.isEmpty()) {
        if (!report::writeJson(options.jsonFile, run, error)) {
            observer.warned(StationObserver::Warning::JsonNotWritten, error);
            run.exitStatus = qMax(run.exitStatus, int(kSomeFailed));
        }
    }
    const QString logFailure = station->logFailure();
    if (!logFailure.isEmpty()) {
        observer.warned(StationObserver::Warning::LogNotWritten, logFailure);
        run.exitStatus = qMax(run.exitStatus, int(kSomeFailed));
    }
    station->log(logger::endBanner);
    observer.finished(run, publishLines);
    return run.exitStatus;
}
